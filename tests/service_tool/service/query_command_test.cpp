#include "service_tool/service/query_command.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "service_tool/front/command_line.h"
#include "service_tool/service/commands.h"
#include "tests/support/output_capture.h"
#include "tests/support/scm_model.h"
#include "tests/support/test_services.h"

namespace {

// Runs the query in-process as main would, for the name (empty: every
// service), as an administrator; a standard user, whom the manager lets read
// only, must get the same report and code.
CapturedRun RunQuery(ScmModel& scm, const std::wstring& name, bool verbose)
{
    ServiceName = name;
    VerboseOutput = verbose;
    const CapturedRun run = Capture(QueryCommand);
    scm.standardUser = true;
    const CapturedRun asUser = Capture(QueryCommand);
    scm.standardUser = false;
    ServiceName.clear();
    VerboseOutput = false;
    EXPECT_EQ(asUser.text, run.text) << "as a standard user";
    EXPECT_EQ(asUser.code, run.code) << "as a standard user";
    return run;
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

    const CapturedRun verbose = RunQuery(scm, L"db", true);
    EXPECT_EQ(verbose.code, 0);
    EXPECT_EQ(verbose.text,
              L"State of service 'db': running\n"
              L"Binary of service 'db': " + MissingServer + L" (unknown file version)\n"
              L"List of Dependent Services:\n"
              L"    State of service 'web': pause\n"
              L"    Binary of service 'web': " + versioned + L" (10.5.8.0)\n"
              L"    State of service 'app': stopped\n"
              L"    Binary of service 'app': " + versioned + L" (10.5.8.0)\n\n");
    EXPECT_EQ(scm.OpenHandles(), 0);
    EXPECT_TRUE(scm.controls.empty());
}

// The block lists indirect dependents too, each once, deepest first, in every
// state.
TEST(QueryCommand, ListsIndirectDependentsOnceDeepestFirst)
{
    ScmModel scm;
    scm.Add(L"db", MissingServer, SERVICE_RUNNING);
    scm.Add(L"A", L"C:\\a.exe", SERVICE_STOPPED, {L"db"});
    scm.Add(L"B", L"C:\\b.exe", SERVICE_RUNNING, {L"A", L"db"});
    scm.Add(L"C", L"C:\\c.exe", SERVICE_PAUSED, {L"B"});
    scm.Add(L"D", L"C:\\d.exe", SERVICE_RUNNING, {L"db"});
    const CapturedRun run = RunQuery(scm, L"db", false);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.text,
              L"State of service 'db': running\n"
              L"List of Dependent Services:\n"
              L"    State of service 'C': pause\n"
              L"    State of service 'B': running\n"
              L"    State of service 'A': stopped\n"
              L"    State of service 'D': running\n\n");
    EXPECT_EQ(scm.OpenHandles(), 0);
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
    scm.Add(L"unlisted", MissingServer, SERVICE_STOPPED).dependentsError = ERROR_ACCESS_DENIED;
    // Dependents of db2: a failure first, a success last.
    scm.Add(L"db2", MissingServer, SERVICE_RUNNING);
    scm.Add(L"early", L"C:\\e.exe", SERVICE_RUNNING, {L"db2"}).statusError = ERROR_ACCESS_DENIED;
    scm.Add(L"blind", L"C:\\f.exe", SERVICE_RUNNING, {L"db2"}).configError = ERROR_ACCESS_DENIED;
    scm.Add(L"late", MissingServer, SERVICE_STOPPED, {L"db2"});
    const std::wstring denied = ErrorLineText(ERROR_ACCESS_DENIED);
    const struct {
        std::wstring name;
        bool verbose;
        int code;
        std::wstring text;
    } cases[] = {
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
        // U+FFFF in the name: the rest of the report is still written.
        {L"no\xFFFFsuch", false, 101,
         L"Failed to get state of service 'no\xFFFFsuch'.\n" + ErrorLineText(ERROR_SERVICE_DOES_NOT_EXIST) + L"\n"},
        // Like the query over all, the code is the last dependent's: an earlier
        // failure shows in the output only.
        {L"db2", false, 0,
         L"State of service 'db2': running\n"
         L"List of Dependent Services:\n"
         L"    Failed to get state of service 'early'.\n    " + denied +
         L"    State of service 'blind': running\n"
         L"    State of service 'late': stopped\n\n"},
        {L"db2", true, 0,
         L"State of service 'db2': running\n"
         L"Binary of service 'db2': " + MissingServer + L" (unknown file version)\n"
         L"List of Dependent Services:\n"
         L"    Failed to get state of service 'early'.\n    " + denied +
         L"    State of service 'blind': running\n"
         L"    Error getting binary of service 'blind'.\n    " + denied +
         L"    State of service 'late': stopped\n"
         L"    Binary of service 'late': " + MissingServer + L" (unknown file version)\n\n"},
        {L"unlisted", false, 103,
         L"State of service 'unlisted': stopped\nFailed to get dependent services of service 'unlisted'.\n" + denied +
             L"\n"},
    };
    for (const auto& row : cases) {
        const CapturedRun run = RunQuery(scm, row.name, row.verbose);
        EXPECT_EQ(run.code, row.code) << Narrow(row.name);
        EXPECT_EQ(run.text, row.text) << Narrow(row.name);
    }
}

