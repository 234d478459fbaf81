#include "tests/support/test_services.h"

#include "common/handles.h"
#include "tests/support/run_process.h"

namespace {

// The real manager's handles, whatever table a test has put in place.
struct RealHandleTraits {
    using Value = SC_HANDLE;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value handle) noexcept { ::CloseServiceHandle(handle); }
};
using RealHandle = UniqueHandle<RealHandleTraits>;

struct Opened {
    RealHandle manager;
    RealHandle service; // closed first
};

Opened Open(const std::wstring& name, DWORD access)
{
    Opened opened;
    opened.manager.Reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (opened.manager) {
        opened.service.Reset(OpenServiceW(opened.manager.Get(), name.c_str(), access));
    }
    return opened;
}

SERVICE_STATUS_PROCESS QueryStatus(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    return status;
}

template <typename Done>
bool WaitUntil(SC_HANDLE service, DWORD timeoutMs, Done done)
{
    for (DWORD waited = 0; !done(QueryStatus(service)); waited += 50) {
        if (waited >= timeoutMs) {
            return false;
        }
        Sleep(50);
    }
    return true;
}

bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs)
{
    return WaitUntil(service, timeoutMs, [state](const SERVICE_STATUS_PROCESS& s) { return s.dwCurrentState == state; });
}

// The executable of a configured command line: the quoted part, or up to the
// first blank.
std::wstring ExecutableOf(const std::wstring& commandLine)
{
    if (!commandLine.empty() && commandLine[0] == L'"') {
        return commandLine.substr(1, commandLine.find(L'"', 1) - 1);
    }
    return commandLine.substr(0, commandLine.find(L' '));
}

} // namespace

void AllowStandinStop(const std::wstring& exePath)
{
    WriteFileBytes(exePath + L".allow-stop", "");
}

bool RemoveTestService(const std::wstring& name)
{
    {
        Opened opened = Open(name, SERVICE_ALL_ACCESS);
        if (!opened.service) {
            return true;
        }
        SC_HANDLE service = opened.service.Get();
        std::vector<BYTE> config(8192);
        auto* record = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
        DWORD needed = 0;
        if (QueryServiceConfigW(service, record, static_cast<DWORD>(config.size()), &needed)) {
            AllowStandinStop(ExecutableOf(record->lpBinaryPathName));
        }
        // One stop control only: after it, Wine kills the process on any
        // further control. So let a start finish, and a stand-in that refused
        // the stop see the file and accept it.
        WaitUntil(service, 15000, [](const SERVICE_STATUS_PROCESS& s) { return s.dwCurrentState != SERVICE_START_PENDING; });
        WaitUntil(service, 3000, [](const SERVICE_STATUS_PROCESS& s) {
            return (s.dwControlsAccepted & SERVICE_ACCEPT_STOP) || s.dwCurrentState == SERVICE_STOPPED;
        });
        const DWORD state = QueryStatus(service).dwCurrentState;
        SERVICE_STATUS answer;
        if (state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING) {
            ControlService(service, SERVICE_CONTROL_STOP, &answer);
        }
        WaitForState(service, SERVICE_STOPPED, 15000);
        DeleteService(service);
    }
    // The entry goes once the last handle is closed and the process has ended.
    for (int waited = 0; waited < 10000; waited += 50) {
        if (!Open(name, GENERIC_READ).service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

TestService::TestService(std::wstring serviceName, const std::wstring& command,
                         const std::vector<std::wstring>& dependsOn)
    : name(std::move(serviceName)), commandLine(command)
{
    RemoveTestService(name);
    std::wstring dependencies;
    for (const std::wstring& dependency : dependsOn) {
        dependencies += dependency + L'\0';
    }
    dependencies += L'\0';
    RealHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    for (int attempt = 0; manager && attempt < 100; ++attempt) {
        RealHandle service(CreateServiceW(manager.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                          commandLine.c_str(), nullptr, nullptr, dependencies.c_str(), nullptr,
                                          nullptr));
        error = GetLastError();
        registered = service.IsValid();
        if (registered || error != ERROR_SERVICE_MARKED_FOR_DELETE) {
            return;
        }
        Sleep(100);
    }
    error = manager ? error : GetLastError();
}

TestService::~TestService()
{
    if (registered) {
        RemoveTestService(name);
    }
}

bool TestService::Start()
{
    Opened opened = Open(name, SERVICE_ALL_ACCESS);
    if (!opened.service || !StartServiceW(opened.service.Get(), 0, nullptr)) {
        error = GetLastError();
        return false;
    }
    return ::WaitForState(opened.service.Get(), SERVICE_RUNNING, 15000);
}

bool TestService::Stop()
{
    Opened opened = Open(name, SERVICE_ALL_ACCESS);
    SERVICE_STATUS answer;
    if (!opened.service || !ControlService(opened.service.Get(), SERVICE_CONTROL_STOP, &answer)) {
        error = GetLastError();
        return false;
    }
    return ::WaitForState(opened.service.Get(), SERVICE_STOPPED, 15000);
}

DWORD TestService::State()
{
    Opened opened = Open(name, GENERIC_READ);
    return opened.service ? QueryStatus(opened.service.Get()).dwCurrentState : 0;
}

bool TestService::WaitForState(DWORD state, DWORD timeoutMs)
{
    Opened opened = Open(name, GENERIC_READ);
    return opened.service && ::WaitForState(opened.service.Get(), state, timeoutMs);
}
