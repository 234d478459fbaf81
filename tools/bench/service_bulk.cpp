// Registers or removes many test services in one process (sc.exe would take
// one Wine process per service):
//   service_bulk create <prefix> <count> <servers> <server exe> <other exe>
//       registers <prefix>_1 .. <prefix>_<count>, demand start; the first
//       <servers> run <server exe>, the rest <other exe>
//   service_bulk delete <prefix>
//       removes every service whose key name starts with <prefix>_
// Exit code 0 on success, 1 on a failed call (reported on standard error).
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/win32.h"

namespace {

struct ServiceHandleCloser {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ScHandle = std::unique_ptr<SC_HANDLE__, ServiceHandleCloser>;

int Fail(const wchar_t* what, const std::wstring& name)
{
    const DWORD error = GetLastError();
    fwprintf(stderr, L"service_bulk: %ls %ls failed: %lu\n", what, name.c_str(), error);
    return 1;
}

int Create(SC_HANDLE manager, const std::wstring& prefix, int count, int servers,
           const std::wstring& serverExe, const std::wstring& otherExe)
{
    for (int i = 1; i <= count; ++i) {
        const std::wstring name = prefix + L"_" + std::to_wstring(i);
        const std::wstring command = L"\"" + (i <= servers ? serverExe : otherExe) + L"\"";
        ScHandle service(CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                        SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                        SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                        nullptr, nullptr, nullptr));
        if (!service) {
            return Fail(L"CreateServiceW", name);
        }
    }
    return 0;
}

int Delete(SC_HANDLE manager, const std::wstring& prefix)
{
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    EnumServicesStatusW(manager, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed, &count,
                        &resume);
    std::vector<BYTE> buffer(needed + sizeof(ENUM_SERVICE_STATUSW));
    resume = 0;
    if (!EnumServicesStatusW(manager, SERVICE_WIN32, SERVICE_STATE_ALL,
                             reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data()),
                             static_cast<DWORD>(buffer.size()), &needed, &count, &resume)) {
        return Fail(L"EnumServicesStatusW", prefix);
    }
    const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUSW*>(buffer.data());
    const std::wstring start = prefix + L"_";
    for (DWORD i = 0; i < count; ++i) {
        const std::wstring name = entries[i].lpServiceName;
        if (name.compare(0, start.size(), start) != 0) {
            continue;
        }
        ScHandle service(OpenServiceW(manager, name.c_str(), DELETE));
        if (!service || !DeleteService(service.get())) {
            return Fail(L"DeleteService", name);
        }
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 2 ? argv[1] : L"";
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        return Fail(L"OpenSCManagerW", L"");
    }
    if (mode == L"create" && argc == 7) {
        return Create(manager.get(), argv[2], _wtoi(argv[3]), _wtoi(argv[4]), argv[5], argv[6]);
    }
    if (mode == L"delete" && argc == 3) {
        return Delete(manager.get(), argv[2]);
    }
    fwprintf(stderr, L"usage: service_bulk create <prefix> <count> <servers> <server exe> <other exe>\n"
                     L"       service_bulk delete <prefix>\n");
    return 2;
}
