#include "service_tool/service/commands.h"

#include <gtest/gtest.h>

#include <functional>

#include "common/handles.h"
#include "service_tool/front/command_line.h"
#include "service_tool/service/dependents_file.h"
#include "tests/support/output_capture.h"
#include "tests/support/scm_model.h"
#include "tests/support/test_services.h"

const wchar_t ServerCommandLine[] = L"\"C:\\Program Files\\MariaDB\\bin\\mysqld.exe\" --defaults-file=my.ini";

TEST(StartCommand, ModelCases)
{
    const std::wstring db = L"StartModelDb";
    const std::wstring path = GetDependentsFilePath(db);
    const std::wstring started = L"Service '" + db + L"' successfully started.\n";
    const std::wstring failed = L"Failed to start service '" + db + L"'.\n";
    const std::wstring specific = L"OS Error Message: '" + TrimWhiteSpace(GetSystemErrorText(1066)) +
                                  L" (service-specific code 4294967295)'.\n\n";
    using Setup = std::function<void(ScmModel&)>;
    const auto failing = [](DWORD exitCode, DWORD specificExitCode, const wchar_t* name = L"StartModelDb") {
        return [=](ScmModel& m) {
            ModelService& s = *m.Find(name);
            s.failsToStart = true, s.exitCode = exitCode, s.specificExitCode = specificExitCode;
        };
    };
    const struct {
        const wchar_t* title;
        DWORD state;
        DWORD startError;
        int code;
        std::wstring output;
        std::vector<std::wstring> controls;
        bool fileKept;
        DWORD configError = 0;
        const wchar_t* commandLine = ServerCommandLine;
        Setup setup = [](ScmModel&) {};
    } cases[] = {
        {L"running service: dependents still come back", SERVICE_RUNNING, 0, 0,
         L"Service '" + db + L"' successfully started.\n    Dependent Service 'B' successfully started.\n"
         L"    Dependent Service 'A' successfully started.\n\n",
         {L"start B", L"start A"}, false},
        {L"refused start keeps the file", SERVICE_STOPPED, ERROR_SERVICE_DISABLED, 305,
         L"Failed to start service '" + db + L"'.\n" + ErrorLineText(ERROR_SERVICE_DISABLED),
         {L"start " + db}, true},
        {L"unreadable configuration", SERVICE_STOPPED, 0, 303,
         L"Error starting service '" + db + L"'.\n" + ErrorLineText(ERROR_ACCESS_DENIED), {}, true, ERROR_ACCESS_DENIED},
        {L"not a server", SERVICE_STOPPED, 0, 304,
         L"Error: service '" + db + L"' is not a supported mysql or mariadb service.\n\n", {}, true, 0,
         L"C:\\tools\\backup.exe"},
        // A server that fails while it starts: its own reason, at once.
        {L"server fails with its own code", SERVICE_STOPPED, 0, 305, failed + specific, {L"start " + db}, true, 0,
         ServerCommandLine, failing(ERROR_SERVICE_SPECIFIC_ERROR, 4294967295)},
        {L"recorded dependent fails while starting", SERVICE_STOPPED, 0, 307,
         started + L"    Dependent Service 'B' successfully started.\n    Failed to start dependent Service 'A'.\n    " +
             ErrorLineText(ERROR_PROCESS_ABORTED) + L"\n",
         {L"start " + db, L"start B", L"start A"}, false, 0, ServerCommandLine, failing(ERROR_PROCESS_ABORTED, 0, L"A")},
    };
    for (const auto& c : cases) {
        ScmModel scm;
        ModelService& service = scm.Add(db, c.commandLine, c.state);
        service.startError = c.startError;
        service.configError = c.configError;
        scm.Add(L"A", L"C:\\a.exe", SERVICE_STOPPED, {db});
        scm.Add(L"B", L"C:\\b.exe", SERVICE_STOPPED, {db});
        c.setup(scm);
        ASSERT_TRUE(WriteFileBytes(path, Utf16Bytes(L"A\nB\n")));
        ServiceName = db;
        const CapturedRun run = Capture(StartCommand);
        EXPECT_EQ(run.text, c.output) << Narrow(c.title);
        EXPECT_EQ(run.code, c.code) << Narrow(c.title);
        EXPECT_EQ(scm.controls, c.controls) << Narrow(c.title);
        EXPECT_EQ(FileExists(path), c.fileKept) << Narrow(c.title);
        EXPECT_LE(scm.sleeps, 3) << Narrow(c.title); // one poll per service started
        EXPECT_EQ(scm.OpenHandles(), 0) << Narrow(c.title);
    }
    DeleteFileW(path.c_str());
}

