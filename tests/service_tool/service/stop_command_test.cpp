#include "service_tool/service/commands.h"

#include <gtest/gtest.h>

#include "common/handles.h"
#include "service_tool/front/command_line.h"
#include "service_tool/service/dependents_file.h"
#include "tests/support/output_capture.h"
#include "tests/support/scm_model.h"
#include "tests/support/test_services.h"

namespace {

using Names = std::vector<std::wstring>;

const wchar_t ServerCommandLine[] = L"\"C:\\Program Files\\MariaDB\\bin\\mysqld.exe\" --defaults-file=my.ini";

CapturedRun RunStop(const std::wstring& serviceName)
{
    ServiceName = serviceName;
    return Capture(StopCommand);
}

std::string FileBytes(const std::wstring& path)
{
    std::string bytes;
    ReadFileBytes(path, bytes);
    return bytes;
}

} // namespace

TEST(StopCommand, RecordsRunningDependentsThenStopsThemInOrder)
{
    const std::wstring db = L"StopModelOrder";
    const std::wstring file = GetDependentsFilePath(db);
    const std::wstring refused = L"    Failed to stop dependent Service 'A'.\n    " +
                                 ErrorLineText(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    const struct {
        DWORD stopErrorOfA;
        int stopErrorsOfA; // -1: every stop of A fails
        int code;
        std::wstring text;
        Names controls;
    } cases[] = {
        {0, -1, 0,
         L"    Dependent Service 'A' successfully stopped.\n    Dependent Service 'B' successfully stopped.\n"
         L"Service '" + db + L"' and all dependent services successfully stopped.\n\n",
         {L"stop A", L"stop B", L"stop " + db}},
        // The service's own stop tries A again and sends no control of its own.
        {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, -1, 408,
         refused + L"    Dependent Service 'B' successfully stopped.\nFailed to stop service '" + db + L"'.\n" +
             ErrorLineText(ERROR_DEPENDENT_SERVICES_RUNNING),
         {L"stop A", L"stop B", L"stop A"}},
        // A stops at the second try, inside the service's own stop: the
        // service is stopped, the earlier failure gives the code, no more text.
        {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 1, 409, refused + L"    Dependent Service 'B' successfully stopped.\n",
         {L"stop A", L"stop B", L"stop A", L"stop " + db}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteFileBytes(file, Utf16Bytes(L"Stale\n")));
        ScmModel scm;
        scm.Add(db, ServerCommandLine, SERVICE_RUNNING);
        ModelService& a = scm.Add(L"A", L"C:\\a.exe", SERVICE_RUNNING, {db});
        a.stopDelay = 1000;
        a.stopError = c.stopErrorOfA;
        a.stopErrors = c.stopErrorsOfA;
        scm.Add(L"B", L"C:\\b.exe", SERVICE_RUNNING, {db});
        scm.Add(L"C", L"C:\\c.exe", SERVICE_STOPPED, {db});

        const CapturedRun run = RunStop(db);
        EXPECT_EQ(run.code, c.code);
        EXPECT_EQ(run.text, c.text);
        EXPECT_EQ(scm.controls, c.controls);
        EXPECT_EQ(scm.State(db), DWORD(c.code == 408 ? SERVICE_RUNNING : SERVICE_STOPPED));
        EXPECT_EQ(FileBytes(file), Utf16Bytes(L"A\nB\n"));
        EXPECT_EQ(scm.OpenHandles(), 0);
    }
    DeleteFileW(file.c_str());
}

// Windows lists dependents direct and indirect, each once, deepest first: they
// are recorded and stopped in that order, and the service's own stop tries
// again any that is still running before it sends its control.
TEST(StopCommand, ChainsAndDiamondsStopDeepestFirst)
{
    const std::wstring db = L"StopModelChain";
    const std::wstring file = GetDependentsFilePath(db);
    const std::wstring done = L"Service '" + db + L"' and all dependent services successfully stopped.\n\n";
    const std::wstring stoppedB = L"    Dependent Service 'B' successfully stopped.\n";
    const struct {
        const char* title;
        std::vector<Names> dependsOn; // of A and B
        DWORD stateOfB;
        DWORD stopErrorOfA;
        int code;
        std::wstring text;
        Names controls;
        std::wstring fileText;
    } cases[] = {
        {"chain", {{db}, {L"A"}}, SERVICE_RUNNING, 0, 0,
         stoppedB + L"    Dependent Service 'A' successfully stopped.\n" + done,
         {L"stop B", L"stop A", L"stop " + db}, L"B\nA\n"},
        {"diamond", {{db}, {L"A", db}}, SERVICE_RUNNING, 0, 0,
         stoppedB + L"    Dependent Service 'A' successfully stopped.\n" + done,
         {L"stop B", L"stop A", L"stop " + db}, L"B\nA\n"},
        {"chain, deepest stopped", {{db}, {L"A"}}, SERVICE_STOPPED, 0, 0,
         L"    Dependent Service 'A' successfully stopped.\n" + done, {L"stop A", L"stop " + db}, L"A\n"},
        {"chain, middle refuses", {{db}, {L"A"}}, SERVICE_RUNNING, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 408,
         stoppedB + L"    Failed to stop dependent Service 'A'.\n    " +
             ErrorLineText(ERROR_SERVICE_CANNOT_ACCEPT_CTRL) + L"Failed to stop service '" + db + L"'.\n" +
             ErrorLineText(ERROR_DEPENDENT_SERVICES_RUNNING),
         {L"stop B", L"stop A", L"stop A"}, L"B\nA\n"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteFileBytes(file, Utf16Bytes(L"Stale\n")));
        ScmModel scm;
        scm.Add(db, ServerCommandLine, SERVICE_RUNNING);
        scm.Add(L"A", L"C:\\a.exe", SERVICE_RUNNING, c.dependsOn[0]).stopError = c.stopErrorOfA;
        scm.Add(L"B", L"C:\\b.exe", c.stateOfB, c.dependsOn[1]);

        const CapturedRun run = RunStop(db);
        EXPECT_EQ(run.text, c.text) << c.title;
        EXPECT_EQ(run.code, c.code) << c.title;
        EXPECT_EQ(scm.controls, c.controls) << c.title;
        EXPECT_EQ(FileBytes(file), Utf16Bytes(c.fileText)) << c.title;
        EXPECT_EQ(scm.OpenHandles(), 0) << c.title;
    }
    DeleteFileW(file.c_str());
}

// Without a file path the dependents cannot be recorded: nothing is stopped.
// Without running dependents there is nothing to record: the service stops.
// A name that Windows would trim or map to a device has no path either; the
// file it would be trimmed to stays as it is. Nor can they be recorded while
// another run reads the file (sharing read only) or writes it, even sharing
// writing: the file stays as it is. (Windows decides sharing per open, so the
// test's open stands for another process's.)
TEST(StopCommand, FileThatCannotBeWrittenStopsNothingWhileDependentsRun)
{
    const std::wstring tooLong(MAX_PATH - 20, L'd');
    const struct {
        std::wstring name;
        DWORD failure;
        std::wstring keptFile; // beside the program; must stay unchanged
        DWORD heldAccess = 0;  // the kept file is held open so
        DWORD heldShare = 0;
    } cases[] = {
        {tooLong, ERROR_FILENAME_EXCED_RANGE, L""},
        {L"my?db", ERROR_INVALID_NAME, L""},
        {L"my|db", ERROR_INVALID_NAME, L""},
        {L"my\x01" L"db", ERROR_INVALID_NAME, L""},
        {L"NUL", ERROR_INVALID_NAME, L""},
        {L"conout$", ERROR_INVALID_NAME, L""},
        {L"com1.log", ERROR_INVALID_NAME, L""},
        {L"StopTrimmed.", ERROR_INVALID_NAME, L"StopTrimmed"},
        {L"StopTrimmed.exe..", ERROR_INVALID_NAME, L"StopTrimmed.exe"},
        {L"StopHeld", ERROR_SHARING_VIOLATION, L"StopHeld.Dependencies", GENERIC_READ, FILE_SHARE_READ},
        {L"StopHeld", ERROR_SHARING_VIOLATION, L"StopHeld.Dependencies", GENERIC_WRITE,
         FILE_SHARE_READ | FILE_SHARE_WRITE},
    };
    for (const auto& c : cases) {
        const std::wstring kept = BinPath(c.keptFile);
        const std::wstring shownPath = c.heldAccess ? kept : c.name + L".Dependencies";
        for (const DWORD dependentState : {SERVICE_RUNNING, SERVICE_STOPPED}) {
            FileHandle holder;
            if (!c.keptFile.empty()) {
                ASSERT_TRUE(WriteFileBytes(kept, "MZ"));
            }
            if (c.heldAccess) {
                holder.Reset(CreateFileW(kept.c_str(), c.heldAccess, c.heldShare, nullptr, OPEN_EXISTING, 0, nullptr));
                ASSERT_TRUE(holder);
            }
            ScmModel scm;
            scm.Add(c.name, ServerCommandLine, SERVICE_RUNNING);
            scm.Add(L"A", L"C:\\a.exe", dependentState, {c.name});
            const CapturedRun run = RunStop(c.name);
            if (dependentState == SERVICE_RUNNING) {
                EXPECT_EQ(run.code, 407) << Narrow(c.name);
                EXPECT_EQ(run.text, L"Failed to open file '" + shownPath + L"' Errormessage " +
                                        TrimWhiteSpace(GetSystemErrorText(c.failure)) + L"\n")
                    << Narrow(c.name);
                EXPECT_TRUE(scm.controls.empty()) << Narrow(c.name);
            } else {
                EXPECT_EQ(run.code, 0) << Narrow(c.name);
                EXPECT_EQ(scm.controls, Names{L"stop " + c.name}) << Narrow(c.name);
            }
            holder.Reset();
            if (!c.keptFile.empty()) {
                EXPECT_EQ(FileBytes(kept), "MZ") << Narrow(c.name);
                DeleteFileW(kept.c_str());
            }
        }
    }
}

TEST(StopCommand, EndsEarlyUnlessTheServiceRuns)
{
    const std::wstring db = L"StopModelStates";
    const std::wstring nothing = L"Nothing to do: service '" + db + L"' is not running.\n\n";
    const struct {
        DWORD state;
        DWORD stopDelay;
        DWORD statusError;
        int code;
        std::wstring text;
        DWORD dependentsError = 0;
    } cases[] = {
        {SERVICE_START_PENDING, 0, 0, 0, nothing},
        {SERVICE_STOP_PENDING, 0, 0, 0, nothing},
        {SERVICE_PAUSED, 0, 0, 0, nothing},
        {SERVICE_RUNNING, 0, ERROR_ACCESS_DENIED, 405,
         L"Failed to get state of service " + db + L"\n" + ErrorLineText(ERROR_ACCESS_DENIED)},
        // A service that never stops: the error line must not be a success text.
        {SERVICE_RUNNING, INFINITE, 0, 408,
         L"Failed to stop service '" + db + L"'.\n" + ErrorLineText(ERROR_SERVICE_REQUEST_TIMEOUT)},
        // The dependents are asked for only once the service runs.
        {SERVICE_STOPPED, 0, 0, 0, nothing, ERROR_ACCESS_DENIED},
        {SERVICE_RUNNING, 0, 0, 406,
         L"Failed to get dependent services of service '" + db + L"'\n" + ErrorLineText(ERROR_ACCESS_DENIED),
         ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        ScmModel scm;
        ModelService& service = scm.Add(db, ServerCommandLine, c.state);
        service.statusError = c.statusError;
        service.stopDelay = c.stopDelay;
        service.dependentsError = c.dependentsError;
        const CapturedRun run = RunStop(db);
        EXPECT_EQ(run.text, c.text);
        EXPECT_EQ(run.code, c.code);
        EXPECT_EQ(scm.controls.size(), c.stopDelay ? 1u : 0u);
    }
    DeleteFileW(GetDependentsFilePath(db).c_str());
}

// Against Wine's own manager, with the stand-in server registered as services.
TEST(StopCommand, RealServices)
{
    TempDir dir;
    ASSERT_TRUE(CopyQuillonAndServers(dir, {L"mysqld.exe", L"other.exe"}));
    TestService running(L"qt_stop_running", Quoted(dir.File(L"mysqld.exe")));
    TestService stopped(L"qt_stop_stopped", Quoted(dir.File(L"mysqld.exe")));
    TestService other(L"qt_stop_other", Quoted(dir.File(L"other.exe")));
    ASSERT_TRUE(running.Registered() && stopped.Registered() && other.Registered());
    ASSERT_TRUE(running.Start() && other.Start());
    const std::wstring missing = L"qt_stop_missing";

    const struct {
        TestService* service;
        std::wstring arguments;
        DWORD exitCode;
        std::wstring text;
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
        const std::wstring file = dir.File((c.service ? c.service->Name() : missing) + L".Dependencies");
        ASSERT_TRUE(WriteFileBytes(file, Utf16Bytes(L"Old\n")));
        const ProcessResult result = RunProcess(Quoted(dir.File(L"Quillon.exe")) + L" " + c.arguments);
        EXPECT_EQ(ConsoleText(result.out), c.text) << Narrow(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode) << Narrow(c.arguments);
        EXPECT_EQ(FileExists(file), c.fileKept) << Narrow(c.arguments);
        if (c.service) {
            EXPECT_EQ(c.service->State(), c.stateAfter) << Narrow(c.arguments);
        }
    }
}