TEST(QueryCommand, AllServicesReportsTheSupportedOnesAndTheLastCode)
{
    ScmModel scm;
    scm.entriesPerPass = 2;
    scm.Add(L"a_fails", L"C:\\s\\bin\\mysqld.exe", SERVICE_RUNNING).statusError = ERROR_ACCESS_DENIED;
    scm.Add(L"plain", L"C:\\windows\\app.exe", SERVICE_RUNNING);
    scm.Add(L"backup", L"C:\\mysqld-data\\backup.exe", SERVICE_RUNNING);
    scm.Add(L"b_maria", L"\"C:\\Program Files\\MariaDB\\bin\\MARIADBD.EXE\" --x", SERVICE_STOPPED);

    const CapturedRun run = RunQuery(scm, L"", false);
    EXPECT_EQ(run.text, L"Failed to get state of service 'a_fails'.\n" + ErrorLineText(ERROR_ACCESS_DENIED) +
                              L"\nState of service 'b_maria': stopped\n\n");
    EXPECT_EQ(run.code, 0);

    scm.Add(L"c_fails", L"C:\\x\\mysqld-nt.exe", SERVICE_RUNNING).statusError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(RunQuery(scm, L"", false).code, 101);

    // The load failure's report has a single line end.
    scm.managerOpenError = ERROR_ACCESS_DENIED;
    const CapturedRun failed = RunQuery(scm, L"", true);
    const std::wstring denied = ErrorLineText(ERROR_ACCESS_DENIED);
    EXPECT_EQ(failed.code, 104);
    EXPECT_EQ(failed.text,
              L"Error: Failed to load list of all Services.\n" + denied.substr(0, denied.size() - 1));
    EXPECT_EQ(scm.OpenHandles(), 0);
}

