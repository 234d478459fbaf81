// Benchmark reference for "Quillon query": the same report of every MariaDB
// and MySQL service with only the service manager calls it cannot do without
// (one manager handle, one configuration query per service, and for each
// server one status query and one dependents listing). With --open-per-call
// it opens the manager again for every call, as Quillon's design does, which
// tells that share of the cost apart.
#include <fcntl.h>
#include <io.h>
#include <shlwapi.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/win32.h"

namespace {

bool openPerCall = false;

struct ServiceHandleCloser {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ScHandle = std::unique_ptr<SC_HANDLE__, ServiceHandleCloser>;

// A service handle for one call; with openPerCall on a manager handle of its own.
struct ServiceOpening {
    ServiceOpening(SC_HANDLE shared, const wchar_t* name)
        : manager(openPerCall ? OpenSCManagerW(nullptr, nullptr, GENERIC_READ) : nullptr),
          service(OpenServiceW(openPerCall ? manager.get() : shared, name, GENERIC_READ))
    {
    }
    ScHandle manager;
    ScHandle service;
};

const wchar_t* StateName(DWORD state)
{
    static const wchar_t* const names[] = {L"unknown", L"stopped", L"start pending",
                                           L"stop pending", L"running", L"continue pending",
                                           L"pause pending", L"pause"};
    return state < 8 ? names[state] : names[0];
}

bool IsServer(std::wstring path)
{
    for (wchar_t& c : path) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    for (const wchar_t* exe : {L"mysqld.exe", L"mariadbd.exe", L"mysqld-nt.exe"}) {
        const size_t at = path.find(exe);
        if (at != std::wstring::npos && at > 0) {
            return true;
        }
    }
    return false;
}

std::wstring BinaryPath(SC_HANDLE service)
{
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed == 0 || !QueryServiceConfigW(service, config, needed, &needed)) {
        return L"";
    }
    std::vector<wchar_t> path(config->lpBinaryPathName,
                              config->lpBinaryPathName + wcslen(config->lpBinaryPathName) + 1);
    PathRemoveArgsW(path.data());
    PathUnquoteSpacesW(path.data());
    return path.data();
}

void PrintState(SC_HANDLE manager, const wchar_t* name, const wchar_t* indent)
{
    const ServiceOpening opened(manager, name);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (opened.service && QueryServiceStatusEx(opened.service.get(), SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        wprintf(L"%lsState of service '%ls': %ls\n", indent, name, StateName(status.dwCurrentState));
    }
}

void ReportServer(SC_HANDLE manager, SC_HANDLE service, const wchar_t* name)
{
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                         sizeof status, &needed);
    wprintf(L"State of service '%ls': %ls\n", name, StateName(status.dwCurrentState));
    DWORD count = 0;
    if (!EnumDependentServicesW(service, SERVICE_STATE_ALL, nullptr, 0, &needed, &count) &&
        GetLastError() == ERROR_MORE_DATA) {
        std::vector<BYTE> buffer(needed);
        auto* entries = reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data());
        if (EnumDependentServicesW(service, SERVICE_STATE_ALL, entries, needed, &needed, &count)) {
            _putws(L"List of Dependent Services:");
            for (DWORD i = 0; i < count; ++i) {
                PrintState(manager, entries[i].lpServiceName, L"    ");
            }
        }
    }
    _putws(L"");
}

} // namespace

int main(int argc, char** argv)
{
    openPerCall = argc > 1 && std::string(argv[1]) == "--open-per-call";
    _setmode(_fileno(stdout), _O_U16TEXT);
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    if (!manager) {
        return 1;
    }
    EnumServicesStatusW(manager.get(), SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                        &count, &resume);
    std::vector<BYTE> buffer(needed);
    auto* entries = reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data());
    resume = 0;
    if (!EnumServicesStatusW(manager.get(), SERVICE_WIN32, SERVICE_STATE_ALL, entries, needed,
                             &needed, &count, &resume)) {
        return 1;
    }
    for (DWORD i = 0; i < count; ++i) {
        const ServiceOpening opened(manager.get(), entries[i].lpServiceName);
        if (opened.service && IsServer(BinaryPath(opened.service.get()))) {
            ReportServer(manager.get(), opened.service.get(), entries[i].lpServiceName);
        }
    }
    return 0;
}
