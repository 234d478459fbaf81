#include "service_tool/service/query_command.h"

#include <gtest/gtest.h>

#include "service_tool/front/command_line.h"
#include "service_tool/front/console.h"
#include "service_tool/service/commands.h"
#include "tests/support/output_capture.h"
#include "tests/support/run_process.h"
#include "tests/support/scm_model.h"

namespace {

std::wstring SystemText(DWORD code)
{
    return TrimWhiteSpace(GetSystemErrorText(code));
}

struct QueryRun {
    int result;
    std::wstring output;
};

// Runs the query as main would, for the name (empty: every service).
QueryRun RunQuery(const std::wstring& name, bool verbose)
{
    ServiceName = name;
    VerboseOutput = verbose;
    OutputCapture capture;
    const int result = QueryCommand();
    const std::string bytes = capture.Finish();
    ServiceName.clear();
    VerboseOutput = false;
    return {result, ConsoleText(bytes)};
}

// A path the probe cannot start, and one with a version resource: neither
// starts a process.
const std::wstring MissingServer = L"C:\\missing\\bin\\mysqld.exe";

} // namespace

TEST(QueryCommand, ListsDependentsIndentedInTheManagersOrder)
{
    const std::wstring versioned = BinPath(L"standin_server_versioned.exe");
    ScmModel scm;
    scm.Add(L"db", L"\"" + MissingServer + L"\" --defaults-file=my.ini", SERVICE_RUNNING);
    scm.Add(L"web", Quoted(versioned) + L" -x", SERVICE_PAUSED, {L"db"});
    scm.Add(L"other", L"C:\\other.exe", SERVICE_RUNNING);
    scm.Add(L"app", Quoted(versioned), SERVICE_STOPPED, {L"db", L"other"});

    const QueryRun plain = RunQuery(L"db", false);
    EXPECT_EQ(plain.result, 0);
    EXPECT_EQ(plain.output, L"State of service 'db': running\n"
                            L"List of Dependent Services:\n"
                            L"    State of service 'web': pause\n"
                            L"    State of service 'app': stopped\n"
                            L"\n");

    const QueryRun verbose = RunQuery(L"db", true);
    EXPECT_EQ(verbose.result, 0);
    EXPECT_EQ(verbose.output,
              L"State of service 'db': running\n"
              L"Binary of service 'db': " + MissingServer + L" (unknown file version)\n"
              L"List of Dependent Services:\n"
              L"    State of service 'web': pause\n"
              L"    Binary of service 'web': " + versioned + L" (10.5.8.0)\n"
              L"    State of service 'app': stopped\n"
              L"    Binary of service 'app': " + versioned + L" (10.5.8.0)\n"
              L"\n");

    const QueryRun withoutDependents = RunQuery(L"web", false);
    EXPECT_EQ(withoutDependents.output, L"State of service 'web': pause\n\n");
    EXPECT_EQ(scm.OpenHandles(), 0);
    EXPECT_TRUE(scm.controls.empty());
}

TEST(QueryCommand, DependentWithUnreadableStateIsReportedIndentedAndTheListGoesOn)
{
    ScmModel scm;
    scm.Add(L"db", MissingServer, SERVICE_RUNNING);
    scm.Add(L"first", L"C:\\a.exe", SERVICE_RUNNING, {L"db"}).statusError = ERROR_ACCESS_DENIED;
    scm.Add(L"second", L"C:\\b.exe", SERVICE_STOPPED, {L"db"});
    scm.Add(L"last", L"C:\\c.exe", SERVICE_RUNNING, {L"db"}).statusError = ERROR_ACCESS_DENIED;

    const QueryRun run = RunQuery(L"db", false);
    const std::wstring report = L"    OS Error Message: '" + SystemText(ERROR_ACCESS_DENIED) + L"'.\n\n";
    EXPECT_EQ(run.output, L"State of service 'db': running\n"
                          L"List of Dependent Services:\n"
                          L"    Failed to get state of service 'first'.\n" + report +
                          L"    State of service 'second': stopped\n"
                          L"    Failed to get state of service 'last'.\n" + report +
                          L"\n");
    EXPECT_EQ(run.result, 101);
}

