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

// End to end: Quillon.exe against the prefix's real service manager and the
// stand-in server.
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

// A copy of the stand-in (with or without version resource) at dir\relative,
// answering --version as the answer file says ("": its default answer).
std::wstring PlaceStandin(const TempDir& dir, const std::wstring& relative, bool versioned,
                          const std::string& answer = "")
{
    const std::wstring path = dir.File(relative);
    for (size_t slash = relative.find(L'\\'); slash != std::wstring::npos;
         slash = relative.find(L'\\', slash + 1)) {
        CreateDirectoryW(dir.File(relative.substr(0, slash)).c_str(), nullptr);
    }
    CopyFileTo(BinPath(versioned ? L"standin_server_versioned.exe" : L"standin_server.exe"), path);
    if (!answer.empty()) {
        WriteFileBytes(path + L".answer", answer);
    }
    return path;
}

// Starts a service that reports paused instead of running.
bool StartPaused(TestService& service)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
    SC_HANDLE handle = manager ? OpenServiceW(manager, service.Name().c_str(), SERVICE_START) : nullptr;
    const bool started = handle && StartServiceW(handle, 0, nullptr);
    if (handle) {
        CloseServiceHandle(handle);
    }
    if (manager) {
        CloseServiceHandle(manager);
    }
    return started && service.WaitForState(SERVICE_PAUSED, 10000);
}

// Files directly in the directory.
std::vector<std::wstring> FilesIn(const std::wstring& directory)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            names.push_back(found.cFileName);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

} // namespace

TEST(QueryCommandEndToEnd, NamedServicesAndErrors)
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
         L"Failed to get state of service 'qt_no_such_service'.\n"
         L"OS Error Message: '" + SystemText(ERROR_SERVICE_DOES_NOT_EXIST) + L"'.\n\n\n"},
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
    EXPECT_EQ(other.State(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST(QueryCommandEndToEnd, AllSupportedServicesWithTheirVersions)
{
    EXPECT_EQ(RunQuillon(L"query").output, L"") << "a supported service is left in the prefix";

    TempDir dir;
    const std::wstring resource = PlaceStandin(dir, L"res\\bin\\mysqld.exe", true);
    const std::wstring answering =
        PlaceStandin(dir, L"Maria DB\\bin\\mariadbd.exe", false, "text:Ver 11.4 for Win64 (AMD64)");
    const std::wstring hanging = PlaceStandin(dir, L"hang\\mysqld.exe", false, "hang");
    const std::wstring silent = PlaceStandin(dir, L"silent\\mysqld-nt.exe", false, "silent");
    const std::wstring missing = dir.File(L"missing\\bin\\mysqld.exe");
    const std::wstring candidate = PlaceStandin(dir, L"mysqld-data\\backup.exe", false);

    TestService resourceService(L"qt_resource", Quoted(resource) + L" --stop-delay=0");
    TestService answeringService(L"qt_answering", Quoted(answering) + L" --paused");
    TestService hangingService(L"qt_hanging", Quoted(hanging));
    TestService silentService(L"qt_silent", Quoted(silent));
    TestService missingService(L"qt_missing", Quoted(missing));
    TestService candidateService(L"qt_candidate", Quoted(candidate));
    for (const TestService* service : {&resourceService, &answeringService, &hangingService,
                                       &silentService, &missingService, &candidateService}) {
        ASSERT_TRUE(service->Registered()) << Narrow(service->Name());
    }
    ASSERT_TRUE(StartPaused(answeringService));
    ASSERT_TRUE(silentService.Start()) << silentService.error;

    const std::map<std::wstring, std::pair<std::wstring, std::wstring>> expected = {
        // name: state line, binary line
        {L"qt_resource", {L"stopped", resource + L" (10.5.8.0)"}},
        {L"qt_answering", {L"pause", answering + L" (Ver 11.4 for Win64 (AMD64))"}},
        {L"qt_hanging", {L"stopped", hanging + L" (unknown file version)"}},
        {L"qt_silent", {L"running", silent + L" ()"}},
        {L"qt_missing", {L"stopped", missing + L" (unknown file version)"}},
    };
    // Expected blocks in the manager's enumeration order.
    ServiceList list;
    ASSERT_TRUE(list.Load());
    std::wstring plainOutput;
    std::wstring verboseOutput;
    size_t listed = 0;
    for (const std::wstring& name : list.names) {
        const auto found = expected.find(name);
        if (found == expected.end()) {
            continue;
        }
        ++listed;
        const std::wstring stateLine = L"State of service '" + name + L"': " + found->second.first + L"\n";
        plainOutput += stateLine + L"\n";
        verboseOutput += stateLine + L"Binary of service '" + name + L"': " + found->second.second + L"\n\n";
    }
    ASSERT_EQ(listed, expected.size());

    const QuillonRun plain = RunQuillon(L"query");
    EXPECT_EQ(plain.exitCode, 0u);
    EXPECT_EQ(plain.output, plainOutput);

    // The probes' temporary files go to a private directory, to be counted.
    TempDir temp;
    SetEnvironmentVariableW(L"TMP", temp.Path().c_str());
    const QuillonRun verbose = RunQuillon(L"QUERY /V");
    SetEnvironmentVariableW(L"TMP", nullptr);
    EXPECT_EQ(verbose.exitCode, 0u);
    EXPECT_EQ(verbose.output, verboseOutput);
    EXPECT_GE(verbose.milliseconds, 1900u);  // the hanging server is given its 2 s
    EXPECT_LT(verbose.milliseconds, 15000u);
    EXPECT_EQ(FilesIn(temp.Path()), std::vector<std::wstring>());

    // The version resource answers for its server: it is never started.
    EXPECT_FALSE(FileExists(resource + L".probed"));
    EXPECT_TRUE(FileExists(answering + L".probed"));
    EXPECT_FALSE(FileExists(candidate + L".probed"));
    // The query changes no service.
    EXPECT_EQ(resourceService.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(answeringService.State(), static_cast<DWORD>(SERVICE_PAUSED));
    EXPECT_EQ(silentService.State(), static_cast<DWORD>(SERVICE_RUNNING));
}
