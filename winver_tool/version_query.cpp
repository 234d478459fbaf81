#include "winver_tool/version_file.h"

BOOL QueryWindowsVersion(OSVERSIONINFOW* info)
{
    return GetVersionExW(info);
}
