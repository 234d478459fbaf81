// Stand-in for a MariaDB/MySQL server executable. Tests copy it under names
// such as mysqld.exe and register the copy as an own-process service.
// Service options: --start-delay=MS and --stop-delay=MS (time spent pending),
// --refuse-stop (stop not accepted until "<exe path>.allow-stop" exists),
// --paused (reports paused instead of running), --fail-start=CODE[:SPECIFIC]
// (after the start delay reports stopped with the exit code CODE and the
// service-specific code SPECIFIC, as a server does that cannot start). Each
// start appends a line to "<exe path>.started".
// With the single argument --version it appends a line to "<exe path>.probed"
// that tells how it was started (see ProbeRecord) and answers as
// "<exe path>.answer" says, in ANSI bytes: no such file
// "<own path>  Ver 10.5.8 for Win64\n"; "silent" nothing; "hang" never ends;
// "text:<T>" "<own path>  <T>\n"; "flood" the default answer and 1 MiB of
// "x" behind it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/handles.h"
#include "common/win32.h"
#include <shellapi.h>

namespace {

DWORD startDelay = 0, stopDelay = 0;
bool failStart = false;
DWORD failExitCode = 0, failSpecificCode = 0;
bool refuseStop = false, paused = false;
std::wstring modulePath;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS serviceStatus = {};
KernelHandle stopRequested;

void AppendLine(const std::wstring& path, const std::string& line)
{
    FileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// How the probe started this process, as far as the process can see it:
// its command line; a console of its own without a window (or none, or one
// with a window); standard output and standard error as one inherited handle
// (Wine hands the handles of a caller that lets no handle be inherited to the
// child all the same, as two copies); no input of the caller's (none, or the
// input of the new console); an output file that others may open for
// reading and writing; and a job around it (which ends it with everything it
// started).
std::string ProbeRecord()
{
    BOOL inJob = FALSE;
    char commandLine[MAX_PATH * 4] = "";
    WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, commandLine, sizeof commandLine, nullptr, nullptr);
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    const bool consoleInput = input && GetConsoleMode(input, &mode);
    wchar_t outputPath[MAX_PATH * 2] = L"";
    const DWORD length = GetFinalPathNameByHandleW(output, outputPath, MAX_PATH * 2, 0);
    const FileHandle reopened(length > 0 && length < MAX_PATH * 2
                                  ? CreateFileW(outputPath, GENERIC_READ | GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr)
                                  : INVALID_HANDLE_VALUE);
    return std::string(commandLine) + (GetConsoleCP() == 0 ? " | no console" : " | console") +
           (GetConsoleWindow() ? " with a window" : "") +
           (output == GetStdHandle(STD_ERROR_HANDLE) ? " | output and error one handle" : " | two handles") +
           (!input || consoleInput ? " | no input" : " | input given") +
           (reopened ? " | output shared" : " | output not shared") +
           (IsProcessInJob(GetCurrentProcess(), nullptr, &inJob) && inJob ? " | in a job" : " | no job") + "\r\n";
}

int AnswerVersion()
{
    AppendLine(modulePath + L".probed", ProbeRecord());
    char ownPath[MAX_PATH * 2] = "";
    WideCharToMultiByte(CP_ACP, 0, modulePath.c_str(), -1, ownPath, sizeof ownPath, nullptr, nullptr);
    std::string answer, out = std::string(ownPath) + "  Ver 10.5.8 for Win64\n";
    FileHandle file(CreateFileW((modulePath + L".answer").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
            answer.append(buffer, read);
        }
        if (answer == "hang") {
            Sleep(INFINITE);
        }
        out = answer.compare(0, 5, "text:") == 0 ? std::string(ownPath) + "  " + answer.substr(5) + "\n"
              : answer == "flood"                ? out + std::string(1 << 20, 'x')
                                                 : "";
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
    return 0;
}

void Report(DWORD state, DWORD waitHint = 0)
{
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwControlsAccepted =
        !refuseStop && state != SERVICE_START_PENDING && state != SERVICE_STOPPED ? SERVICE_ACCEPT_STOP : 0;
    serviceStatus.dwWaitHint = waitHint;
    serviceStatus.dwCheckPoint = pending ? serviceStatus.dwCheckPoint + 1 : 0;
    SetServiceStatus(statusHandle, &serviceStatus);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING, stopDelay + 1000);
        SetEvent(stopRequested.Get());
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD argc, wchar_t** argv)
{
    statusHandle = RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", ControlHandler, nullptr);
    if (!statusHandle) {
        return;
    }
    stopRequested.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    AppendLine(modulePath + L".started", "started\r\n");
    Report(SERVICE_START_PENDING, startDelay + 1000);
    Sleep(startDelay);
    if (failStart) {
        serviceStatus.dwWin32ExitCode = failExitCode;
        serviceStatus.dwServiceSpecificExitCode = failSpecificCode;
        Report(SERVICE_STOPPED);
        return;
    }
    Report(paused ? SERVICE_PAUSED : SERVICE_RUNNING);
    while (WaitForSingleObject(stopRequested.Get(), 100) == WAIT_TIMEOUT) {
        if (refuseStop && GetFileAttributesW((modulePath + L".allow-stop").c_str()) != INVALID_FILE_ATTRIBUTES) {
            refuseStop = false;
            Report(serviceStatus.dwCurrentState);
        }
    }
    Sleep(stopDelay);
    Report(SERVICE_STOPPED);
}

bool ParseServiceOptions(int argc, wchar_t** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg.rfind(L"--start-delay=", 0) == 0) {
            startDelay = wcstoul(arg.c_str() + 14, nullptr, 10);
        } else if (arg.rfind(L"--stop-delay=", 0) == 0) {
            stopDelay = wcstoul(arg.c_str() + 13, nullptr, 10);
        } else if (arg.rfind(L"--fail-start=", 0) == 0) {
            wchar_t* rest = nullptr;
            failStart = true;
            failExitCode = wcstoul(arg.c_str() + 13, &rest, 10);
            failSpecificCode = *rest == L':' ? wcstoul(rest + 1, nullptr, 10) : 0;
        } else if (arg == L"--refuse-stop" || arg == L"--paused") {
            (arg == L"--paused" ? paused : refuseStop) = true;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int main()
{
    wchar_t path[MAX_PATH * 2] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    modulePath = path;
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv && argc == 2 && std::wstring(argv[1]) == L"--version") {
        return AnswerVersion();
    }
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L""), ServiceMain}, {nullptr, nullptr}};
    if (!argv || !ParseServiceOptions(argc, argv) || !StartServiceCtrlDispatcherW(table)) {
        fputs("standin_server: unknown arguments, or not started as a service\n", stderr);
        return 1;
    }
    return 0;
}
