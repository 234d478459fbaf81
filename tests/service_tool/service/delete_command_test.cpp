#include "service_tool/service/commands.h"

#include <gtest/gtest.h>

#include <set>

#include "service_tool/front/command_line.h"
#include "service_tool/service/command_checks.h"
#include "service_tool/service/dependents_file.h"
#include "tests/support/output_capture.h"
#include "tests/support/scm_model.h"
#include "tests/support/test_services.h"

namespace {

const wchar_t ServerCommandLine[] = L"\"C:\\Program Files\\MariaDB\\bin\\mysqld.exe\" --defaults-file=my.ini";

} // namespace

// The name is checked before the rights, and the rights before the manager is
// asked anything.
TEST(ServiceCommands, RefuseWithoutNameOrAdminRights)
{
    const struct {
        int (*command)();
        int noName;
        const wchar_t* noNameText;
        int noRights;
        const wchar_t* noRightsText;
    } cases[] = {
        {DeleteCommand, 201, L"Error: Command Delete needs a service name.\n\n", 202,
         L"Error: Deleting a service needs admin rights.\n\n"},
        {StartCommand, 301, L"Error: Command Start needs a service name.\n\n", 302,
         L"Error: Starting a service needs admin rights.\n\n"},
        {StopCommand, 401, L"Error: Command Stop needs a service name.\n\n", 402,
         L"Error: Stopping a service needs admin rights.\n\n"},
    };
    ScmModel scm;
    scm.Add(L"db", ServerCommandLine, SERVICE_RUNNING);
    bool (*const savedCheck)() = CommandAdminCheck;
    CommandAdminCheck = [] { return false; };
    for (const auto& c : cases) {
        ServiceName.clear();
        const CapturedRun noName = Capture(c.command);
        EXPECT_EQ(noName.text, c.noNameText);
        EXPECT_EQ(noName.code, c.noName);
        ServiceName = L"db";
        const CapturedRun rights = Capture(c.command);
        EXPECT_EQ(rights.text, c.noRightsText);
        EXPECT_EQ(rights.code, c.noRights);
    }
    CommandAdminCheck = savedCheck;
    EXPECT_EQ(scm.opens, 0);
}

TEST(DeleteCommand, StopsDependentsSilentlyThenRemovesUnlessTheStopFails)
{
    // The removal opens the service for DELETE alone: it works on a service
    // that grants administrators no more than the commands need.
    const DWORD needed = GENERIC_READ | GENERIC_EXECUTE | DELETE;
    const struct {
        DWORD stopError;
        DWORD adminRights;
        int code;
        std::wstring text;
        std::vector<std::wstring> controls;
    } cases[] = {
        {0, SERVICE_ALL_ACCESS, 0, L"Service 'db' successfully deleted.\n\n", {L"stop web", L"stop db", L"delete db"}},
        {0, needed, 0, L"Service 'db' successfully deleted.\n\n", {L"stop web", L"stop db", L"delete db"}},
        {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SERVICE_ALL_ACCESS, 205,
         L"Error deleting service 'db'.\n" + ErrorLineText(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), {L"stop web", L"stop db"}},
    };
    for (const auto& c : cases) {
        ScmModel scm;
        ModelService& db = scm.Add(L"db", ServerCommandLine, SERVICE_RUNNING);
        db.stopError = c.stopError;
        db.adminRights = c.adminRights;
        scm.Add(L"web", L"C:\\web.exe", SERVICE_RUNNING, {L"db"}).adminRights = c.adminRights;
        ServiceName = L"db";
        const CapturedRun run = Capture(DeleteCommand);
        EXPECT_EQ(run.text, c.text);
        EXPECT_EQ(run.code, c.code);
        EXPECT_EQ(scm.controls, c.controls);
        EXPECT_EQ(scm.Find(L"db") == nullptr, c.code == 0);
        if (c.code == 0) {
            const std::set<std::wstring> asked(scm.asked.begin(), scm.asked.end());
            EXPECT_EQ(asked, (std::set<std::wstring>{L"manager 80000000", L"db 80000000", L"db 20000000",
                                                     L"web 80000000", L"web 20000000", L"db 10000"}));
        }
        EXPECT_EQ(scm.OpenHandles(), 0);
    }
}

