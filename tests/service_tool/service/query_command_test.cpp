#include "service_tool/service/query_command.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "service_tool/front/command_line.h"
#include "service_tool/front/console.h"
#include "service_tool/service/commands.h"
#include "service_tool/service/service_list.h"
#include "tests/support/output_capture.h"
#include "tests/support/run_process.h"
#include "tests/support/scm_model.h"
#include "tests/support/test_services.h"

namespace {

// "OS Error Message: '<system text>'.\n\n"
std::wstring ErrorLine(DWORD code)
{
    return L"OS Error Message: '" + TrimWhiteSpace(GetSystemErrorText(code)) + L"'.\n\n";
}

struct QueryRun {
    int result;
    std::wstring output;
};

// Runs the query in-process as main would, for the name (empty: every service).
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

// A server path the probe cannot start: no process is started for it.
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

    EXPECT_EQ(RunQuery(L"db", false).output, L"State of service 'db': running\n"
                                             L"List of Dependent Services:\n"
                                             L"    State of service 'web': pause\n"
                                             L"    State of service 'app': stopped\n\n");
    const QueryRun verbose = RunQuery(L"db", true);
    EXPECT_EQ(verbose.result, 0);
    EXPECT_EQ(verbose.output,
              L"State of service 'db': running\n"
              L"Binary of service 'db': " + MissingServer + L" (unknown file version)\n"
              L"List of Dependent Services:\n"
              L"    State of service 'web': pause\n"
              L"    Binary of service 'web': " + versioned + L" (10.5.8.0)\n"
              L"    State of service 'app': stopped\n"
              L"    Binary of service 'app': " + versioned + L" (10.5.8.0)\n\n");
    EXPECT_EQ(RunQuery(L"web", false).output, L"State of service 'web': pause\n\n");
    EXPECT_EQ(scm.OpenHandles(), 0);
    EXPECT_TRUE(scm.controls.empty());
}

TEST(QueryCommand, FailuresGiveTheirReportAndCode)
{
    ScmModel scm;
    scm.Add(L"db", MissingServer, SERVICE_RUNNING);
    scm.Add(L"first", L"C:\\a.exe", SERVICE_RUNNING, {L"db"}).statusError = ERROR_ACCESS_DENIED;
    scm.Add(L"second", L"C:\\b.exe", SERVICE_STOPPED, {L"db"});
    scm.Add(L"last", L"C:\\c.exe", SERVICE_RUNNING, {L"db"}).statusError = ERROR_ACCESS_DENIED;
    scm.Add(L"noconfig", MissingServer, SERVICE_RUNNING).configError = ERROR_ACCESS_DENIED;
    scm.Add(L"web", L"C:\\web.exe", SERVICE_RUNNING, {L"noconfig"});
    const std::wstring denied = ErrorLine(ERROR_ACCESS_DENIED);
    const struct {
        std::wstring name;
        bool verbose;
        int result;
        std::wstring output;
    } cases[] = {
        {L"Nope", false, 101,
         L"Failed to get state of service 'Nope'.\n" + ErrorLine(ERROR_SERVICE_DOES_NOT_EXIST) + L"\n"},
        // The listing goes on after a dependent's report; the last one decides.
        {L"db", false, 101,
         L"State of service 'db': running\n"
         L"List of Dependent Services:\n"
         L"    Failed to get state of service 'first'.\n    " + denied +
         L"    State of service 'second': stopped\n"
         L"    Failed to get state of service 'last'.\n    " + denied + L"\n"},
        // No dependents are listed after the failure.
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
                          L"Failed to get dependent services of service 'db'.\n" +
                              ErrorLine(ERROR_ACCESS_DENIED) + L"\n");
}

