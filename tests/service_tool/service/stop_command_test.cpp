#include "service_tool/service/commands.h"

#include <gtest/gtest.h>

#include "service_tool/front/command_line.h"
#include "service_tool/service/dependents_file.h"
#include "tests/support/output_capture.h"
#include "tests/support/run_process.h"
#include "tests/support/scm_model.h"
#include "tests/support/test_services.h"

namespace {

const wchar_t ServerCommandLine[] = L"\"C:\\Program Files\\MariaDB\\bin\\mysqld.exe\" --defaults-file=my.ini";

// Runs StopCommand for the service in this process and returns its output.
std::string RunStop(const std::wstring& serviceName, int& exitCode)
{
    ServiceName = serviceName;
    OutputCapture capture;
    exitCode = StopCommand();
    return capture.Finish();
}

} // namespace

TEST(StopCommand, StopsDependentsInListedOrderAfterRecordingThem)
{
    const std::wstring db = L"StopModelOrder";
    ScmModel scm;
    scm.Add(db, ServerCommandLine, SERVICE_RUNNING);
    scm.Add(L"A", L"C:\\a.exe", SERVICE_RUNNING, {db}).stopDelay = 1000;
    scm.Add(L"B", L"C:\\b.exe", SERVICE_RUNNING, {db});
    ASSERT_TRUE(WriteFileBytes(GetDependentsFilePath(db), Utf16Bytes(L"Stale\n")));

    int code = -1;
    const std::string out = RunStop(db, code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out, ConsoleBytes(L"    Dependent Service 'A' successfully stopped.\n"
                                L"    Dependent Service 'B' successfully stopped.\n"
                                L"Service '" + db + L"' and all dependent services successfully stopped.\n\n"));
    EXPECT_EQ(scm.controls, (std::vector<std::wstring>{L"stop A", L"stop B", L"stop " + db}));
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(GetDependentsFilePath(db), bytes));
    EXPECT_EQ(bytes, Utf16Bytes(L"A\nB\n"));
    EXPECT_EQ(scm.OpenHandles(), 0);
    DeleteFileW(GetDependentsFilePath(db).c_str());
}

TEST(StopCommand, RefusingDependentFailsTheStopAndStaysRecorded)
{
    const std::wstring db = L"StopModelRefused";
    ScmModel scm;
    scm.Add(db, ServerCommandLine, SERVICE_RUNNING);
    scm.Add(L"A", L"C:\\a.exe", SERVICE_RUNNING, {db}).stopError = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    scm.Add(L"B", L"C:\\b.exe", SERVICE_RUNNING, {db});

    int code = -1;
    const std::string out = RunStop(db, code);
    EXPECT_EQ(code, 408);
    const std::wstring text = ConsoleText(out);
    EXPECT_EQ(text.find(L"    Failed to stop dependent Service 'A'.\n    " + ErrorLineText(ERROR_SERVICE_CANNOT_ACCEPT_CTRL) +
                        L"    Dependent Service 'B' successfully stopped.\n"
                        L"Failed to stop service '" + db + L"'.\nOS Error Message: '"),
              0u)
        << Narrow(text);
    EXPECT_EQ(scm.State(db), static_cast<DWORD>(SERVICE_RUNNING));
    const ServiceNameList recorded = ReadDependentsFile(db);
    EXPECT_EQ(recorded.names, (std::vector<std::wstring>{L"A", L"B"}));
    DeleteFileW(GetDependentsFilePath(db).c_str());
}

// Without a file path nothing can be recorded: a service with running
// dependents is refused before anything is stopped, one without is stopped.
TEST(StopCommand, NameWithoutFilePathIsStoppedOnlyWithoutDependents)
{
    const std::wstring longName(MAX_PATH - 20, L'd');
    ScmModel scm;
    scm.Add(longName, ServerCommandLine, SERVICE_RUNNING);
    int code = -1;
    RunStop(longName, code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(scm.State(longName), static_cast<DWORD>(SERVICE_STOPPED));

    scm.Find(longName)->state = SERVICE_RUNNING;
    scm.Add(L"A", L"C:\\a.exe", SERVICE_RUNNING, {longName});
    scm.controls.clear();
    const std::string out = RunStop(longName, code);
    EXPECT_EQ(code, 407);
    EXPECT_EQ(ConsoleText(out).find(L"Failed to open file '" + longName + L".Dependencies' Errormessage "), 0u);
    EXPECT_TRUE(scm.controls.empty());
}

TEST(StopCommand, EndsEarlyUnlessTheServiceRuns)
{
    const std::wstring db = L"StopModelStates";
    const struct {
        DWORD state;
        std::wstring commandLine;
        DWORD statusError;
        int code;
        std::wstring output;
    } cases[] = {
        {SERVICE_STOPPED, ServerCommandLine, 0, 0, L"Nothing to do: service '" + db + L"' is not running.\n\n"},
        {SERVICE_START_PENDING, ServerCommandLine, 0, 0, L"Nothing to do: service '" + db + L"' is not running.\n\n"},
        {SERVICE_STOP_PENDING, ServerCommandLine, 0, 0, L"Nothing to do: service '" + db + L"' is not running.\n\n"},
        {SERVICE_PAUSED, ServerCommandLine, 0, 0, L"Nothing to do: service '" + db + L"' is not running.\n\n"},
        {SERVICE_RUNNING, L"C:\\mysql\\bin\\mysqld-debug.exe", 0, 404,
         L"Error: service '" + db + L"' is not a supported mysql or mariadb service.\n\n"},
        {SERVICE_RUNNING, ServerCommandLine, ERROR_ACCESS_DENIED, 405,
         L"Failed to get state of service " + db + L"\n" + ErrorLineText(ERROR_ACCESS_DENIED)},
    };
    const std::wstring path = GetDependentsFilePath(db);
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteFileBytes(path, Utf16Bytes(L"Kept\n")));
        ScmModel scm;
        ModelService& service = scm.Add(db, c.commandLine, c.state);
        service.statusError = c.statusError;
        int code = -1;
        EXPECT_EQ(ConsoleText(RunStop(db, code)), c.output);
        EXPECT_EQ(code, c.code);
        EXPECT_TRUE(scm.controls.empty());
        std::string bytes;
        EXPECT_TRUE(ReadFileBytes(path, bytes));
        EXPECT_EQ(bytes, Utf16Bytes(L"Kept\n"));
    }
    DeleteFileW(path.c_str());
}

