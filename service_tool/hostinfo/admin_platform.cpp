// Quillon's side of the shared administrator check.
#include "common/admin_rights.h"
#include "service_tool/hostinfo/host_os_info.h"

bool AdminCheckIsNtPlatform()
{
    return GetHostOsInfo().versionInfo.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

HMODULE AdminCheckLoadSecurityLibrary()
{
    return LoadLibraryW(L"Advapi32.DLL");
}
