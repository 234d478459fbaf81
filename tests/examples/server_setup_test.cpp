// The example installer (docs/examples/server-setup.nsi, built with the
// shipped tools and the stand-in server) run silently through the life of one
// installation: install, refusals, update, a failed update, uninstall. Each
// step checks the service, the files, the uninstall entry and the log lines
// the step added, Quillon's own output among them. Then the same life with a
// second build of the installer whose Quillon.exe is a stand-in that answers
// as each step scripts it: the stops that fail (408, 409) or leave the
// service pending, which Wine's service manager cannot produce, and a first
// install that fails at the registration.
#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <thread>
#include <vector>

#include "common/handles.h"
#include "tests/support/run_process.h"
#include "tests/support/test_services.h"

namespace {

// With a dot, so that Quillon's dependents file is named after it alone.
const std::wstring service = L"Brelkin.ExampleServer";
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

// The program files first, then what only follows the registration.
const wchar_t* const installedFiles[] = {L"Quillon.exe", L"Tolvane.dll", L"stop_mysql.bat", L"bin\\mysqld.exe",
                                         L"uninstall.exe", L"uninstall.ini"};
const size_t programFiles = 4;

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
    // Run the installer with the stand-in Quillon.exe (installed by it, so
    // also its uninstaller), which answers each call with the next line of
    // the script, "<exit code> <line printed>"; calls are its arguments.
    bool standIn = false;
    std::vector<std::string> script = {};
    std::vector<std::string> calls = {};
    bool nameTaken = false;  // a service of the name, not the installer's, exists during the run
    bool filesLeft = false;  // the program files stay, without uninstaller, service or entry
};

// The text with each "{s}" replaced by the service name.
std::string WithService(std::string text)
{
    for (size_t at = text.find("{s}"); at != std::string::npos; at = text.find("{s}", at)) {
        text.replace(at, 3, Narrow(service));
    }
    return text;
}