TEST(QueryCommand, FailuresOfOneServiceGiveTheirReportAndCode)
{
    ScmModel scm;
    scm.Add(L"db", MissingServer, SERVICE_RUNNING);
    scm.Add(L"noconfig", MissingServer, SERVICE_RUNNING).configError = ERROR_ACCESS_DENIED;
    scm.Add(L"web", L"C:\\web.exe", SERVICE_RUNNING, {L"noconfig"});
    const std::wstring denied = L"OS Error Message: '" + SystemText(ERROR_ACCESS_DENIED) + L"'.\n\n";
    const struct {
        std::wstring name;
        bool verbose;
        int result;
        std::wstring output;
    } cases[] = {
        {L"Nope", false, 101,
         L"Failed to get state of service 'Nope'.\n"
         L"OS Error Message: '" + SystemText(ERROR_SERVICE_DOES_NOT_EXIST) + L"'.\n\n\n"},
        // The dependents are not listed after the failure.
        {L"noconfig", true, 102,
         L"State of service 'noconfig': running\n"
         L"Error getting binary of service 'noconfig'.\n" + denied + L"\n"},
    };
    for (const auto& row : cases) {
        const QueryRun run = RunQuery(row.name, row.verbose);
        EXPECT_EQ(run.result, row.result) << Narrow(row.name);
        EXPECT_EQ(run.output, row.output) << Narrow(row.name);
    }
}

TEST(QueryCommand, DependentsThatCannotBeListed)
{
    ScmModel scm;
    scm.Add(L"db", MissingServer, SERVICE_STOPPED);
    ScmApi failing = Scm();
    failing.EnumDependentServicesW = [](SC_HANDLE, DWORD, LPENUM_SERVICE_STATUSW, DWORD, LPDWORD,
                                        LPDWORD) -> BOOL {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    };
    SetScmApi(&failing);
    const QueryRun run = RunQuery(L"db", false);
    SetScmApi(nullptr);
    EXPECT_EQ(run.result, 103);
    EXPECT_EQ(run.output, L"State of service 'db': stopped\n"
                          L"Failed to get dependent services of service 'db'.\n"
                          L"OS Error Message: '" + SystemText(ERROR_ACCESS_DENIED) + L"'.\n\n\n");
}

TEST(QueryCommand, AllServicesReportsTheSupportedOnesAndTheLastCode)
{
    ScmModel scm;
    scm.entriesPerPass = 2;
    scm.Add(L"a_fails", L"C:\\s\\bin\\mysqld.exe", SERVICE_RUNNING).statusError = ERROR_ACCESS_DENIED;
    scm.Add(L"plain", L"C:\\windows\\app.exe", SERVICE_RUNNING);
    scm.Add(L"backup", L"C:\\mysqld-data\\backup.exe", SERVICE_RUNNING);
    scm.Add(L"b_maria", L"\"C:\\Program Files\\MariaDB\\bin\\MARIADBD.EXE\" --x", SERVICE_STOPPED);

    QueryRun run = RunQuery(L"", false);
    EXPECT_EQ(run.output, L"Failed to get state of service 'a_fails'.\n"
                          L"OS Error Message: '" + SystemText(ERROR_ACCESS_DENIED) + L"'.\n\n\n"
                          L"State of service 'b_maria': stopped\n\n");
    EXPECT_EQ(run.result, 0);

    scm.Add(L"c_fails", L"C:\\x\\mysqld-nt.exe", SERVICE_RUNNING).statusError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(RunQuery(L"", false).result, 101);
    EXPECT_EQ(scm.OpenHandles(), 0);
}

TEST(QueryCommand, ListThatCannotBeLoaded)
{
    ScmModel scm;
    scm.Add(L"db", MissingServer, SERVICE_RUNNING);
    const struct {
        DWORD managerOpenError;
        DWORD enumError;
    } cases[] = {{ERROR_ACCESS_DENIED, 0}, {0, ERROR_INVALID_HANDLE}};
    for (const auto& row : cases) {
        scm.managerOpenError = row.managerOpenError;
        scm.enumError = row.enumError;
        const QueryRun run = RunQuery(L"", true);
        EXPECT_EQ(run.result, 104);
        EXPECT_EQ(run.output, L"Error: Failed to load list of all Services.\n"
                              L"OS Error Message: '" +
                                  SystemText(row.managerOpenError + row.enumError) + L"'.\n");
    }
}

TEST(QueryCommand, NoSupportedServicePrintsNothing)
{
    ScmModel scm;
    scm.Add(L"bare", L"mysqld.exe", SERVICE_RUNNING);
    const QueryRun run = RunQuery(L"", true);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, L"");
}