TEST(QueryCommand, AllServicesReportsTheSupportedOnesAndTheLastCode)
{
    ScmModel scm;
    scm.entriesPerPass = 2;
    scm.Add(L"a_fails", L"C:\\s\\bin\\mysqld.exe", SERVICE_RUNNING).statusError = ERROR_ACCESS_DENIED;
    scm.Add(L"plain", L"C:\\windows\\app.exe", SERVICE_RUNNING);
    scm.Add(L"backup", L"C:\\mysqld-data\\backup.exe", SERVICE_RUNNING);
    scm.Add(L"b_maria", L"\"C:\\Program Files\\MariaDB\\bin\\MARIADBD.EXE\" --x", SERVICE_STOPPED);

    const QueryRun run = RunQuery(L"", false);
    EXPECT_EQ(run.output, L"Failed to get state of service 'a_fails'.\n" + ErrorLine(ERROR_ACCESS_DENIED) +
                              L"\nState of service 'b_maria': stopped\n\n");
    EXPECT_EQ(run.result, 0);

    scm.Add(L"c_fails", L"C:\\x\\mysqld-nt.exe", SERVICE_RUNNING).statusError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(RunQuery(L"", false).result, 101);

    // The load failure's report has a single line end.
    scm.managerOpenError = ERROR_ACCESS_DENIED;
    const QueryRun failed = RunQuery(L"", true);
    const std::wstring denied = ErrorLine(ERROR_ACCESS_DENIED);
    EXPECT_EQ(failed.result, 104);
    EXPECT_EQ(failed.output,
              L"Error: Failed to load list of all Services.\n" + denied.substr(0, denied.size() - 1));
    EXPECT_EQ(scm.OpenHandles(), 0);
}

// End to end: Quillon.exe against the prefix's real service manager and
// copies of the stand-in server.
namespace {

struct QuillonRun {
    DWORD exitCode;
    std::wstring output;
    ULONGLONG milliseconds;
};

QuillonRun RunQuillon(const std::wstring& arguments)
{
    const ULONGLONG begin = GetTickCount64();
    const ProcessResult result = RunProcess(Quoted(BinPath(L"Quillon.exe")) + L" " + arguments);
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.err, "");
    return {result.exitCode, ConsoleText(result.out), GetTickCount64() - begin};
}

// A stand-in copy at dir\relative (directories made as needed), answering
// --version as the answer file says ("": its default answer).
std::wstring PlaceStandin(const TempDir& dir, const std::wstring& relative, bool versioned,
                          const std::string& answer = "")
{
    for (size_t slash = relative.find(L'\\'); slash != std::wstring::npos;
         slash = relative.find(L'\\', slash + 1)) {
        CreateDirectoryW(dir.File(relative.substr(0, slash)).c_str(), nullptr);
    }
    CopyFileTo(BinPath(versioned ? L"standin_server_versioned.exe" : L"standin_server.exe"),
               dir.File(relative));
    if (!answer.empty()) {
        WriteFileBytes(dir.File(relative + L".answer"), answer);
    }
    return dir.File(relative);
}

// Starts a service that reports paused (TestService::Start waits for running).
bool StartPaused(TestService& service)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
    SC_HANDLE handle = OpenServiceW(manager, service.Name().c_str(), SERVICE_START);
    const bool started = StartServiceW(handle, 0, nullptr);
    CloseServiceHandle(handle);
    CloseServiceHandle(manager);
    return started && service.WaitForState(SERVICE_PAUSED, 10000);
}

} // namespace

TEST(QueryCommandEndToEnd, NamedServices)
{
    TempDir dir;
    const std::wstring app = PlaceStandin(dir, L"app\\app.exe", false, "text:App 2.0");
    TestService other(L"qt_other_program", Quoted(app));
    ASSERT_TRUE(other.Registered()) << other.error;
    const struct {
        std::wstring arguments;
        DWORD exitCode;
        std::wstring output;
    } cases[] = {
        {L"query qt_no_such_service", 101,
         L"Failed to get state of service 'qt_no_such_service'.\n" +
             ErrorLine(ERROR_SERVICE_DOES_NOT_EXIST) + L"\n"},
        {L"Query QT_Other_Program", 0, L"State of service 'QT_Other_Program': stopped\n\n"},
        {L"query qt_other_program -v", 0,
         L"State of service 'qt_other_program': stopped\n"
         L"Binary of service 'qt_other_program': " + app + L" (App 2.0)\n\n"},
    };
    for (const auto& row : cases) {
        const QuillonRun run = RunQuillon(row.arguments);
        EXPECT_EQ(run.exitCode, row.exitCode) << Narrow(row.arguments);
        EXPECT_EQ(run.output, row.output) << Narrow(row.arguments);
    }
}