std::string Lines(const std::vector<std::string>& lines, const char* end)
{
    std::string text;
    for (const std::string& line : lines) {
        text += WithService(line) + end;
    }
    return text;
}

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
    const std::wstring standInSetup = BinPath(L"server-setup-standin.exe");
    const std::wstring script = root.File(L"quillon-script.txt");
    const std::wstring calls = script + L".calls";
    ASSERT_TRUE(SetEnvironmentVariableW(L"QUILLON_STANDIN", script.c_str()));
    const std::wstring log = root.File(L"setup.log");
    const std::wstring folder = Folder();
    const std::wstring server = folder + L"\\bin\\mysqld.exe";
    const std::string noHook = "Ungültiger Deinstallationseintrag.";
    const char* const stopped = "    Service '{s}' and all dependent services successfully stopped.";
    const char* const started = "    Service '{s}' successfully started.";
    const char* const queried = "Quillon query {s}: 0";
    const char* const nowStopped = "    State of service '{s}': stopped";
    const char* const nowPending = "    State of service '{s}': stop pending";
    const char* const gone = "    Failed to get state of service '{s}'.";
    // Stand-in answers.
    const char* const notRunning = "0 Nothing to do: service '{s}' is not running.";
    const char* const pending = "0 State of service '{s}': stop pending";
    const char* const restarted = "0 Service '{s}' successfully started.";
    const char* const deleted = "0 Service '{s}' successfully deleted.";
    // NSIS ends a run that the script aborts with 2; an uninstall's first
    // process always ends with 0, having started its copy.
    const Step steps[] = {
        {"install", nullptr, nullptr, false, false, 0, {},
         {"Kestrin: 0", "sc create {s}: 0", "Quillon start {s}: 0", started}, false, true, 1},
        {"Windows Vista refused", nullptr, L"vista", false, false, 2, {}, {"Kestrin: 0"}, true, true, 1},
        {"update while the server refuses to stop", L" --refuse-stop", nullptr, false, false, 2, {},
         {"Kestrin: 0", "Quillon stop {s}: 408", "    Failed to stop service '{s}'.",
          "    OS Error Message: 'Invalid service control.'.", queried, "    State of service '{s}': running",
          "Quillon start {s}: 0", started},
         true, true, 2},
        // stop_mysql.bat fails to stop it too, but Tolvane does not read the
        // batch's exit code.
        {"uninstall while the server refuses to stop", nullptr, nullptr, true, true, 0, {},
         {"Tolvane UninstInitialize: 0", "Quillon delete {s}: 205", "    Error deleting service '{s}'.",
          "    OS Error Message: 'Invalid service control.'.", queried, "    State of service '{s}': running",
          "Quillon start {s}: 0", started},
         true, true, 2},
        // The server is restarted without --refuse-stop first (start 3).
        {"update", L"", nullptr, false, false, 0, {},
         {"Kestrin: 0", "Quillon stop {s}: 0", stopped, queried, nowStopped, "Quillon start {s}: 0", started}, false,
         true, 4},
        // NSIS ends the run at the file it cannot replace; the service and
        // its dependents are started again before the installer ends.
        {"update that cannot replace a file", nullptr, nullptr, false, false, 2, {},
         {"Kestrin: 0", "Quillon stop {s}: 0", stopped, queried, nowStopped, "Quillon start {s}: 0", started}, false,
         true, 5, L"Tolvane.dll"},
        {"uninstall entry without -c", nullptr, nullptr, true, false, 0, {noHook},
         {"Tolvane UninstInitialize: -1"}, true, true, 5},
        {"uninstall", nullptr, nullptr, true, true, 0, {},
         {"Tolvane UninstInitialize: 0", "Quillon delete {s}: 0", "    Service '{s}' successfully deleted.",
          "Quillon query {s}: 101", gone, "    OS Error Message: 'Service does not exist.'.",
          "Tolvane UninstUnInitialize: 0"},
         false, false, 5},
        // From here on the stand-in Quillon.exe answers; the service stays
        // registered and stopped, whatever it says.
        // The registration fails (Wine's sc ends with 1 there); no service
        // or entry of the installer's makes the next run an update.
        {"first install while another service has the name", nullptr, nullptr, false, false, 2, {},
         {"Kestrin: 0", "sc create {s}: 1"}, false, false, 0, nullptr, true, {}, {}, true, true},
        {"install after the failed one", nullptr, nullptr, false, false, 0, {},
         {"Kestrin: 0", "sc create {s}: 0", "Quillon start {s}: 0", started}, false, true, 0, nullptr, true,
         {restarted}, {"start {s}"}},
        // The stop ran out of time: the start waits until the service has
        // stopped, so that it starts the service and the dependents anew.
        {"update: the stop fails (408) and leaves it stop pending", nullptr, nullptr, false, false, 2, {},
         {"Kestrin: 0", "Quillon stop {s}: 408", "    Failed to stop service '{s}'.", queried, nowPending, queried,
          nowStopped, "Quillon start {s}: 0", started},
         true, true, 0, nullptr, true,
         {"408 Failed to stop service '{s}'.", pending, "0 State of service '{s}': stopped", restarted},
         {"stop {s}", "query {s}", "query {s}", "start {s}"}},
        {"update: a dependent fails its stop (409)", nullptr, nullptr, false, false, 2, {},
         {"Kestrin: 0", "Quillon stop {s}: 409", "    Failed to stop dependent Service 'BrelkinWeb'.", queried,
          nowStopped, "Quillon start {s}: 0", started},
         true, true, 0, nullptr, true,
         {"409 Failed to stop dependent Service 'BrelkinWeb'.", "0 State of service '{s}': stopped", restarted},
         {"stop {s}", "query {s}", "start {s}"}},
        {"update while the service is stop pending", nullptr, nullptr, false, false, 0, {},
         {"Kestrin: 0", "Quillon stop {s}: 0", "    Nothing to do: service '{s}' is not running.", queried,
          nowPending, queried, nowStopped, "Quillon start {s}: 0", started},
         false, true, 0, nullptr, true, {notRunning, pending, "0 State of service '{s}': stopped", restarted},
         {"stop {s}", "query {s}", "query {s}", "start {s}"}},
        // The installers of these rows wait 3 queries.
        {"update while the service stays stop pending", nullptr, nullptr, false, false, 2, {},
         {"Kestrin: 0", "Quillon stop {s}: 0", "    Nothing to do: service '{s}' is not running.", queried,
          nowPending, queried, nowPending, queried, nowPending, "Quillon start {s}: 0", started},
         true, true, 0, nullptr, true, {notRunning, pending, pending, pending, restarted},
         {"stop {s}", "query {s}", "query {s}", "query {s}", "start {s}"}},
        // stop_mysql.bat's stop comes first.
        {"uninstall while the service stays stop pending", nullptr, nullptr, true, true, 0, {},
         {"Tolvane UninstInitialize: 0", "Quillon delete {s}: 0", "    Service '{s}' successfully deleted.", queried,
          nowPending, queried, nowPending, queried, nowPending},
         true, true, 0, nullptr, true, {notRunning, deleted, pending},
         {"stop {s}", "delete {s}", "query {s}", "query {s}", "query {s}"}},
        // The service that the last one removed is gone by now: delete fails,
        // the query shows why, and the files go.
        {"uninstall again once the service is gone", nullptr, nullptr, true, true, 0, {},
         {"Tolvane UninstInitialize: 0", "Quillon delete {s}: 203", "    Error deleting service '{s}'.",
          "Quillon query {s}: 101", gone, "Tolvane UninstUnInitialize: 0"},
         false, false, 0, nullptr, true,
         {notRunning, "203 Error deleting service '{s}'.", "101 Failed to get state of service '{s}'."},
         {"stop {s}", "delete {s}", "query {s}"}},
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
        if (step.uninstall && FileExists(folder)) {
            // As a stop leaves it when it stopped dependents; the uninstall
            // removes it with the rest.
            ASSERT_TRUE(WriteFileBytes(folder + L"\\" + service, ""));
        }
        if (step.standIn) {
            ASSERT_TRUE(WriteFileBytes(script, Lines(step.script, "\n")));
            DeleteFileW(calls.c_str());
        }
        if (step.nameTaken) {
            RunProcess(L"sc create " + service + L" binPath= C:\\other.exe");
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
            exitCode = RunAll(Quoted(step.standIn ? standInSetup : setup) + L" /S /SERVICE=" + service + L" /LOG=" + log +
                              L" /D=" + folder);
        } else {
            // The uninstaller's first process only starts its copy.
            exitCode = RunAll((step.withHookArgument ? uninstallString : Quoted(folder + L"\\uninstall.exe")) + L" /S");
        }
        RegDeleteTreeW(HKEY_CURRENT_USER, kestrinVersionKey);
        EXPECT_EQ(closer.Stop(), step.boxes);
        EXPECT_EQ(exitCode, step.exitCode);
        expectedLog += Lines(step.logLines, "\r\n");
        const std::string logText = ReadOr(log, "(no log)");
        EXPECT_EQ(logText, expectedLog);
        // A row that fails its log leaves the next rows' lines to be checked alone.
        expectedLog = logText;
        if (step.standIn) {
            EXPECT_EQ(ReadOr(calls, ""), Lines(step.calls, "\n"));
        }
        if (step.nameTaken) {
            RemoveService(service);
        }
        if (step.refused) {
            EXPECT_EQ(Snapshot(folder), before);
        }

        const std::wstring expectedUninstall =
            L"\"" + folder + L"\\uninstall.exe\" -c\"" + folder + L"\\Tolvane.dll\"";
        uninstallString = UninstallString();
        EXPECT_EQ(Narrow(uninstallString), step.installed ? Narrow(expectedUninstall) : "");
        EXPECT_FALSE(InTheOtherView());
        const std::string config = Narrow(std::to_wstring(SERVICE_AUTO_START) + L" " + Quoted(server) + serverOptions);
        if (!step.standIn) {
            EXPECT_EQ(ServiceStateOf(service), step.installed ? DWORD{SERVICE_RUNNING} : 0u);
            EXPECT_EQ(Narrow(ServiceConfigOf(service)), step.installed ? config : "");
        } else if (step.installed) {
            EXPECT_EQ(Narrow(ServiceConfigOf(service)), config);
        }
        for (size_t i = 0; i < std::size(installedFiles); ++i) {
            const bool expected = step.installed || (step.filesLeft && i < programFiles);
            EXPECT_EQ(FileExists(folder + L"\\" + installedFiles[i]), expected) << Narrow(installedFiles[i]);
        }
        EXPECT_FALSE(FileExists(folder + L"\\Kestrin.exe"));
        EXPECT_EQ(FileExists(folder), step.installed || step.filesLeft);
        if (step.installed) {
            EXPECT_EQ(ReadOr(folder + L"\\stop_mysql.bat", "(none)"),
                      "@echo off\r\nrem Stops the server before the uninstaller removes its files.\r\n"
                      "\"%~dp0Quillon.exe\" stop \"" + Narrow(service) + "\"\r\nexit /b 0\r\n");
            std::string started;
            for (int i = 0; i < step.starts; ++i) {
                started += "started\r\n";
            }
            EXPECT_EQ(ReadOr(server + L".started", ""), started);
        }
    }
}
