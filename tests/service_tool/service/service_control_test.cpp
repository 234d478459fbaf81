#include "service_tool/service/service_control.h"

#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "service_tool/service/service_list.h"
#include "tests/support/run_process.h"
#include "tests/support/scm_model.h"
#include "tests/support/test_services.h"

namespace {

using Names = std::vector<std::wstring>;

TEST(ServiceStateName, NamesTheSevenStatesAndNothingElse)
{
    const wchar_t* names[] = {L"unknown",       L"stopped",          L"start pending", L"stop pending", L"running",
                              L"continue pending", L"pause pending", L"pause",         L"unknown"};
    for (DWORD state = 0; state < 9; ++state) {
        EXPECT_STREQ(names[state], ServiceStateName(state)) << state;
    }
    EXPECT_STREQ(L"unknown", ServiceStateName(0xFFFFFFFF));
}

TEST(ServiceControlModel, DependentsComeInTheManagersOrderAndByState)
{
    ScmModel scm;
    scm.Add(L"db", L"C:\\db\\bin\\mysqld.exe", SERVICE_RUNNING);
    scm.Add(L"zeta", L"z.exe", SERVICE_RUNNING, {L"db"});
    scm.Add(L"alpha", L"a.exe", SERVICE_STOPPED, {L"other", L"DB"});
    scm.Add(L"mid", L"m.exe", SERVICE_PAUSED, {L"db"});
    scm.Add(L"lonely", L"l.exe", SERVICE_RUNNING);

    ServiceControl db(L"db");
    const ServiceNameList active = db.GetDependents(SERVICE_ACTIVE);
    EXPECT_TRUE(active.valid);
    EXPECT_EQ((Names{L"zeta", L"mid"}), active.names);
    EXPECT_EQ((Names{L"zeta", L"alpha", L"mid"}), db.GetDependents(SERVICE_STATE_ALL).names);

    ServiceControl lonely(L"lonely");
    const ServiceNameList none = lonely.GetDependents(SERVICE_STATE_ALL);
    EXPECT_TRUE(none.valid && none.names.empty());
    EXPECT_EQ(0, scm.OpenHandles());
    EXPECT_EQ(0, scm.badCloses);
}

// The manager's list already holds the indirect dependents (in an order of
// its own): each is stopped once, alone, in the list's order; none is asked
// for its own.
TEST(ServiceControlModel, StopsIndirectDependentsInTheOrderOfTheOneList)
{
    ScmModel scm;
    scm.Add(L"db", L"C:\\db\\mysqld.exe", SERVICE_RUNNING);
    scm.Add(L"A", L"a.exe", SERVICE_RUNNING, {L"db"}).dependentsError = ERROR_ACCESS_DENIED;
    scm.Add(L"B", L"b.exe", SERVICE_RUNNING, {L"A", L"db"});
    scm.Add(L"C", L"c.exe", SERVICE_STOPPED, {L"B"});

    ServiceControl db(L"db");
    const Names listed = db.GetDependents(SERVICE_ACTIVE).names;
    ASSERT_EQ(2u, listed.size());
    EXPECT_TRUE(db.Stop(true));
    EXPECT_EQ((Names{L"stop " + listed[0], L"stop " + listed[1], L"stop db"}), scm.controls);
    EXPECT_EQ(0u, db.lastError);
    EXPECT_EQ(0, scm.OpenHandles());
}

TEST(ServiceControlModel, StopAndStartLeaveServicesNotInTheirStartStateAlone)
{
    const struct {
        DWORD state;
        bool stop; // else Start
    } cases[] = {
        {SERVICE_START_PENDING, true}, {SERVICE_STOP_PENDING, true}, {SERVICE_PAUSED, true},
        {SERVICE_STOPPED, true},       {SERVICE_STOP_PENDING, false}, {SERVICE_RUNNING, false},
        {SERVICE_PAUSED, false},       {SERVICE_START_PENDING, false},
    };
    for (const auto& c : cases) {
        ScmModel scm;
        scm.Add(L"db", L"C:\\db\\mysqld.exe", c.state);
        scm.Add(L"web", L"web.exe", SERVICE_RUNNING, {L"db"});
        ServiceControl db(L"db");
        EXPECT_TRUE(c.stop ? db.Stop(true) : db.Start()) << c.state << " stop=" << c.stop;
        EXPECT_TRUE(scm.controls.empty()) << c.state << " stop=" << c.stop;
        EXPECT_EQ(0, scm.sleeps);
        EXPECT_EQ(c.state, scm.State(L"db"));
    }
}

TEST(ServiceControlModel, DependentThatCannotStopRestartsTheOthersInReverse)
{
    ScmModel scm;
    scm.Add(L"db", L"C:\\db\\mysqld.exe", SERVICE_RUNNING);
    scm.Add(L"one", L"1.exe", SERVICE_RUNNING, {L"db"}).startDelay = 600;
    scm.Add(L"two", L"2.exe", SERVICE_RUNNING, {L"db"});
    scm.Add(L"stubborn", L"3.exe", SERVICE_RUNNING, {L"db"}).stopError = ERROR_INVALID_SERVICE_CONTROL;
    scm.Add(L"four", L"4.exe", SERVICE_RUNNING, {L"db"});

    ServiceControl db(L"db");
    EXPECT_FALSE(db.Stop(true));
    EXPECT_EQ((Names{L"stop one", L"stop two", L"stop stubborn", L"start two", L"start one"}), scm.controls);
    EXPECT_EQ(DWORD(ERROR_DEPENDENT_SERVICES_RUNNING), db.lastError);
    for (const wchar_t* name : {L"db", L"one", L"two", L"stubborn", L"four"}) {
        EXPECT_EQ(DWORD(SERVICE_RUNNING), scm.State(name)) << Narrow(name);
    }
    EXPECT_EQ(0, scm.OpenHandles());
    EXPECT_EQ(0, scm.badCloses);
}

// The state is polled every 200 ms, 601 times at most.
TEST(ServiceControlModel, WaitCountsTheLastPollAndNoMore)
{
    // A start that ends in stopped has failed at the poll that sees it.
    const struct {
        bool stop;
        DWORD delay;
        int sleeps;
        DWORD lastError;
        bool failsToStart = false;
    } cases[] = {
        {true, 0, 1, 0},
        {true, 1000, 5, 0},
        {true, 120200, 601, 0},
        {true, 120201, 601, ERROR_SERVICE_REQUEST_TIMEOUT},
        {false, 120200, 601, 0},
        {false, INFINITE, 601, ERROR_SERVICE_REQUEST_TIMEOUT},
        {false, 0, 1, ERROR_SERVICE_NOT_ACTIVE, true},
        {false, 1000, 5, ERROR_SERVICE_NOT_ACTIVE, true},
    };
    for (const auto& c : cases) {
        ScmModel scm;
        ModelService& db = scm.Add(L"db", L"C:\\db\\mysqld.exe", c.stop ? SERVICE_RUNNING : SERVICE_STOPPED);
        (c.stop ? db.stopDelay : db.startDelay) = c.delay;
        db.failsToStart = c.failsToStart;
        ServiceControl control(L"db");
        EXPECT_EQ(c.lastError == 0, c.stop ? control.Stop(false) : control.Start()) << c.delay;
        EXPECT_EQ(c.sleeps, scm.sleeps) << c.delay;
        EXPECT_EQ(c.lastError, control.lastError) << c.delay;
        EXPECT_EQ(ULONGLONG(c.sleeps) * StatePollInterval, scm.now) << c.delay;
        EXPECT_EQ(0, scm.OpenHandles());
    }
}

TEST(ServiceControlModel, FailuresRecordTheCodeAndCloseEveryHandle)
{
    using Setup = std::function<void(ScmModel&, ModelService&)>;
    using Operation = std::function<bool(ServiceControl&)>;
    const Operation stop = [](ServiceControl& s) { return s.Stop(true); };
    const Operation start = [](ServiceControl& s) { return s.Start(); };
    const Operation config = [](ServiceControl& s) { return s.QueryConfig(); };
    const Operation status = [](ServiceControl& s) { return s.QueryStatus(); };
    const Operation dependents = [](ServiceControl& s) { return s.GetDependents(SERVICE_ACTIVE).valid; };
    const Operation path = [](ServiceControl& s) { return !s.GetBinaryPath().empty(); };
    // A server that fails while it starts gives its own exit code (Windows
    // gives 1067 for a process that ended without a word), with the
    // service-specific code for 1066, or 1062 when it gave none.
    const Setup failsToStart = [](ScmModel&, ModelService& s) { s.state = SERVICE_STOPPED, s.failsToStart = true; };
    const struct {
        const char* what;
        Setup setup;
        Operation operation;
        DWORD lastError;
        DWORD specificExitCode = 0;
    } cases[] = {
        {"manager denied", [](ScmModel& m, ModelService&) { m.managerOpenError = 5; }, status, 5},
        {"service denied", [](ScmModel&, ModelService& s) { s.openError = 5; }, config, 5},
        {"gone", [](ScmModel&, ModelService& s) { s.name = L"other"; }, dependents, 1060},
        {"config", [](ScmModel&, ModelService& s) { s.configError = 1450; }, path, 1450},
        {"status", [](ScmModel&, ModelService& s) { s.statusError = 1450; }, stop, 1450},
        {"refuses stop", [](ScmModel&, ModelService& s) { s.stopError = 1052; }, stop, 1052},
        {"start fails", [](ScmModel&, ModelService& s) { s.state = 1, s.startError = 1058; }, start, 1058},
        {"process dies while starting",
         [&](ScmModel& m, ModelService& s) { failsToStart(m, s), s.exitCode = ERROR_PROCESS_ABORTED; }, start,
         ERROR_PROCESS_ABORTED},
        {"server's own code",
         [&](ScmModel& m, ModelService& s) { failsToStart(m, s), s.exitCode = 1066, s.specificExitCode = 42; }, start,
         ERROR_SERVICE_SPECIFIC_ERROR, 42},
        {"specific code without 1066",
         [&](ScmModel& m, ModelService& s) { failsToStart(m, s), s.exitCode = 13, s.specificExitCode = 42; }, start,
         13},
        {"stopped without a code", failsToStart, start, ERROR_SERVICE_NOT_ACTIVE},
        {"marked for deletion", [](ScmModel&, ModelService& s) { s.state = 1, s.markedForDelete = s.heldElsewhere = true; }, start,
         ERROR_SERVICE_MARKED_FOR_DELETE},
        {"dependency fails to start",
         [&](ScmModel& m, ModelService& s) {
             failsToStart(m, m.Add(L"base", L"b.exe")), s.state = SERVICE_STOPPED, s.dependsOn = {L"base"};
         },
         start, ERROR_SERVICE_DEPENDENCY_FAIL},
        {"indirect dependent runs",
         [](ScmModel& m, ModelService&) {
             m.Add(L"web", L"w.exe", SERVICE_STOPPED, {L"db"});
             m.Add(L"app", L"a.exe", SERVICE_RUNNING, {L"web"});
         },
         [](ServiceControl& s) { return s.Stop(false); }, ERROR_DEPENDENT_SERVICES_RUNNING},
        {"dependent denied",
         [](ScmModel& m, ModelService&) { m.Add(L"web", L"w.exe", SERVICE_RUNNING, {L"db"}).openError = 5; }, stop,
         ERROR_DEPENDENT_SERVICES_RUNNING},
    };
    for (const auto& c : cases) {
        ScmModel scm;
        c.setup(scm, scm.Add(L"db", L"C:\\db\\mysqld.exe", SERVICE_RUNNING));
        ServiceControl control(L"db");
        EXPECT_FALSE(c.operation(control)) << c.what;
        EXPECT_EQ(c.lastError, control.lastError) << c.what;
        EXPECT_EQ(c.specificExitCode, control.serviceSpecificExitCode) << c.what;
        EXPECT_LE(scm.sleeps, 1) << c.what;
        EXPECT_EQ(0, scm.OpenHandles()) << c.what;
        EXPECT_EQ(0, scm.badCloses) << c.what;
    }
}

// Each open asks for the rights of its operation, no more and no less: reading
// works for a standard user, and a service that grants administrators only
// read, execute and DELETE can still be stopped, started and removed.
TEST(ServiceControlModel, OpensAskForExactlyTheRightsOfTheirOperation)
{
    using Operation = std::function<bool(ServiceControl&)>;
    using Asked = std::set<std::wstring>;
    const Asked read = {L"manager 80000000", L"db 80000000"};
    const Asked execute = {L"manager 80000000", L"db 80000000", L"db 20000000"};
    const Asked list = {L"manager 80000000", L"db 80000000", L"web 80000000"};
    const struct {
        const char* what;
        DWORD state;
        bool standardUser;
        Operation operation;
        DWORD lastError;
        Asked asked;
    } cases[] = {
        {"config", SERVICE_RUNNING, false, [](ServiceControl& s) { return s.QueryConfig(); }, 0, read},
        {"status", SERVICE_RUNNING, false, [](ServiceControl& s) { return s.QueryStatus(); }, 0, read},
        {"path", SERVICE_RUNNING, false, [](ServiceControl& s) { return !s.GetBinaryPath().empty(); }, 0, read},
        {"dependents", SERVICE_RUNNING, false, [](ServiceControl& s) { return s.GetDependents(3).valid; }, 0, read},
        {"stop", SERVICE_RUNNING, false, [](ServiceControl& s) { return s.Stop(true); }, 0,
         {L"manager 80000000", L"db 80000000", L"db 20000000", L"web 80000000", L"web 20000000"}},
        {"start", SERVICE_STOPPED, false, [](ServiceControl& s) { return s.Start(); }, 0, execute},
        {"list", SERVICE_RUNNING, false, [](ServiceControl&) { return ServiceList().Load(); }, 0, list},
        {"user's status", SERVICE_RUNNING, true, [](ServiceControl& s) { return s.QueryStatus(); }, 0, read},
        {"user's list", SERVICE_RUNNING, true, [](ServiceControl&) { return ServiceList().Load(); }, 0, list},
        {"user's stop", SERVICE_RUNNING, true, [](ServiceControl& s) { return s.Stop(false); }, ERROR_ACCESS_DENIED,
         execute},
        {"user's start", SERVICE_STOPPED, true, [](ServiceControl& s) { return s.Start(); }, ERROR_ACCESS_DENIED,
         execute},
    };
    const DWORD needed = GENERIC_READ | GENERIC_EXECUTE | DELETE;
    for (const auto& c : cases) {
        ScmModel scm;
        scm.Add(L"db", L"C:\\db\\mysqld.exe", c.state).adminRights = needed;
        scm.Add(L"web", L"C:\\web\\mysqld-web.exe", c.state, {L"db"}).adminRights = needed;
        scm.standardUser = c.standardUser;
        ServiceControl control(L"db");
        EXPECT_EQ(c.lastError == 0, c.operation(control)) << c.what;
        EXPECT_EQ(c.lastError, control.lastError) << c.what;
        EXPECT_EQ(c.asked, Asked(scm.asked.begin(), scm.asked.end())) << c.what;
        // Only the administrator's stop and start change the service's state.
        const std::string what = c.what;
        EXPECT_EQ(what == "stop" || what == "start", scm.State(L"db") != c.state) << c.what;
        EXPECT_EQ(0, scm.OpenHandles()) << c.what;
    }
}

TEST(ServiceControlModel, LaterSuccessKeepsTheErrorAndFailedQueryDropsItsBuffer)
{
    ScmModel scm;
    ModelService& db = scm.Add(L"db", L"\"C:\\db\\mysqld.exe\" --x", SERVICE_RUNNING);
    ServiceControl control(L"db");
    ASSERT_TRUE(control.QueryConfig() && control.QueryStatus());
    db.configError = ERROR_NOT_ENOUGH_MEMORY;
    db.statusError = ERROR_INVALID_HANDLE;
    EXPECT_FALSE(control.QueryConfig() || control.QueryStatus());
    EXPECT_EQ(nullptr, control.Config());
    EXPECT_EQ(0u, control.CurrentState());
    db.configError = db.statusError = 0;
    EXPECT_EQ(L"C:\\db\\mysqld.exe", control.GetBinaryPath());
    EXPECT_TRUE(control.Stop(false));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), control.lastError);
}

