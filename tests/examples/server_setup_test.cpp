// The example installer (docs/examples/server-setup.nsi, built with the
// shipped tools and the stand-in server) run silently through the life of one
// installation: install, refusals, update, a failed update, uninstall. Each
// step checks the service, the files, the uninstall entry and the log lines
// the step added, Quillon's own output among them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/handles.h"
#include "tests/support/run_process.h"
#include "tests/support/test_services.h"

namespace {

const std::wstring service = L"BrelkinExampleServer";
const std::wstring entryKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + service;
// Wine's per-program setting of the Windows version Kestrin sees.
const wchar_t kestrinVersionKey[] = L"Software\\Wine\\AppDefaults\\Kestrin.exe";
const char boxCaption[] = "Brelkin MySQL-Deinstallation";

// Runs the command line in a job and waits until every process in it has
// ended: the uninstaller hands its work to a copy of itself and ends at once.
// Answers the first process's exit code, or 259 when the job outlived 120 s.
DWORD RunAll(const std::wstring& commandLine)
{
    const KernelHandle job(CreateJobObjectW(nullptr, nullptr));
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!job || !CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                nullptr, &startup, &info)) {
        ADD_FAILURE() << "not started: " << Narrow(commandLine) << " error " << GetLastError();
        return 259;
    }
    const KernelHandle process(info.hProcess);
    const KernelHandle thread(info.hThread);
    EXPECT_TRUE(AssignProcessToJobObject(job.Get(), process.Get()));
    ResumeThread(thread.Get());
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    for (int polls = 0; polls < 1200; ++polls) {
        if (QueryInformationJobObject(job.Get(), JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                      nullptr) &&
            accounting.ActiveProcesses == 0) {
            DWORD exitCode = 259;
            GetExitCodeProcess(process.Get(), &exitCode);
            return exitCode;
        }
        Sleep(100);
    }
    ADD_FAILURE() << "still running after 120 s: " << Narrow(commandLine);
    return 259;
}

// Closes every message box of Tolvane's caption while it lives and keeps
// their texts (UTF-8).
class BoxCloser {
public:
    BoxCloser() : watcher([this] { Watch(); }) {}
    ~BoxCloser() { Stop(); }

    std::vector<std::string> Stop()
    {
        done = true;
        if (watcher.joinable()) {
            watcher.join();
        }
        return texts;
    }

private:
    void Watch()
    {
        while (!done) {
            if (HWND box = FindWindowA("#32770", boxCaption)) {
                wchar_t text[512] = L"";
                GetDlgItemTextW(box, 0xFFFF, text, 512);
                texts.push_back(Narrow(text));
                PostMessageA(box, WM_COMMAND, IDOK, 0);
                for (int polls = 0; polls < 100 && IsWindow(box); ++polls) {
                    Sleep(20);
                }
            }
            Sleep(20);
        }
    }

    std::atomic<bool> done{false};
    std::vector<std::string> texts;
    std::thread watcher;
};

std::string ReadOr(const std::wstring& path, const std::string& otherwise)
{
    std::string bytes;
    return ReadFileBytes(path, bytes) ? bytes : otherwise;
}

// An installer writes its uninstall entry into the registry view of its own
// architecture, the test program's: the 32-bit view for the real (32-bit) one.
const REGSAM installerView = sizeof(void*) == 4 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
const REGSAM otherView = sizeof(void*) == 4 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;

// The uninstall entry's UninstallString, empty when there is no entry.
std::wstring UninstallString()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, entryKey.c_str(), 0, KEY_READ | installerView, &key) != ERROR_SUCCESS) {
        return L"";
    }
    wchar_t value[1024] = L"";
    DWORD size = sizeof value - sizeof(wchar_t);
    RegQueryValueExW(key, L"UninstallString", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return value;
}

bool InTheOtherView()
{
    HKEY key = nullptr;
    const bool found =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, entryKey.c_str(), 0, KEY_READ | otherView, &key) == ERROR_SUCCESS;
    if (found) {
        RegCloseKey(key);
    }
    return found;
}

const wchar_t* const installedFiles[] = {L"Quillon.exe", L"Tolvane.dll", L"stop_mysql.bat", L"bin\\mysqld.exe",
                                         L"uninstall.exe", L"uninstall.ini"};

