// Every call a command makes to the service control manager, failed once:
// each command runs against the model again and again, the N-th call failing
// (N = 1, 2, ... until a run makes no N-th call) with a code the real
// function can give there, or, for a sizing call, with a size too small for
// the call that follows. Whatever fails, the command ends with one of its own
// exit codes, closes every handle, reports only codes that belong to the
// failure, never reports success for a failure, and leaves the dependents file
// as it was or complete.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "service_tool/front/command_line.h"
#include "service_tool/service/commands.h"
#include "service_tool/service/dependents_file.h"
#include "tests/support/output_capture.h"
#include "tests/support/scm_model.h"

namespace {

// Stands for "answer the sizing call with a size too small".
constexpr DWORD TooSmall = 0;

struct Injection {
    int failAt = 0;      // the call to fail, counted from 1
    size_t variant = 0;  // which of the codes of that call's kind
    int calls = 0;       // calls made so far
    size_t variants = 1; // codes of the kind of the failed call
    DWORD code = 0;      // the code given, TooSmall for a shortened size
    std::string call;    // the function that failed
    DWORD followOn = 0;  // the code a shortened size leads to
};

ScmApi model;
Injection injection;

// Closing a handle and sleeping cannot fail at any point; every other call
// counts. True when this call is the one to fail, with the code to give.
bool Fail(const char* call, std::initializer_list<DWORD> codes, DWORD& code)
{
    if (++injection.calls != injection.failAt) {
        return false;
    }
    injection.call = call;
    injection.variants = codes.size();
    code = injection.code = codes.begin()[std::min(injection.variant, codes.size() - 1)];
    return true;
}

template <typename Handle>
Handle Refuse(DWORD code, Handle failed)
{
    SetLastError(code);
    return failed;
}

// The codes of a query: a sizing call (no buffer) may instead be answered with
// a size too small for the call that follows, as when the manager's answer
// grows in between.
bool FailQuery(const char* call, bool sizing, DWORD& code)
{
    return sizing ? Fail(call, {TooSmall, ERROR_SHUTDOWN_IN_PROGRESS}, code)
                  : Fail(call, {ERROR_SHUTDOWN_IN_PROGRESS}, code);
}

// The model's answer to a sizing call, its size cut short. A call that had
// nothing to size fails with the other code of its kind.
BOOL ShortSize(BOOL answer, DWORD moreCode, LPDWORD needed)
{
    if (!answer && GetLastError() == moreCode && *needed > 1) {
        injection.followOn = moreCode;
        *needed -= 2;
        SetLastError(moreCode);
        return FALSE;
    }
    return Refuse(injection.code = ERROR_SHUTDOWN_IN_PROGRESS, FALSE);
}

SC_HANDLE WINAPI OpenManager(LPCWSTR machine, LPCWSTR database, DWORD access)
{
    DWORD code = 0;
    return Fail("OpenSCManagerW", {ERROR_ACCESS_DENIED, ERROR_SHUTDOWN_IN_PROGRESS}, code)
               ? Refuse(code, SC_HANDLE(nullptr))
               : model.OpenSCManagerW(machine, database, access);
}

SC_HANDLE WINAPI OpenService(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    DWORD code = 0;
    return Fail("OpenServiceW", {ERROR_SERVICE_DOES_NOT_EXIST, ERROR_ACCESS_DENIED}, code)
               ? Refuse(code, SC_HANDLE(nullptr))
               : model.OpenServiceW(manager, name, access);
}

// A query call of the model, failed when its turn comes: a sizing call (no
// buffer) may instead get the model's answer with its size cut short.
template <typename Call>
BOOL Query(const char* name, bool sizing, DWORD moreCode, LPDWORD needed, Call call)
{
    DWORD code = 0;
    if (!FailQuery(name, sizing, code)) {
        return call();
    }
    return code == TooSmall ? ShortSize(call(), moreCode, needed) : Refuse(code, FALSE);
}

BOOL WINAPI QueryConfig(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size, LPDWORD needed)
{
    return Query("QueryServiceConfigW", !config, ERROR_INSUFFICIENT_BUFFER, needed,
                 [&] { return model.QueryServiceConfigW(service, config, size, needed); });
}

BOOL WINAPI QueryStatus(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size, LPDWORD needed)
{
    return Query("QueryServiceStatusEx", !buffer, ERROR_INSUFFICIENT_BUFFER, needed,
                 [&] { return model.QueryServiceStatusEx(service, level, buffer, size, needed); });
}

BOOL WINAPI EnumServices(SC_HANDLE manager, DWORD type, DWORD state, LPENUM_SERVICE_STATUSW buffer, DWORD size,
                         LPDWORD needed, LPDWORD count, LPDWORD resume)
{
    return Query("EnumServicesStatusW", !buffer, ERROR_MORE_DATA, needed, [&] {
        return model.EnumServicesStatusW(manager, type, state, buffer, size, needed, count, resume);
    });
}

BOOL WINAPI EnumDependents(SC_HANDLE service, DWORD state, LPENUM_SERVICE_STATUSW buffer, DWORD size, LPDWORD needed,
                           LPDWORD count)
{
    return Query("EnumDependentServicesW", !buffer, ERROR_MORE_DATA, needed,
                 [&] { return model.EnumDependentServicesW(service, state, buffer, size, needed, count); });
}

BOOL WINAPI Control(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    DWORD code = 0;
    return Fail("ControlService",
                {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, ERROR_INVALID_SERVICE_CONTROL, ERROR_SERVICE_NOT_ACTIVE}, code)
               ? Refuse(code, FALSE)
               : model.ControlService(service, control, status);
}

BOOL WINAPI Start(SC_HANDLE service, DWORD count, LPCWSTR* arguments)
{
    DWORD code = 0;
    return Fail("StartServiceW", {ERROR_SERVICE_DISABLED, ERROR_SERVICE_LOGON_FAILED}, code)
               ? Refuse(code, FALSE)
               : model.StartServiceW(service, count, arguments);
}

BOOL WINAPI Delete(SC_HANDLE service)
{
    DWORD code = 0;
    return Fail("DeleteService", {ERROR_SERVICE_MARKED_FOR_DELETE, ERROR_ACCESS_DENIED}, code)
               ? Refuse(code, FALSE)
               : model.DeleteService(service);
}

BOOL WINAPI Close(SC_HANDLE handle)
{
    return model.CloseServiceHandle(handle);
}

void WINAPI Pause(DWORD ms)
{
    model.Sleep(ms);
}

const ScmApi faultyApi = {OpenManager,    OpenService, Close, QueryConfig, QueryStatus, EnumServices,
                          EnumDependents, Control,     Start, Delete,      Pause};

const wchar_t Server[] = L"\"C:\\missing\\bin\\mysqld.exe\" --defaults-file=my.ini";
const std::wstring Db = L"FaultInjectionDb";

// One command and the world it meets. The services: the database service,
// A depending on it, B on both (a diamond), another supported service and a
// service that runs some other program.
struct Scenario {
    const char* title;
    int (*command)();
    std::wstring name;
    bool verbose;
    DWORD state;         // of the database service
    DWORD dependents;    // of A and B
    const wchar_t* file; // dependents file before the run; null: none
    std::set<int> codes; // exit codes the command documents
    // The file after the run: before, absent, or these names.
    const wchar_t* complete;
};

std::set<int> Range(int from, int to)
{
    std::set<int> codes{0};
    for (int code = from; code <= to; ++code) {
        codes.insert(code);
    }
    return codes;
}

struct Outcome {
    int code;
    std::wstring text;
    bool reached;
};

Outcome RunOnce(const Scenario& s, ScmModel& scm)
{
    scm.Add(Db, Server, s.state);
    scm.Add(L"A", L"C:\\a.exe", s.dependents, {Db});
    scm.Add(L"B", L"C:\\b.exe", s.dependents, {L"A", Db});
    scm.Add(L"Other", L"C:\\other\\bin\\mariadbd.exe", SERVICE_STOPPED);
    scm.Add(L"Plain", L"C:\\plain.exe", SERVICE_RUNNING);
    model = Scm();
    SetScmApi(&faultyApi);
    ServiceName = s.name;
    VerboseOutput = s.verbose;
    const CapturedRun run = Capture(s.command);
    ServiceName.clear();
    VerboseOutput = false;
    SetScmApi(&model);
    return {run.code, run.text, injection.calls >= injection.failAt};
}

// The texts inside every "OS Error Message: '...'." of the output.
std::vector<std::wstring> ErrorTexts(const std::wstring& text)
{
    const std::wstring open = L"OS Error Message: '";
    std::vector<std::wstring> texts;
    for (size_t at = text.find(open); at != std::wstring::npos; at = text.find(open, at + 1)) {
        const size_t begin = at + open.size();
        texts.push_back(text.substr(begin, text.find(L"'.\n", begin) - begin));
    }
    return texts;
}

std::wstring SystemText(DWORD code)
{
    return TrimWhiteSpace(GetSystemErrorText(code));
}

// What must hold after any run, whatever call failed.
void ExpectSound(const Scenario& s, const Outcome& out, ScmModel& scm, const std::wstring& file)
{
    const std::string where = std::string(s.title) + ", call " + std::to_string(injection.failAt) + " (" +
                              injection.call + ") " +
                              (injection.code == TooSmall ? std::string("sized too small")
                                                          : "failed with " + std::to_string(injection.code)) +
                              ":\n" + Narrow(out.text);
    EXPECT_EQ(s.codes.count(out.code), 1u) << out.code << " " << where;
    EXPECT_EQ(scm.OpenHandles(), 0) << where;
    EXPECT_EQ(scm.badCloses, 0) << where;
    std::set<std::wstring> allowed{SystemText(injection.code == TooSmall ? injection.followOn : injection.code)};
    if (s.command == StopCommand || s.command == DeleteCommand) {
        // What a service records when a dependent would not stop.
        allowed.insert(SystemText(ERROR_DEPENDENT_SERVICES_RUNNING));
    }
    for (const std::wstring& shown : ErrorTexts(out.text)) {
        EXPECT_EQ(allowed.count(shown), 1u) << Narrow(shown) << " in " << where;
        EXPECT_NE(shown, SystemText(ERROR_SUCCESS)) << where;
    }

    std::string bytes;
    const bool present = ReadFileBytes(file, bytes);
    const bool asBefore = s.file ? present && bytes == Utf16Bytes(s.file) : !present;
    const bool complete = s.complete ? present && bytes == Utf16Bytes(s.complete) : false;
    // Stop discards an earlier list before it asks for the running dependents;
    // Start consumes the file once the service runs.
    const bool consumed = !present && (s.command == StopCommand || s.command == StartCommand);
    EXPECT_TRUE(asBefore || complete || consumed) << Narrow(ConsoleText(bytes)) << " " << where;

    // A listing without any error report is complete. Only a service
    // whose configuration cannot be read while the list of all is
    // loaded is left out without a word.
    const bool silentlySkipped =
        s.name.empty() && (injection.call == "OpenSCManagerW" || injection.call == "OpenServiceW" ||
                           injection.call == "QueryServiceConfigW");
    if (s.command == QueryCommand && !silentlySkipped && ErrorTexts(out.text).empty()) {
        std::vector<std::wstring> names{Db, L"A", L"B"};
        if (s.name.empty()) {
            names.push_back(L"Other");
        }
        for (const std::wstring& name : names) {
            EXPECT_NE(out.text.find(L"State of service '" + name + L"'"), std::wstring::npos)
                << Narrow(name) << " missing in " << where;
        }
    }
    // Success means the command's work is done.
    if (out.code == 0 && s.command != QueryCommand) {
        const DWORD goal = s.command == StartCommand ? SERVICE_RUNNING : SERVICE_STOPPED;
        const bool withDependents = s.command != StartCommand || s.file;
        if (s.command == DeleteCommand) {
            EXPECT_EQ(scm.Find(Db), nullptr) << where;
        } else {
            EXPECT_EQ(scm.State(Db), goal) << where;
        }
        if (withDependents) {
            EXPECT_EQ(scm.State(L"A"), goal) << where;
            EXPECT_EQ(scm.State(L"B"), goal) << where;
        }
    }
}

} // namespace