// End to end: Quillon.exe against the prefix's real service manager and
// copies of the stand-in server.
namespace {

struct QuillonRun {
    DWORD exitCode;
    std::wstring text;
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

// A stand-in copy at dir\folder\file, answering --version as the answer
// file says ("": its default answer).
std::wstring PlaceStandin(const TempDir& dir, const std::wstring& folder, const std::wstring& file,
                          bool versioned, const std::string& answer = "")
{
    CreateDirectoryW(dir.File(folder).c_str(), nullptr);
    const std::wstring path = dir.File(folder + L"\\" + file);
    CopyFileTo(BinPath(versioned ? L"standin_server_versioned.exe" : L"standin_server.exe"), path);
    if (!answer.empty()) {
        WriteFileBytes(path + L".answer", answer);
    }
    return path;
}

} // namespace

TEST(QueryCommandEndToEnd, SupportedServicesWithTheirVersionsAndNamedOnes)
{
    const QuillonRun none = RunQuillon(L"query");
    EXPECT_EQ(none.text, L"") << "a supported service is left in the prefix";
    EXPECT_EQ(none.exitCode, 0u);

    TempDir dir;
    const std::wstring resource = PlaceStandin(dir, L"res", L"mysqld.exe", true);
    const std::wstring answering =
        PlaceStandin(dir, L"Maria DB", L"mariadbd.exe", false, "text:Ver 11.4 for Win64 (AMD64)");
    const std::wstring hanging = PlaceStandin(dir, L"hang", L"mysqld.exe", false, "hang");
    const std::wstring silent = PlaceStandin(dir, L"silent", L"mysqld-nt.exe", false, "silent");
    const std::wstring missing = dir.File(L"missing\\mysqld.exe");
    const std::wstring candidate = PlaceStandin(dir, L"mysqld-data", L"backup.exe", false);
    const std::wstring app = PlaceStandin(dir, L"app", L"app.exe", false, "text:App 2.0");
    TestService resourceService(L"qt_resource", Quoted(resource));
    TestService answeringService(L"qt_answering", Quoted(answering) + L" --paused");
    TestService hangingService(L"qt_hanging", Quoted(hanging));
    TestService silentService(L"qt_silent", Quoted(silent));
    TestService missingService(L"qt_missing", Quoted(missing));
    TestService candidateService(L"qt_candidate", Quoted(candidate));
    TestService otherProgram(L"qt_other_program", Quoted(app));
    ASSERT_TRUE(candidateService.Registered() && missingService.Registered() && otherProgram.Registered());
    ASSERT_TRUE(answeringService.Start(SERVICE_PAUSED)) << answeringService.error;
    ASSERT_TRUE(silentService.Start()) << silentService.error;

    const std::map<std::wstring, std::pair<std::wstring, std::wstring>> expected = {
        // name: state, binary line's path and version
        {L"qt_resource", {L"stopped", resource + L" (10.5.8.0)"}},
        {L"qt_answering", {L"pause", answering + L" (Ver 11.4 for Win64 (AMD64))"}},
        {L"qt_hanging", {L"stopped", hanging + L" (unknown file version)"}},
        {L"qt_silent", {L"running", silent + L" ()"}},
        {L"qt_missing", {L"stopped", missing + L" (unknown file version)"}},
    };
    // The manager's own order, asked for without Quillon's code (Wine's
    // manager answers a large enough buffer in one call).
    std::vector<std::wstring> enumerationOrder;
    {
        const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
        std::vector<BYTE> buffer(1 << 20);
        DWORD needed = 0, count = 0, resume = 0;
        ASSERT_TRUE(EnumServicesStatusW(manager, SERVICE_WIN32, SERVICE_STATE_ALL,
                                        reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data()),
                                        static_cast<DWORD>(buffer.size()), &needed, &count, &resume))
            << GetLastError();
        CloseServiceHandle(manager);
        const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            enumerationOrder.push_back(entries[i].lpServiceName);
        }
    }
    std::wstring plainOutput;
    std::wstring verboseOutput;
    size_t listed = 0;
    for (const std::wstring& name : enumerationOrder) {
        const auto found = expected.find(name);
        if (found != expected.end()) {
            ++listed;
            const std::wstring state = L"State of service '" + name + L"': " + found->second.first + L"\n";
            plainOutput += state + L"\n";
            verboseOutput += state + L"Binary of service '" + name + L"': " + found->second.second + L"\n\n";
        }
    }
    ASSERT_EQ(listed, expected.size());
    EXPECT_EQ(RunQuillon(L"query").text, plainOutput);

    // The probes' temporary files go to a private directory, to be counted.
    TempDir temp;
    SetEnvironmentVariableW(L"TMP", temp.Path().c_str());
    const QuillonRun verbose = RunQuillon(L"QUERY /V");
    SetEnvironmentVariableW(L"TMP", nullptr);
    EXPECT_EQ(verbose.exitCode, 0u);
    EXPECT_EQ(verbose.text, verboseOutput);
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

    const struct {
        std::wstring arguments;
        DWORD exitCode;
        std::wstring text;
    } named[] = {
        {L"query qt_no_such_service", 101,
         L"Failed to get state of service 'qt_no_such_service'.\n" + ErrorLineText(ERROR_SERVICE_DOES_NOT_EXIST) + L"\n"},
        {L"Query QT_Other_Program", 0, L"State of service 'QT_Other_Program': stopped\n\n"},
        {L"query qt_other_program -v", 0,
         L"State of service 'qt_other_program': stopped\nBinary of service 'qt_other_program': " + app +
             L" (App 2.0)\n\n"},
    };
    for (const auto& row : named) {
        const QuillonRun run = RunQuillon(row.arguments);
        EXPECT_EQ(run.exitCode, row.exitCode) << Narrow(row.arguments);
        EXPECT_EQ(run.text, row.text) << Narrow(row.arguments);
    }
}
