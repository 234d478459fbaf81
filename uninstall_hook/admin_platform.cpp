// The library's own platform gate and loader for the administrator check.
#include "common/admin_rights.h"

bool AdminCheckIsNtPlatform()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!::GetVersionExA(&version)) {
        return false;
    }
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

HMODULE AdminCheckLoadSecurityLibrary()
{
    return ::LoadLibraryA("Advapi32.DLL");
}