TEST(ScmFaultInjection, EveryCallFailedOnceEndsInADocumentedReport)
{
    const std::wstring file = GetDependentsFilePath(Db);
    const Scenario scenarios[] = {
        {"query named", QueryCommand, Db, false, SERVICE_RUNNING, SERVICE_RUNNING, nullptr, Range(101, 104), nullptr},
        {"query named -v", QueryCommand, Db, true, SERVICE_RUNNING, SERVICE_RUNNING, nullptr, Range(101, 104), nullptr},
        {"query all", QueryCommand, L"", false, SERVICE_RUNNING, SERVICE_RUNNING, nullptr, Range(101, 104), nullptr},
        {"query all -v", QueryCommand, L"", true, SERVICE_RUNNING, SERVICE_RUNNING, nullptr, Range(101, 104), nullptr},
        {"start with file", StartCommand, Db, false, SERVICE_STOPPED, SERVICE_STOPPED, L"B\nA\n", Range(301, 307),
         nullptr},
        {"start without file", StartCommand, Db, false, SERVICE_STOPPED, SERVICE_STOPPED, nullptr, Range(301, 307),
         nullptr},
        {"stop with dependents", StopCommand, Db, false, SERVICE_RUNNING, SERVICE_RUNNING, L"Old\n", Range(401, 409),
         L"B\nA\n"},
        {"stop without dependents", StopCommand, Db, false, SERVICE_RUNNING, SERVICE_STOPPED, L"Old\n", Range(401, 409),
         nullptr},
        {"delete", DeleteCommand, Db, false, SERVICE_RUNNING, SERVICE_RUNNING, L"Old\n", Range(201, 205), nullptr},
    };
    int runs = 0;
    for (const Scenario& s : scenarios) {
        const int runsBefore = runs;
        int calls = 0;
        for (int failAt = 1;; ++failAt) {
            bool reached = true;
            // The first run learns how many codes the failed call's kind has.
            for (size_t variant = 0; variant == 0 || variant < injection.variants; ++variant) {
                injection = Injection();
                injection.failAt = failAt;
                injection.variant = variant;
                DeleteFileW(file.c_str());
                if (s.file) {
                    ASSERT_TRUE(WriteFileBytes(file, Utf16Bytes(s.file)));
                }
                ScmModel scm;
                const Outcome out = RunOnce(s, scm);
                if (!out.reached) {
                    reached = false;
                    break;
                }
                ++runs;
                ExpectSound(s, out, scm, file);
            }
            if (!reached) {
                calls = failAt - 1;
                break;
            }
        }
        std::cout << s.title << ": " << calls << " calls, " << runs - runsBefore << " runs\n";
    }
    DeleteFileW(file.c_str());
    std::cout << "fault injection: " << runs << " runs in all\n";
    EXPECT_GT(runs, 0);
}