// What a stop recorded for a chain or a diamond comes back in start order:
// each service after those it depends on. Names close to those that Windows
// rewrites keep their file.
TEST(StartCommand, BringsBackEveryDependentAStopRecorded)
{
    for (const std::wstring db : {L"StartModelChain", L"CONSOLE", L"COM10", L"mysql ", L"mysql.5"}) {
        const std::wstring path = GetDependentsFilePath(db);
        ASSERT_NE(path, L"") << Narrow(db);
        for (const std::vector<std::wstring>& dependsOnOfB : {std::vector<std::wstring>{L"A"}, {L"A", db}}) {
            DeleteFileW(path.c_str());
            ScmModel scm;
            scm.Add(db, ServerCommandLine, SERVICE_RUNNING);
            scm.Add(L"A", L"C:\\a.exe", SERVICE_RUNNING, {db});
            scm.Add(L"B", L"C:\\b.exe", SERVICE_RUNNING, dependsOnOfB);
            ServiceName = db;
            ASSERT_EQ(Capture(StopCommand).code, 0) << Narrow(db);
            EXPECT_TRUE(FileExists(path)) << Narrow(db);
            scm.controls.clear();
            const CapturedRun run = Capture(StartCommand);
            EXPECT_EQ(run.text, L"Service '" + db + L"' successfully started.\n"
                                L"    Dependent Service 'A' successfully started.\n"
                                L"    Dependent Service 'B' successfully started.\n\n");
            EXPECT_EQ(run.code, 0);
            EXPECT_EQ(scm.controls, (std::vector<std::wstring>{L"start " + db, L"start A", L"start B"}));
            EXPECT_FALSE(FileExists(path)) << Narrow(db);
            EXPECT_EQ(scm.OpenHandles(), 0);
        }
    }
}

// A name that cannot name a file has no dependents file: nothing to read, no
// failure to report. Nor has a name that Windows maps to a device or trims:
// the file of svc. would be svc's, which stays for svc's own start.
TEST(StartCommand, NameWithoutFilePathStartsTheServiceAlone)
{
    const std::wstring trimmed = BinPath(L"StartTrimmed");
    for (const std::wstring name : {L"my?db", L"my*db", L"<db>", L"my\"db", L"my\tdb", L"NUL", L"Con", L"CONIN$",
                                    L"aux.log", L"LPT\u00B9", L"StartTrimmed.", L"StartTrimmed.."}) {
        ASSERT_TRUE(WriteFileBytes(trimmed, Utf16Bytes(L"A\n")));
        ScmModel scm;
        scm.Add(name, ServerCommandLine, SERVICE_STOPPED);
        scm.Add(L"A", L"C:\\a.exe", SERVICE_STOPPED, {name});
        ServiceName = name;
        const CapturedRun run = Capture(StartCommand);
        EXPECT_EQ(run.text, L"Service '" + name + L"' successfully started.\n\n") << Narrow(name);
        EXPECT_EQ(run.code, 0) << Narrow(name);
        EXPECT_EQ(scm.controls, std::vector<std::wstring>{L"start " + name}) << Narrow(name);
        EXPECT_TRUE(FileExists(trimmed)) << Narrow(name);
    }
    DeleteFileW(trimmed.c_str());
}