TEST(QueryCommandEndToEnd, AllSupportedServicesWithTheirVersions)
{
    const QuillonRun none = RunQuillon(L"query");
    EXPECT_EQ(none.output, L"") << "a supported service is left in the prefix";
    EXPECT_EQ(none.exitCode, 0u);

    TempDir dir;
    const std::wstring resource = PlaceStandin(dir, L"res\\bin\\mysqld.exe", true);
    const std::wstring answering =
        PlaceStandin(dir, L"Maria DB\\bin\\mariadbd.exe", false, "text:Ver 11.4 for Win64 (AMD64)");
    const std::wstring hanging = PlaceStandin(dir, L"hang\\mysqld.exe", false, "hang");
    const std::wstring silent = PlaceStandin(dir, L"silent\\mysqld-nt.exe", false, "silent");
    const std::wstring missing = dir.File(L"missing\\bin\\mysqld.exe");
    const std::wstring candidate = PlaceStandin(dir, L"mysqld-data\\backup.exe", false);
    TestService resourceService(L"qt_resource", Quoted(resource));
    TestService answeringService(L"qt_answering", Quoted(answering) + L" --paused");
    TestService hangingService(L"qt_hanging", Quoted(hanging));
    TestService silentService(L"qt_silent", Quoted(silent));
    TestService missingService(L"qt_missing", Quoted(missing));
    TestService candidateService(L"qt_candidate", Quoted(candidate));
    ASSERT_TRUE(candidateService.Registered() && missingService.Registered());
    ASSERT_TRUE(StartPaused(answeringService));
    ASSERT_TRUE(silentService.Start()) << silentService.error;

    const std::map<std::wstring, std::pair<std::wstring, std::wstring>> expected = {
        // name: state, binary line's path and version
        {L"qt_resource", {L"stopped", resource + L" (10.5.8.0)"}},
        {L"qt_answering", {L"pause", answering + L" (Ver 11.4 for Win64 (AMD64))"}},
        {L"qt_hanging", {L"stopped", hanging + L" (unknown file version)"}},
        {L"qt_silent", {L"running", silent + L" ()"}},
        {L"qt_missing", {L"stopped", missing + L" (unknown file version)"}},
    };
    ServiceList enumerationOrder;
    ASSERT_TRUE(enumerationOrder.Load());
    std::wstring plainOutput;
    std::wstring verboseOutput;
    size_t listed = 0;
    for (const std::wstring& name : enumerationOrder.names) {
        const auto found = expected.find(name);
        if (found != expected.end()) {
            ++listed;
            const std::wstring state = L"State of service '" + name + L"': " + found->second.first + L"\n";
            plainOutput += state + L"\n";
            verboseOutput += state + L"Binary of service '" + name + L"': " + found->second.second + L"\n\n";
        }
    }
    ASSERT_EQ(listed, expected.size());
    EXPECT_EQ(RunQuillon(L"query").output, plainOutput);

    // The probes' temporary files go to a private directory, to be counted.
    TempDir temp;
    SetEnvironmentVariableW(L"TMP", temp.Path().c_str());
    const QuillonRun verbose = RunQuillon(L"QUERY /V");
    SetEnvironmentVariableW(L"TMP", nullptr);
    EXPECT_EQ(verbose.exitCode, 0u);
    EXPECT_EQ(verbose.output, verboseOutput);
    EXPECT_GE(verbose.milliseconds, 1900u); // the hanging server is given its 2 s
    EXPECT_LT(verbose.milliseconds, 15000u);
    WIN32_FIND_DATAW found;
    EXPECT_EQ(FindFirstFileW(temp.File(L"*.tmp").c_str(), &found), INVALID_HANDLE_VALUE) << Narrow(found.cFileName);

    // Its version resource answers for a server: it is not started.
    EXPECT_FALSE(FileExists(resource + L".probed"));
    EXPECT_TRUE(FileExists(answering + L".probed"));
    EXPECT_FALSE(FileExists(candidate + L".probed"));
    // The query changes no service.
    EXPECT_EQ(resourceService.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(answeringService.State(), static_cast<DWORD>(SERVICE_PAUSED));
}