TEST(StopCommand, ServiceThatNeverStopsIsReportedAsAFailure)
{
    const std::wstring db = L"StopModelHangs";
    ScmModel scm;
    scm.Add(db, ServerCommandLine, SERVICE_RUNNING).stopDelay = INFINITE;
    int code = -1;
    const std::wstring text = ConsoleText(RunStop(db, code));
    EXPECT_EQ(code, 408);
    EXPECT_EQ(text.find(L"Failed to stop service '" + db + L"'.\nOS Error Message: '"), 0u);
    EXPECT_EQ(text.find(TrimWhiteSpace(GetSystemErrorText(ERROR_SUCCESS))), std::wstring::npos) << Narrow(text);
}

// Against Wine's own manager, with the stand-in server registered as services.
TEST(StopCommand, RealServices)
{
    TempDir dir;
    ASSERT_TRUE(CopyFileTo(BinPath(L"Quillon.exe"), dir.File(L"Quillon.exe")));
    ASSERT_TRUE(CopyFileTo(BinPath(L"standin_server.exe"), dir.File(L"mysqld.exe")));
    ASSERT_TRUE(CopyFileTo(BinPath(L"standin_server.exe"), dir.File(L"other.exe")));
    TestService running(L"qt_stop_running", Quoted(dir.File(L"mysqld.exe")));
    TestService stopped(L"qt_stop_stopped", Quoted(dir.File(L"mysqld.exe")));
    TestService other(L"qt_stop_other", Quoted(dir.File(L"other.exe")));
    ASSERT_TRUE(running.Registered() && stopped.Registered() && other.Registered());
    ASSERT_TRUE(running.Start());
    ASSERT_TRUE(other.Start());
    const std::wstring missing = L"qt_stop_missing";

    const struct {
        TestService* service;
        std::wstring arguments;
        DWORD exitCode;
        std::wstring output;
        DWORD stateAfter;
        bool fileKept;
    } cases[] = {
        {&running, L"stop " + running.Name(), 0,
         L"Service '" + running.Name() + L"' and all dependent services successfully stopped.\n\n", SERVICE_STOPPED,
         false},
        {&stopped, L"Stopp " + stopped.Name(), 0, L"Nothing to do: service '" + stopped.Name() + L"' is not running.\n\n",
         SERVICE_STOPPED, true},
        {&other, L"stop " + other.Name(), 404,
         L"Error: service '" + other.Name() + L"' is not a supported mysql or mariadb service.\n\n", SERVICE_RUNNING,
         true},
        {nullptr, L"stop " + missing, 403,
         L"Error stopping service '" + missing + L"'.\n" + ErrorLineText(ERROR_SERVICE_DOES_NOT_EXIST), 0, true},
        {nullptr, L"stop", 401, L"Error: Command Stop needs a service name.\n\n", 0, true},
    };
    for (const auto& c : cases) {
        const std::wstring name = c.service ? c.service->Name() : missing;
        const std::wstring file = dir.File(name + L".Dependencies");
        ASSERT_TRUE(WriteFileBytes(file, Utf16Bytes(L"Old\n")));
        const ProcessResult result = RunProcess(Quoted(dir.File(L"Quillon.exe")) + L" " + c.arguments);
        EXPECT_EQ(ConsoleText(result.out), c.output) << Narrow(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode) << Narrow(c.arguments);
        EXPECT_EQ(FileExists(file), c.fileKept) << Narrow(c.arguments);
        if (c.service) {
            EXPECT_EQ(c.service->State(), c.stateAfter) << Narrow(c.arguments);
        }
    }
}
