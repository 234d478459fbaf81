#include "tests/support/test_services.h"

#include "common/handles.h"

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

Opened Open(const std::wstring& name, DWORD access = SERVICE_ALL_ACCESS)
{
    Opened opened;
    opened.manager.Reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (opened.manager) {
        opened.service.Reset(OpenServiceW(opened.manager.Get(), name.c_str(), access));
    }
    return opened;
}

DWORD StateOf(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    return status.dwCurrentState;
}

bool WaitFor(SC_HANDLE service, DWORD state, DWORD timeoutMs)
{
    for (DWORD waited = 0; StateOf(service) != state; waited += 50) {
        if (waited >= timeoutMs) {
            return false;
        }
        Sleep(50);
    }
    return true;
}

} // namespace

void RemoveService(const std::wstring& name)
{
    {
        Opened opened = Open(name);
        SC_HANDLE service = opened.service.Get();
        if (!service) {
            return;
        }
        // Wine kills a service on a second stop control, so send one only,
        // and only once a start has finished.
        for (int polls = 0; StateOf(service) == SERVICE_START_PENDING && polls < 300; ++polls) {
            Sleep(50);
        }
        SERVICE_STATUS answer;
        const DWORD state = StateOf(service);
        if (state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING) {
            ControlService(service, SERVICE_CONTROL_STOP, &answer);
        }
        WaitFor(service, SERVICE_STOPPED, 15000);
        DeleteService(service);
    }
    // The entry goes once the last handle is closed and the process has ended.
    for (int polls = 0; polls < 200 && (Open(name, GENERIC_READ).service || GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST);
         ++polls) {
        Sleep(50);
    }
}

TestService::TestService(std::wstring serviceName, const std::wstring& commandLine) : name(std::move(serviceName))
{
    RemoveService(name);
    RealHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    for (int attempt = 0; manager && attempt < 100; ++attempt) {
        RealHandle service(CreateServiceW(manager.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                          commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
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
        RemoveService(name);
    }
}

bool TestService::Start(DWORD state)
{
    Opened opened = Open(name);
    if (!opened.service || !StartServiceW(opened.service.Get(), 0, nullptr)) {
        error = GetLastError();
        return false;
    }
    return WaitFor(opened.service.Get(), state, 15000);
}

bool TestService::Stop()
{
    Opened opened = Open(name);
    SERVICE_STATUS answer;
    if (!opened.service || !ControlService(opened.service.Get(), SERVICE_CONTROL_STOP, &answer)) {
        error = GetLastError();
        return false;
    }
    return WaitFor(opened.service.Get(), SERVICE_STOPPED, 15000);
}

DWORD TestService::State() { return ServiceStateOf(name); }

DWORD ServiceStateOf(const std::wstring& name)
{
    Opened opened = Open(name, GENERIC_READ);
    return opened.service ? StateOf(opened.service.Get()) : 0;
}

std::wstring ServiceConfigOf(const std::wstring& name)
{
    Opened opened = Open(name, GENERIC_READ);
    union {
        QUERY_SERVICE_CONFIGW config;
        BYTE bytes[8192];
    } buffer;
    DWORD needed = 0;
    if (!opened.service || !QueryServiceConfigW(opened.service.Get(), &buffer.config, sizeof buffer, &needed)) {
        return L"";
    }
    return std::to_wstring(buffer.config.dwStartType) + L" " + buffer.config.lpBinaryPathName;
}

bool SetServiceCommandLine(const std::wstring& name, const std::wstring& commandLine)
{
    Opened opened = Open(name);
    return opened.service && ChangeServiceConfigW(opened.service.Get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                  SERVICE_NO_CHANGE, commandLine.c_str(), nullptr, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr);
}

bool CopyQuillonAndServers(const TempDir& dir, std::initializer_list<const wchar_t*> serverFiles)
{
    bool copied = CopyFileTo(BinPath(L"Quillon.exe"), dir.File(L"Quillon.exe"));
    for (const wchar_t* file : serverFiles) {
        copied = copied && CopyFileTo(BinPath(L"standin_server.exe"), dir.File(file));
    }
    return copied;
}
