// Version query of the test twin Kestrin_refused: the platform refuses the
// extended record, and the basic one too unless KESTRIN_ACCEPT_BASIC is set.
#include "winver_tool/version_file.h"

BOOL QueryWindowsVersion(OSVERSIONINFOW* info)
{
    if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOW) &&
        GetEnvironmentVariableW(L"KESTRIN_ACCEPT_BASIC", nullptr, 0) != 0) {
        return GetVersionExW(info);
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
