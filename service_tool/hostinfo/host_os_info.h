// The one record Quillon keeps about the running Windows system.
#pragma once

#include "common/win32.h"

struct HostOsInfo {
    // As GetVersionExW filled it. The extended members stay zero when only
    // the short record could be read; everything is zero when neither could.
    OSVERSIONINFOEXW versionInfo;
};

// The process's single record, filled on the first call.
const HostOsInfo& GetHostOsInfo();