// The manager's list holds every dependent, deepest first: they are stopped in
// that order, none is asked for its own dependents, and the file of an earlier
// stop stays as it was.
TEST(DeleteCommand, StopsChainsDeepestFirstAndKeepsTheDependentsFile)
{
    const std::wstring db = L"DeleteModelChain";
    const std::wstring file = GetDependentsFilePath(db);
    const std::string recorded = Utf16Bytes(L"B\nA\n");
    const struct {
        const char* title;
        std::vector<std::wstring> dependsOnOfB;
        DWORD dependentsErrorOfA;
    } cases[] = {
        {"chain", {L"A"}, 0},
        {"diamond", {L"A", db}, 0},
        {"middle one's dependents unreadable", {L"A"}, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteFileBytes(file, recorded));
        ScmModel scm;
        scm.Add(db, ServerCommandLine, SERVICE_RUNNING);
        scm.Add(L"A", L"C:\\a.exe", SERVICE_RUNNING, {db}).dependentsError = c.dependentsErrorOfA;
        scm.Add(L"B", L"C:\\b.exe", SERVICE_RUNNING, c.dependsOnOfB);
        ServiceName = db;
        const CapturedRun run = Capture(DeleteCommand);
        EXPECT_EQ(run.text, L"Service '" + db + L"' successfully deleted.\n\n") << c.title;
        EXPECT_EQ(run.code, 0) << c.title;
        EXPECT_EQ(scm.controls, (std::vector<std::wstring>{L"stop B", L"stop A", L"stop " + db, L"delete " + db}))
            << c.title;
        std::string bytes;
        EXPECT_TRUE(ReadFileBytes(file, bytes) && bytes == recorded) << c.title;
        EXPECT_EQ(scm.OpenHandles(), 0) << c.title;
    }
    DeleteFileW(file.c_str());
}

// Against Wine's own manager, with the stand-in server registered as services.
TEST(DeleteCommand, RealServices)
{
    TempDir dir;
    ASSERT_TRUE(CopyQuillonAndServers(dir, {L"mysqld.exe", L"other.exe"}));
    TestService stopped(L"qt_delete_stopped", Quoted(dir.File(L"mysqld.exe")));
    TestService running(L"qt_delete_running", Quoted(dir.File(L"mysqld.exe")));
    TestService other(L"qt_delete_other", Quoted(dir.File(L"other.exe")));
    ASSERT_TRUE(stopped.Registered() && running.Registered() && other.Registered());
    ASSERT_TRUE(running.Start());
    const std::wstring missing = L"qt_delete_missing";

    const struct {
        TestService* service; // null: the missing one
        DWORD exitCode;
        std::wstring output;
    } cases[] = {
        {&stopped, 0, L"Service '" + stopped.Name() + L"' successfully deleted.\n\n"},
        {&running, 0, L"Service '" + running.Name() + L"' successfully deleted.\n\n"},
        {&other, 204, L"Error: service '" + other.Name() + L"' is not a supported mysql or mariadb service.\n\n"},
        {nullptr, 203, L"Error deleting service '" + missing + L"'.\n" + ErrorLineText(ERROR_SERVICE_DOES_NOT_EXIST)},
    };
    for (const auto& c : cases) {
        const std::wstring name = c.service ? c.service->Name() : missing;
        const ProcessResult result = RunProcess(Quoted(dir.File(L"Quillon.exe")) + L" delete " + name);
        EXPECT_EQ(ConsoleText(result.out), c.output) << Narrow(name);
        EXPECT_EQ(result.exitCode, c.exitCode) << Narrow(name);
        if (c.service && c.exitCode == 0) {
            // The entry goes once the last handle is closed and the process has ended.
            for (int polls = 0; c.service->State() != 0 && polls < 50; ++polls) {
                Sleep(100);
            }
            EXPECT_EQ(c.service->State(), 0u) << Narrow(name) << " is still registered";
        } else if (c.service) {
            EXPECT_EQ(c.service->State(), static_cast<DWORD>(SERVICE_STOPPED)) << Narrow(name);
        }
    }
}