// Every installed file's size and time of last writing, to show that a
// refused run changed nothing.
std::string Snapshot(const std::wstring& folder)
{
    std::string snapshot;
    for (const wchar_t* file : installedFiles) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        GetFileAttributesExW((folder + L"\\" + file).c_str(), GetFileExInfoStandard, &data);
        snapshot += Narrow(file) + " " + std::to_string(data.nFileSizeLow) + " " +
                    std::to_string(data.ftLastWriteTime.dwHighDateTime) + ":" +
                    std::to_string(data.ftLastWriteTime.dwLowDateTime) + "\n";
    }
    return snapshot;
}

// Runs sc.exe and waits until the service is in the state.
void Sc(const std::wstring& arguments, DWORD state)
{
    RunProcess(L"sc " + arguments);
    for (int polls = 0; polls < 150 && ServiceStateOf(service) != state; ++polls) {
        Sleep(100);
    }
    EXPECT_EQ(ServiceStateOf(service), state) << Narrow(arguments);
}

struct Step {
    const char* name;
    const wchar_t* serverOptions;  // restart the server with these from now on; null: leave it
    const wchar_t* kestrinSees;    // Windows version set for Kestrin.exe; null: the prefix's own
    bool uninstall;                // run the uninstall entry's command (else the installer)
    bool withHookArgument;         // the uninstall command keeps -c"<folder>\Tolvane.dll"
    DWORD exitCode;                // of the first process
    std::vector<std::string> boxes;
    std::vector<std::string> logLines;  // after each, a blank and the service name stand for "{s}"
    bool refused;                       // nothing was changed
    bool installed;                     // files, service and entry are there afterwards
    int starts;                         // how often the server was started so far
    const wchar_t* heldOpen = nullptr;  // installed file held open without sharing during the run
};

class ServerSetupTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, kestrinVersionKey);
        RemoveService(service);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, entryKey.c_str(), installerView, 0);
    }

    std::wstring Folder() const { return root.File(L"Example Server"); }

    TempDir root;
};

} // namespace