// Against the prefix's real service manager.
TEST(ServiceControlWine, StartsAndStopsAStandinServiceAndReadsBinaryPaths)
{
    TempDir dir;
    const std::wstring exe = dir.File(L"mysqld.exe");
    ASSERT_TRUE(CopyFileTo(BinPath(L"standin_server.exe"), exe));
    TestService service(L"qsc_standin", Quoted(exe) + L" \"--start-delay=300\" --stop-delay=300");
    TestService unquoted(L"qsc_unquoted", L"C:\\Program Files\\MySQL\\bin\\mysqld.exe --defaults-file=x");
    ASSERT_TRUE(service.Registered() && unquoted.Registered()) << service.error << " " << unquoted.error;
    EXPECT_EQ(L"C:\\Program", ServiceControl(unquoted.Name()).GetBinaryPath());
    ServiceControl control(service.Name());
    EXPECT_EQ(exe, control.GetBinaryPath());
    ASSERT_TRUE(control.QueryStatus());
    EXPECT_EQ(DWORD(SERVICE_STOPPED), control.CurrentState());

    EXPECT_TRUE(control.Start());
    EXPECT_EQ(DWORD(SERVICE_RUNNING), service.State());
    EXPECT_TRUE(FileExists(exe + L".started"));
    EXPECT_TRUE(control.Stop(true));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), service.State());
    EXPECT_EQ(0u, control.lastError);
}

} // namespace
