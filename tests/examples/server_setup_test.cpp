// The example installer (docs/examples/server-setup.nsi, built with the
// shipped tools and the stand-in server) run silently through the life of one
// installation: install, refusals, update, a failed update, uninstall. Each
// step checks the service, the files, the uninstall entry and the log lines
// the step added, Quillon's own output among them, and the access list the
// installer asked for. Then the same life with a second build of the
// installer whose Quillon.exe is a stand-in that answers as each step scripts
// it: the stops that fail (408, 409) or leave the service pending, a start
// that fails (305), a query that fails while the service is registered,
// which Wine's service manager cannot produce, and a first install that
// fails at the registration.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <thread>
#include <vector>

#include <aclapi.h>
#include <sddl.h>

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

const wchar_t* const installedFiles[] = {L"Quillon.exe", L"Tolvane.dll", L"stop_mysql.bat", L"bin\\mysqld.exe",
                                         L"uninstall.exe"};

// Wine keeps no access list, but a folder created with one loses the Unix
// mode bits that it does not grant: Everyone is then no longer listed.
bool EveryoneListed(const std::wstring& folder)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    wchar_t* text = nullptr;
    const bool read = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
                      ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                           DACL_SECURITY_INFORMATION, &text, nullptr);
    const bool listed = !read || std::wstring(text).find(L";;;WD)") != std::wstring::npos;
    LocalFree(text);
    LocalFree(descriptor);
    return listed;
}

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
    const ProcessResult result = RunProcess(L"sc " + arguments);
    for (int polls = 0; polls < 150 && ServiceStateOf(service) != state; ++polls) {
        Sleep(100);
    }
    EXPECT_EQ(ServiceStateOf(service), state) << Narrow(arguments) << result.out;
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
    // /D= names this folder under the test's root, which must not come to
    // exist; "": no /D=; null: the installation's folder.
    const wchar_t* dir = nullptr;
    bool stoppedFirst = false;   // the service is stopped before the run, and stays stopped
    bool folderExists = false;   // the folder exists (a planted file in it) before a first install
    int log = 0;                 // /LOG= names: 0 the log, 1 a hard link to another file, 2 a folder
    bool serviceGone = false;    // the service is removed before the run
    const wchar_t* serviceArg = nullptr;  // /SERVICE= names this instead
};

std::string folderText;