TEST_F(ServerSetupTest, InstallsUpdatesAndUninstallsRefusingWithoutLoss)
{
    const std::wstring setup = BinPath(L"server-setup.exe");
    const std::wstring log = root.File(L"setup.log");
    const std::wstring folder = Folder();
    const std::wstring server = folder + L"\\bin\\mysqld.exe";
    const std::string noHook = "Ungültiger Deinstallationseintrag.";
    const char* const stopped = "    Service '{s}' and all dependent services successfully stopped.";
    const char* const started = "    Service '{s}' successfully started.";
    // NSIS ends a run that the script aborts with 2; an uninstall's first
    // process always ends with 0, having started its copy.
    const Step steps[] = {
        {"install", nullptr, nullptr, false, false, 0, {}, {"Kestrin: 0", "Quillon start {s}: 0", started}, false, true,
         1},
        {"Windows Vista refused", nullptr, L"vista", false, false, 2, {}, {"Kestrin: 0"}, true, true, 1},
        {"update while the server refuses to stop", L" --refuse-stop", nullptr, false, false, 2, {},
         {"Kestrin: 0", "Quillon stop {s}: 408", "    Failed to stop service '{s}'.",
          "    OS Error Message: 'Invalid service control.'."},
         true, true, 2},
        // stop_mysql.bat fails to stop it too, but Tolvane does not read the
        // batch's exit code.
        {"uninstall while the server refuses to stop", nullptr, nullptr, true, true, 0, {},
         {"Tolvane UninstInitialize: 0", "Quillon delete {s}: 205", "    Error deleting service '{s}'.",
          "    OS Error Message: 'Invalid service control.'."},
         true, true, 2},
        // The server is restarted without --refuse-stop first (start 3).
        {"update", L"", nullptr, false, false, 0, {},
         {"Kestrin: 0", "Quillon stop {s}: 0", stopped, "Quillon start {s}: 0", started}, false, true, 4},
        // NSIS ends the run at the file it cannot replace; the service and
        // its dependents are started again before the installer ends.
        {"update that cannot replace a file", nullptr, nullptr, false, false, 2, {},
         {"Kestrin: 0", "Quillon stop {s}: 0", stopped, "Quillon start {s}: 0", started}, false, true, 5,
         L"Tolvane.dll"},
        {"uninstall entry without -c", nullptr, nullptr, true, false, 0, {noHook},
         {"Tolvane UninstInitialize: -1"}, true, true, 5},
        {"uninstall", nullptr, nullptr, true, true, 0, {},
         {"Tolvane UninstInitialize: 0", "Quillon delete {s}: 0", "    Service '{s}' successfully deleted.",
          "Tolvane UninstUnInitialize: 0"},
         false, false, 5},
    };
    ASSERT_EQ(ServiceStateOf(service), 0u) << "a service of the test's name exists already";
    std::string expectedLog;
    std::wstring uninstallString, serverOptions;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.serverOptions) {
            // A server that refuses to stop accepts a stop once this file exists.
            ASSERT_TRUE(WriteFileBytes(server + L".allow-stop", ""));
            Sleep(300);
            Sc(L"stop " + service, SERVICE_STOPPED);
            DeleteFileW((server + L".allow-stop").c_str());
            serverOptions = step.serverOptions;
            ASSERT_TRUE(SetServiceCommandLine(service, Quoted(server) + serverOptions));
            Sc(L"start " + service, SERVICE_RUNNING);
        }
        const std::string before = Snapshot(folder);
        if (step.kestrinSees) {
            RegSetKeyValueW(HKEY_CURRENT_USER, kestrinVersionKey, L"Version", REG_SZ, step.kestrinSees,
                            static_cast<DWORD>((wcslen(step.kestrinSees) + 1) * sizeof(wchar_t)));
        }
        const FileHandle held(step.heldOpen ? CreateFileW((folder + L"\\" + step.heldOpen).c_str(), GENERIC_READ, 0,
                                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                                            : INVALID_HANDLE_VALUE);
        ASSERT_EQ(static_cast<bool>(held), step.heldOpen != nullptr);
        BoxCloser closer;
        DWORD exitCode = 0;
        if (!step.uninstall) {
            exitCode = RunAll(Quoted(setup) + L" /S /SERVICE=" + service + L" /LOG=" + log + L" /D=" + folder);
        } else {
            // The uninstaller's first process only starts its copy.
            exitCode = RunAll((step.withHookArgument ? uninstallString : Quoted(folder + L"\\uninstall.exe")) + L" /S");
        }
        RegDeleteTreeW(HKEY_CURRENT_USER, kestrinVersionKey);
        EXPECT_EQ(closer.Stop(), step.boxes);
        EXPECT_EQ(exitCode, step.exitCode);
        for (std::string line : step.logLines) {
            const size_t at = line.find("{s}");
            expectedLog += (at == std::string::npos ? line : line.replace(at, 3, Narrow(service))) + "\r\n";
        }
        EXPECT_EQ(ReadOr(log, "(no log)"), expectedLog);
        if (step.refused) {
            EXPECT_EQ(Snapshot(folder), before);
        }

        const std::wstring expectedUninstall =
            L"\"" + folder + L"\\uninstall.exe\" -c\"" + folder + L"\\Tolvane.dll\"";
        uninstallString = UninstallString();
        EXPECT_EQ(Narrow(uninstallString), step.installed ? Narrow(expectedUninstall) : "");
        EXPECT_FALSE(InTheOtherView());
        EXPECT_EQ(ServiceStateOf(service), step.installed ? DWORD{SERVICE_RUNNING} : 0u);
        EXPECT_EQ(Narrow(ServiceConfigOf(service)),
                  step.installed ? Narrow(std::to_wstring(SERVICE_AUTO_START) + L" " + Quoted(server) + serverOptions)
                                 : "");
        for (const wchar_t* file : installedFiles) {
            EXPECT_EQ(FileExists(folder + L"\\" + file), step.installed) << Narrow(file);
        }
        EXPECT_FALSE(FileExists(folder + L"\\Kestrin.exe"));
        EXPECT_EQ(FileExists(folder), step.installed);
        if (step.installed) {
            EXPECT_EQ(ReadOr(folder + L"\\stop_mysql.bat", "(none)"),
                      "@echo off\r\nrem Stops the server before the uninstaller removes its files.\r\n"
                      "\"%~dp0Quillon.exe\" stop \"" + Narrow(service) + "\"\r\nexit /b 0\r\n");
            std::string started;
            for (int i = 0; i < step.starts; ++i) {
                started += "started\r\n";
            }
            EXPECT_EQ(ReadOr(server + L".started", "(none)"), started);
        }
    }
}
