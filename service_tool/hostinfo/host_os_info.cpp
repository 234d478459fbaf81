#include "service_tool/hostinfo/host_os_info.h"

namespace {

HostOsInfo QueryHostOsInfo()
{
    HostOsInfo info{};
    OSVERSIONINFOEXW& record = info.versionInfo;
    record.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&record))) {
        // Systems that predate the extended record only fill the short one.
        record.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
        if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&record))) {
            info = HostOsInfo{};
        }
    }
    return info;
}

} // namespace

const HostOsInfo& GetHostOsInfo()
{
    static const HostOsInfo info = QueryHostOsInfo();
    return info;
}