// Against Wine's own manager, with the stand-in server registered as services.
TEST(StartCommand, RealServices)
{
    TempDir dir;
    ASSERT_TRUE(CopyQuillonAndServers(dir, {L"mysqld.exe", L"app.exe", L"web.exe"}));
    TestService db(L"qt_start_db", Quoted(dir.File(L"mysqld.exe")));
    TestService a(L"qt_start_a", Quoted(dir.File(L"app.exe")));
    TestService b(L"qt_start_b", Quoted(dir.File(L"web.exe")));
    // Servers that fail while they start, as one with a bad configuration.
    TestService failing(L"qt_start_failing", Quoted(dir.File(L"mysqld.exe")) + L" --fail-start=1066:42");
    TestService failingApp(L"qt_start_failing_app", Quoted(dir.File(L"app.exe")) + L" --fail-start=13");
    ASSERT_TRUE(db.Registered() && a.Registered() && b.Registered() && failing.Registered() &&
                failingApp.Registered());
    const std::wstring file = dir.File(db.Name() + L".Dependencies");
    const std::wstring started = L"Service '" + db.Name() + L"' successfully started.\n";
    const std::wstring missing = L"qt_start_missing";

    const std::wstring unopened = started + L"Failed to open file '" + file + L"' Errormessage " +
                                  TrimWhiteSpace(GetSystemErrorText(ERROR_SHARING_VIOLATION)) + L"\n" +
                                  L"Failed to get dependent services of service '" + db.Name() + L"'.\n" +
                                  L"No dependent services were started.\n\n";
    // The file may be held open by the test (for Windows, sharing is decided
    // per open, whichever process holds it), as another program or another
    // run of Quillon would.
    const struct {
        const wchar_t* title;
        const wchar_t* file; // null: no file
        DWORD heldAccess;    // 0: the file is not held open
        DWORD heldShare;
        DWORD exitCode;
        std::wstring output;
        bool fileKept;
        TestService* started = nullptr; // null: db
    } cases[] = {
        {L"no file", nullptr, 0, 0, 0, started + L"\n", false},
        {L"two dependents, the last recorded first", L"qt_start_a\nqt_start_b\n", 0, 0, 0,
         started + L"    Dependent Service 'qt_start_b' successfully started.\n"
                   L"    Dependent Service 'qt_start_a' successfully started.\n\n",
         false},
        {L"recorded service that does not exist", L"qt_start_missing\n", 0, 0, 307,
         started + L"    Failed to start dependent Service '" + missing + L"'.\n    " +
             ErrorLineText(ERROR_SERVICE_DOES_NOT_EXIST) + L"\n",
         false},
        {L"file held open without sharing", L"qt_start_a\n", GENERIC_READ, 0, 306, unopened, true},
        {L"file held open for writing, sharing read and write", L"qt_start_a\n", GENERIC_WRITE,
         FILE_SHARE_READ | FILE_SHARE_WRITE, 306, unopened, true},
        // Two readers: both read the list; the file stays, as the other
        // reader lets nobody delete it.
        {L"file held open for reading, sharing read", L"qt_start_a\n", GENERIC_READ, FILE_SHARE_READ, 0,
         started + L"    Dependent Service 'qt_start_a' successfully started.\n\n", true},
        // The server's own reason, at once (not after the wait's two minutes).
        {L"server fails while starting", nullptr, 0, 0, 305,
         L"Failed to start service '" + failing.Name() + L"'.\nOS Error Message: '" +
             TrimWhiteSpace(GetSystemErrorText(ERROR_SERVICE_SPECIFIC_ERROR)) + L" (service-specific code 42)'.\n\n",
         false, &failing},
        {L"recorded dependent fails while starting", L"qt_start_failing_app\nqt_start_a\n", 0, 0, 307,
         started + L"    Dependent Service 'qt_start_a' successfully started.\n"
                   L"    Failed to start dependent Service 'qt_start_failing_app'.\n    " +
             ErrorLineText(ERROR_INVALID_DATA) + L"\n",
         false},
    };
    for (const auto& c : cases) {
        for (TestService* service : {&db, &a, &b}) {
            if (service->State() != SERVICE_STOPPED) {
                ASSERT_TRUE(service->Stop());
            }
        }
        DeleteFileW(file.c_str());
        if (c.file) {
            ASSERT_TRUE(WriteFileBytes(file, Utf16Bytes(c.file)));
        }
        FileHandle holder;
        if (c.heldAccess) {
            holder.Reset(CreateFileW(file.c_str(), c.heldAccess, c.heldShare, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(holder);
        }
        TestService& service = c.started ? *c.started : db;
        const ULONGLONG begin = GetTickCount64();
        const ProcessResult result = RunProcess(Quoted(dir.File(L"Quillon.exe")) + L" start " + service.Name());
        EXPECT_LT(GetTickCount64() - begin, 10000u) << Narrow(c.title);
        holder.Reset();
        EXPECT_EQ(ConsoleText(result.out), c.output) << Narrow(c.title);
        EXPECT_EQ(result.exitCode, c.exitCode) << Narrow(c.title);
        EXPECT_EQ(FileExists(file), c.fileKept) << Narrow(c.title);
        std::string after;
        if (c.fileKept && ReadFileBytes(file, after)) {
            EXPECT_EQ(after, Utf16Bytes(c.file)) << Narrow(c.title);
        }
        EXPECT_EQ(service.State(), static_cast<DWORD>(c.started ? SERVICE_STOPPED : SERVICE_RUNNING))
            << Narrow(c.title);
    }
    // Only the row that listed both brought them up.
    EXPECT_TRUE(FileExists(dir.File(L"web.exe.started")) && FileExists(dir.File(L"app.exe.started")));
}