// The text with each "{s}" replaced by the service name, "{f}" by the folder.
std::string WithService(std::string text)
{
    for (size_t at = text.find('{'); at != std::string::npos; at = text.find('{', at + 1)) {
        const std::string by = text.compare(at, 3, "{s}") == 0 ? Narrow(service)
                               : text.compare(at, 3, "{f}") == 0 ? folderText
                                                                  : "{";
        text.replace(at, by == "{" ? 1 : 3, by);
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
    folderText = Narrow(folder);
    const std::wstring victim = root.File(L"victim.log");
    ASSERT_TRUE(WriteFileBytes(victim, "victim\r\n"));
    ASSERT_TRUE(CreateHardLinkW(root.File(L"linked.log").c_str(), victim.c_str(), nullptr));
    const std::wstring logs[] = {log, root.File(L"linked.log"), root.File(L"")};
    const std::wstring server = folder + L"\\bin\\mysqld.exe";
    const std::string noHook = "Ungültiger Deinstallationseintrag.";
    const char* const stopped = "    Service '{s}' and all dependent services successfully stopped.";
    const char* const started = "    Service '{s}' successfully started.";
    const char* const queried = "Quillon query {s}: 0";
    const char* const nowStopped = "    State of service '{s}': stopped";
    const char* const nowPending = "    State of service '{s}': stop pending";
    const char* const gone = "    Failed to get state of service '{s}'.";
    const char* const queriedRunning[] = {queried, "    State of service '{s}': running"};
    const char* const rights = " {f} O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU): 0";
    const std::string created = std::string("CreateDirectory") + rights, secured = std::string("SetNamedSecurityInfo") + rights;
    // Stand-in answers.
    const char* const notRunning = "0 Nothing to do: service '{s}' is not running.";
    const char* const pending = "0 State of service '{s}': stop pending";
    const char* const running = "0 State of service '{s}': running";
    const char* const now = "0 State of service '{s}': stopped";
    const char* const restarted = "0 Service '{s}' successfully started.";
    const char* const failedQuery = "101 Failed to get state of service '{s}'.";
    const char* const noPath = "403 Failed to query service '{s}'.";
    // NSIS ends a run that the script aborts with 2; an uninstall's first
    // process always ends with 0, having started its copy.
    const Step steps[] = {
        {"install", nullptr, nullptr, false, false, 0, {},
         {"Kestrin: 0", created.c_str(), "sc create {s}: 0", "Quillon start {s}: 0", started}, false, true, 1},
        // The log is a second name of another file: nothing is written to it.
        {"Windows Vista refused", nullptr, L"vista", false, false, 2, {}, {}, true, true, 1, .log = 1},
        {"update while the server refuses to stop", L" --refuse-stop", nullptr, false, false, 2, {},
         {"Kestrin: 0", secured.c_str(), queriedRunning[0], queriedRunning[1], "Quillon stop {s}: 408",
          "    Failed to stop service '{s}'.", "    OS Error Message: 'Invalid service control.'.", queriedRunning[0],
          queriedRunning[1], "Quillon start {s}: 0", started},
         true, true, 2},
        // The uninstaller stops the server itself; stop_mysql.bat does nothing.
        {"uninstall while the server refuses to stop", nullptr, nullptr, true, true, 0, {},
         {"Tolvane UninstInitialize: 0", "Quillon stop {s}: 408", "    Failed to stop service '{s}'.",
          "    OS Error Message: 'Invalid service control.'.", queriedRunning[0], queriedRunning[1],
          "Quillon start {s}: 0", started},
         true, true, 2},
        // The server is restarted without --refuse-stop first (start 3).
        {"update", L"", nullptr, false, false, 0, {},
         {"Kestrin: 0", secured.c_str(), queriedRunning[0], queriedRunning[1], "Quillon stop {s}: 0", stopped,
          queried, nowStopped, "Quillon start {s}: 0", started},
         false, true, 4},
        {"update into another folder than the installation's", nullptr, nullptr, false, false, 2, {}, {"Kestrin: 0"},
         true, true, 4, .dir = L"Elsewhere"},
        // Without /D= the update finds the installation's folder.
        {"update of a server stopped on purpose", nullptr, nullptr, false, false, 0, {},
         {"Kestrin: 0", secured.c_str(), queried, nowStopped}, false, true, 4, .dir = L"", .stoppedFirst = true},
        // NSIS ends the run at the file it cannot replace; the service and
        // its dependents are started again before the installer ends.
        {"update that cannot replace a file", L"", nullptr, false, false, 2, {},
         {"Kestrin: 0", secured.c_str(), queriedRunning[0], queriedRunning[1], "Quillon stop {s}: 0", stopped,
          queried, nowStopped, "Quillon start {s}: 0", started},
         false, true, 6, L"Tolvane.dll"},
        {"uninstall entry without -c", nullptr, nullptr, true, false, 0, {noHook}, {"Tolvane UninstInitialize: -1"},
         true, true, 6},
        // A stop that takes a while, outside Tolvane's 45 s.
        {"uninstall", L" --stop-delay=2000", nullptr, true, true, 0, {},
         {"Tolvane UninstInitialize: 0", "Quillon stop {s}: 0", stopped, queried, nowStopped, "Quillon delete {s}: 0",
          "    Service '{s}' successfully deleted.", "Tolvane UninstUnInitialize: 0"},
         false, false, 7},
        {"first install into a folder that exists", nullptr, nullptr, false, false, 2, {}, {"Kestrin: 0"}, true, false,
         0, .folderExists = true},
        {"a service name with a path", nullptr, nullptr, false, false, 2, {}, {}, true, false, 0,
         .serviceArg = L"..\\Windows"},
        // From here on the stand-in Quillon.exe answers; the service stays
        // registered and stopped, whatever it says.
        // The registration fails (Wine's sc ends with 1 there) before any
        // file is written; the empty folder goes again.
        {"first install while another service has the name", nullptr, nullptr, false, false, 2, {},
         {"Kestrin: 0", created.c_str(), "sc create {s}: 1"}, false, false, 0, nullptr, true, {}, {}, true},
        // Files, service and entry stay, for the uninstall or a rerun.
        {"first install whose server fails to start", nullptr, nullptr, false, false, 2, {},
         {"Kestrin: 0", created.c_str(), "sc create {s}: 0", "Quillon start {s}: 305",
          "    Failed to start service '{s}'."},
         false, true, 0, nullptr, true, {"305 Failed to start service '{s}'."}, {"start {s}"}},
        // The start that the last run owes is made; the log cannot be
        // written (it names a folder), which fails nothing.
        {"setup run again after the failed start", nullptr, nullptr, false, false, 0, {}, {}, false, true, 0, nullptr,
         true, {now, restarted}, {"query {s}", "start {s}"}, .log = 2},
        // The stop ran out of time: the start waits until the service has
        // stopped, so that it starts the service and the dependents anew.
        {"update: the stop fails (408) and leaves it stop pending", nullptr, nullptr, false, false, 2, {},
         {"Kestrin: 0", secured.c_str(), queriedRunning[0], queriedRunning[1], "Quillon stop {s}: 408",
          "    Failed to stop service '{s}'.", queried, nowPending, queried, nowStopped, "Quillon start {s}: 0",
          started},
         true, true, 0, nullptr, true, {running, "408 Failed to stop service '{s}'.", pending, now, restarted},
         {"query {s}", "stop {s}", "query {s}", "query {s}", "start {s}"}},
        {"update: a dependent fails its stop (409)", nullptr, nullptr, false, false, 2, {},
         {"Kestrin: 0", secured.c_str(), queriedRunning[0], queriedRunning[1], "Quillon stop {s}: 409",
          "    Failed to stop dependent Service 'BrelkinWeb'.", queried, nowStopped, "Quillon start {s}: 0", started},
         true, true, 0, nullptr, true,
         {running, "409 Failed to stop dependent Service 'BrelkinWeb'.", now, restarted},
         {"query {s}", "stop {s}", "query {s}", "start {s}"}},
        // Found stopping, it stays stopped.
        {"update while the service is stop pending", nullptr, nullptr, false, false, 0, {},
         {"Kestrin: 0", secured.c_str(), queried, nowPending, queried, nowStopped}, false, true, 0, nullptr, true,
         {pending, now}, {"query {s}", "query {s}"}},
        // The installers of these rows wait 3 queries. Still stop pending:
        // not started, and the next run owes the start.
        {"update whose stop outlasts every wait", nullptr, nullptr, false, false, 2, {},
         {"Kestrin: 0", secured.c_str(), queriedRunning[0], queriedRunning[1], "Quillon stop {s}: 408",
          "    Failed to stop service '{s}'.", queried, nowPending, queried, nowPending, queried, nowPending},
         true, true, 0, nullptr, true, {running, "408 Failed to stop service '{s}'.", pending},
         {"query {s}", "stop {s}", "query {s}", "query {s}", "query {s}"}},
        {"update once it has stopped", nullptr, nullptr, false, false, 0, {},
         {"Kestrin: 0", secured.c_str(), queried, nowStopped, "Quillon start {s}: 0", started}, false, true, 0,
         nullptr, true, {now, restarted}, {"query {s}", "start {s}"}},
        {"uninstall while the service stays stop pending", nullptr, nullptr, true, true, 0, {},
         {"Tolvane UninstInitialize: 0", "Quillon stop {s}: 0", "    Nothing to do: service '{s}' is not running.",
          queried, nowPending, queried, nowPending, queried, nowPending},
         true, true, 0, nullptr, true, {notRunning, pending}, {"stop {s}", "query {s}", "query {s}", "query {s}"}},
        // The delete fails: the stopped service is started again.
        {"uninstall whose delete fails", nullptr, nullptr, true, true, 0, {},
         {"Tolvane UninstInitialize: 0", "Quillon stop {s}: 0", "    Nothing to do: service '{s}' is not running.",
          queried, nowStopped, "Quillon delete {s}: 205", "    Error deleting service '{s}'.", queried, nowStopped,
          "Quillon start {s}: 0", started},
         true, true, 0, nullptr, true, {notRunning, now, "205 Error deleting service '{s}'.", now, restarted},
         {"stop {s}", "query {s}", "delete {s}", "query {s}", "start {s}"}},
        // A query that fails while the service is registered (no right to
        // read it, say) is no "gone": it is started again, nothing goes.
        {"uninstall whose query fails", nullptr, nullptr, true, true, 0, {},
         {"Tolvane UninstInitialize: 0", "Quillon stop {s}: 0", "    Nothing to do: service '{s}' is not running.",
          "Quillon query {s}: 101", gone, "Registration of {s}: unknown", "Quillon start {s}: 0",
          started},
         true, true, 0, nullptr, true, {notRunning, failedQuery, restarted}, {"stop {s}", "query {s}", "start {s}"}},
        // An earlier uninstall removed the service; a server file in use
        // keeps the rest and the entry.
        {"uninstall that cannot remove a file", nullptr, nullptr, true, true, 0, {},
         {"Tolvane UninstInitialize: 0", "Quillon stop {s}: 403", "    Failed to query service '{s}'.",
          "Quillon query {s}: 101", gone, "Registration of {s}: gone", "Files left in {f}\\bin"},
         true, true, 0, L"bin\\mysqld.exe", true, {noPath, failedQuery}, {"stop {s}", "query {s}"},
         .serviceGone = true},
        {"uninstall again", nullptr, nullptr, true, true, 0, {},
         {"Tolvane UninstInitialize: 0", "Quillon stop {s}: 403", "    Failed to query service '{s}'.",
          "Quillon query {s}: 101", gone, "Registration of {s}: gone", "Tolvane UninstUnInitialize: 0"},
         false, false, 0, nullptr, true, {noPath, failedQuery}, {"stop {s}", "query {s}"}, .serviceGone = true},
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
            // removes it with the rest. And a file that names another
            // service and log, which the uninstall must not heed.
            ASSERT_TRUE(WriteFileBytes(folder + L"\\" + service, ""));
            ASSERT_TRUE(WriteFileBytes(folder + L"\\uninstall.ini",
                                       "[Setup]\r\nService=Brelkin.Planted\r\nLog=" + Narrow(victim) + "\r\n"));
        }
        if (step.stoppedFirst) {
            Sc(L"stop " + service, SERVICE_STOPPED);
        }
        if (step.serviceGone) {
            RemoveService(service);
        }
        if (step.folderExists) {
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
            ASSERT_TRUE(WriteFileBytes(folder + L"\\planted.dll", "planted"));
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
            const std::wstring dir = !step.dir ? L" /D=" + folder : *step.dir ? L" /D=" + root.File(step.dir) : L"";
            exitCode = RunAll(Quoted(step.standIn ? standInSetup : setup) + L" /S /SERVICE=" +
                              (step.serviceArg ? std::wstring(step.serviceArg) : service) + L" /LOG=" + logs[step.log] + dir);
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
        EXPECT_EQ(ReadOr(victim, ""), "victim\r\n");
        if (step.dir && *step.dir) {
            EXPECT_FALSE(FileExists(root.File(step.dir)));
        }
        if (step.folderExists) {
            EXPECT_EQ(ReadOr(folder + L"\\planted.dll", ""), "planted");
            DeleteFileW((folder + L"\\planted.dll").c_str());
            RemoveDirectoryW(folder.c_str());
        }
        if (step.installed && std::find(step.logLines.begin(), step.logLines.end(), created) != step.logLines.end()) {
            EXPECT_FALSE(EveryoneListed(folder));
        }
        if (step.refused) {
            EXPECT_EQ(Snapshot(folder), before);
        }

        const std::wstring expectedUninstall =
            L"\"" + folder + L"\\uninstall.exe\" -c\"" + folder + L"\\Tolvane.dll\"";
        uninstallString = UninstallString();
        if (!step.installed) {
            serverOptions.clear();
        }
        EXPECT_EQ(Narrow(uninstallString), step.installed ? Narrow(expectedUninstall) : "");
        EXPECT_FALSE(InTheOtherView());
        const std::string config = Narrow(std::to_wstring(SERVICE_AUTO_START) + L" " + Quoted(server) + serverOptions);
        if (!step.standIn) {
            const DWORD state = step.stoppedFirst ? SERVICE_STOPPED : SERVICE_RUNNING;
            EXPECT_EQ(ServiceStateOf(service), step.installed ? state : 0u);
            EXPECT_EQ(Narrow(ServiceConfigOf(service)), step.installed ? config : "");
        } else if (step.installed && !step.serviceGone) {
            EXPECT_EQ(Narrow(ServiceConfigOf(service)), config);
        }
        for (const wchar_t* file : installedFiles) {
            EXPECT_EQ(FileExists(folder + L"\\" + file), step.installed) << Narrow(file);
        }
        EXPECT_FALSE(FileExists(folder + L"\\Kestrin.exe"));
        EXPECT_EQ(FileExists(folder), step.installed);
        if (step.installed) {
            EXPECT_EQ(ReadOr(folder + L"\\stop_mysql.bat", "(none)"),
                      "@echo off\r\nrem The uninstaller stops the server itself, after this batch.\r\nexit /b 0\r\n");
            std::string started;
            for (int i = 0; i < step.starts; ++i) {
                started += "started\r\n";
            }
            EXPECT_EQ(ReadOr(server + L".started", ""), started);
        }
    }
}
