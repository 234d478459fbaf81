#include "tests/support/test_services.h"

#include "common/handles.h"
#include "tests/support/run_process.h"

namespace {

// The real manager's handles, independent of the table a test may replace.
struct RealHandleTraits {
    using Value = SC_HANDLE;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value handle) noexcept { ::CloseServiceHandle(handle); }
};
using RealServiceHandle = UniqueHandle<RealHandleTraits>;

SERVICE_STATUS_PROCESS QueryStatus(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    return status;
}

DWORD QueryState(SC_HANDLE service)
{
    return QueryStatus(service).dwCurrentState;
}

bool WaitFor(SC_HANDLE service, DWORD timeoutMs, bool (*done)(const SERVICE_STATUS_PROCESS&))
{
    for (DWORD waited = 0;; waited += 50) {
        if (done(QueryStatus(service))) {
            return true;
        }
        if (waited >= timeoutMs) {
            return false;
        }
        Sleep(50);
    }
}

bool WaitFor(SC_HANDLE service, DWORD state, DWORD timeoutMs)
{
    for (DWORD waited = 0;; waited += 50) {
        if (QueryState(service) == state) {
            return true;
        }
        if (waited >= timeoutMs) {
            return false;
        }
        Sleep(50);
    }
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

bool RemoveTestService(const std::wstring& name)
{
    {
        RealServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        RealServiceHandle service(manager ? OpenServiceW(manager.Get(), name.c_str(), SERVICE_ALL_ACCESS) : nullptr);
        if (!service) {
            return true;
        }
        std::vector<BYTE> config(8192);
        DWORD needed = 0;
        if (QueryServiceConfigW(service.Get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()),
                                static_cast<DWORD>(config.size()), &needed)) {
            AllowStandinStop(
                ExecutableOf(reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data())->lpBinaryPathName));
        }
        // Only one stop control: after it, Wine kills the process on any
        // further control. Wait for a start to finish and for a stand-in
        // that refused the stop to accept it.
        WaitFor(service.Get(), 15000, [](const SERVICE_STATUS_PROCESS& status) {
            return status.dwCurrentState != SERVICE_START_PENDING;
        });
        WaitFor(service.Get(), 3000, [](const SERVICE_STATUS_PROCESS& status) {
            return (status.dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0 ||
                   status.dwCurrentState == SERVICE_STOPPED;
        });
        SERVICE_STATUS answer;
        if (QueryState(service.Get()) != SERVICE_STOPPED &&
            QueryState(service.Get()) != SERVICE_STOP_PENDING) {
            ControlService(service.Get(), SERVICE_CONTROL_STOP, &answer);
        }
        WaitFor(service.Get(), SERVICE_STOPPED, 15000);
        DeleteService(service.Get());
    }
    // The entry goes when the last handle is closed and the process has ended.
    for (int waited = 0; waited < 10000; waited += 50) {
        RealServiceHandle manager(OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
        RealServiceHandle service(manager ? OpenServiceW(manager.Get(), name.c_str(), GENERIC_READ) : nullptr);
        if (!service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

void AllowStandinStop(const std::wstring& exePath)
{
    WriteFileBytes(exePath + L".allow-stop", "");
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
    RealServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        error = GetLastError();
        return;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        RealServiceHandle service(CreateServiceW(manager.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                 SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr,
                                                 dependencies.c_str(), nullptr, nullptr));
        if (service) {
            registered = true;
            return;
        }
        error = GetLastError();
        if (error != ERROR_SERVICE_MARKED_FOR_DELETE) {
            return;
        }
        Sleep(100);
    }
}

TestService::~TestService()
{
    if (registered) {
        RemoveTestService(name);
    }
}

bool TestService::Start()
{
    RealServiceHandle manager(OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
    RealServiceHandle service(manager ? OpenServiceW(manager.Get(), name.c_str(), SERVICE_ALL_ACCESS) : nullptr);
    if (!service || !StartServiceW(service.Get(), 0, nullptr)) {
        error = GetLastError();
        return false;
    }
    return WaitFor(service.Get(), SERVICE_RUNNING, 15000);
}

bool TestService::Stop()
{
    RealServiceHandle manager(OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
    RealServiceHandle service(manager ? OpenServiceW(manager.Get(), name.c_str(), SERVICE_ALL_ACCESS) : nullptr);
    SERVICE_STATUS answer;
    if (!service || !ControlService(service.Get(), SERVICE_CONTROL_STOP, &answer)) {
        error = GetLastError();
        return false;
    }
    return WaitFor(service.Get(), SERVICE_STOPPED, 15000);
}

DWORD TestService::State()
{
    RealServiceHandle manager(OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
    RealServiceHandle service(manager ? OpenServiceW(manager.Get(), name.c_str(), GENERIC_READ) : nullptr);
    return service ? QueryState(service.Get()) : 0;
}

bool TestService::WaitForState(DWORD state, DWORD timeoutMs)
{
    RealServiceHandle manager(OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
    RealServiceHandle service(manager ? OpenServiceW(manager.Get(), name.c_str(), GENERIC_READ) : nullptr);
    return service && WaitFor(service.Get(), state, timeoutMs);
}
