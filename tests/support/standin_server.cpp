// Stand-in for a MariaDB/MySQL server executable, for tests and the demo.
// Tests copy it under names such as mysqld.exe and register the copy as a
// service (own process).
//
// As a service, options come from the configured command line:
//   --start-delay=MS  stay start-pending for MS before running
//   --stop-delay=MS   stay stop-pending for MS before stopped
//   --refuse-stop     do not accept the stop control (the manager answers 1052)
//                     until a file "<exe path>.allow-stop" appears
//   --paused          report SERVICE_PAUSED instead of running once started
// Every start appends a line to "<exe path>.started".
//
// With the single argument --version it appends a line to "<exe path>.probed"
// and then answers as the file "<exe path>.answer" says (ANSI bytes on
// standard output, no translation of line ends):
//   no such file  "<own path>  Ver 10.5.8 for Win64\n"
//   "silent"      nothing
//   "hang"        sleeps forever
//   "text:<T>"    "<own path>  <T>\n"
//   "raw:<T>"     T exactly
// Any other invocation exits with 1 and a line on standard error.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/handles.h"
#include "common/win32.h"
#include <shellapi.h>

namespace {

struct Options {
    DWORD startDelay = 0;
    DWORD stopDelay = 0;
    bool refuseStop = false;
    bool paused = false;
};

Options options;
std::wstring modulePath;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS serviceStatus = {};
KernelHandle stopRequested;

void AppendLine(const std::wstring& path, const std::string& line)
{
    FileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) {
        WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
}

void WriteOut(const std::string& bytes)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string Ansi(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &result[0], size, nullptr, nullptr);
    result.resize(result.size() - 1);
    return result;
}

int AnswerVersion()
{
    AppendLine(modulePath + L".probed", "probed\r\n");
    std::string answer;
    bool haveAnswer = false;
    FileHandle file(CreateFileW((modulePath + L".answer").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        haveAnswer = true;
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
            answer.append(buffer, read);
        }
    }
    const std::string ownPath = Ansi(modulePath);
    if (!haveAnswer) {
        WriteOut(ownPath + "  Ver 10.5.8 for Win64\n");
    } else if (answer == "hang") {
        Sleep(INFINITE);
    } else if (answer.compare(0, 5, "text:") == 0) {
        WriteOut(ownPath + "  " + answer.substr(5) + "\n");
    } else if (answer.compare(0, 4, "raw:") == 0) {
        WriteOut(answer.substr(4));
    }
    return 0;
}

void Report(DWORD state, DWORD waitHint = 0)
{
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    serviceStatus.dwCurrentState = state;
    const bool acceptsStop = !options.refuseStop && state != SERVICE_START_PENDING && state != SERVICE_STOPPED;
    serviceStatus.dwControlsAccepted = acceptsStop ? SERVICE_ACCEPT_STOP : 0;
    serviceStatus.dwWin32ExitCode = NO_ERROR;
    serviceStatus.dwWaitHint = waitHint;
    serviceStatus.dwCheckPoint = (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING)
                                     ? serviceStatus.dwCheckPoint + 1
                                     : 0;
    SetServiceStatus(statusHandle, &serviceStatus);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING, options.stopDelay + 1000);
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
    Report(SERVICE_START_PENDING, options.startDelay + 1000);
    Sleep(options.startDelay);
    Report(options.paused ? SERVICE_PAUSED : SERVICE_RUNNING);
    while (WaitForSingleObject(stopRequested.Get(), 100) == WAIT_TIMEOUT) {
        if (options.refuseStop && GetFileAttributesW((modulePath + L".allow-stop").c_str()) != INVALID_FILE_ATTRIBUTES) {
            options.refuseStop = false;
            Report(serviceStatus.dwCurrentState);
        }
    }
    Sleep(options.stopDelay);
    Report(SERVICE_STOPPED);
}

bool ParseServiceOptions(int argc, wchar_t** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg.compare(0, 14, L"--start-delay=") == 0) {
            options.startDelay = wcstoul(arg.c_str() + 14, nullptr, 10);
        } else if (arg.compare(0, 13, L"--stop-delay=") == 0) {
            options.stopDelay = wcstoul(arg.c_str() + 13, nullptr, 10);
        } else if (arg == L"--refuse-stop") {
            options.refuseStop = true;
        } else if (arg == L"--paused") {
            options.paused = true;
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
    if (!argv || !ParseServiceOptions(argc, argv)) {
        fputs("standin_server: unknown arguments\n", stderr);
        return 1;
    }
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L""), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        fputs("standin_server: not started as a service (use --version)\n", stderr);
        return 1;
    }
    return 0;
}
