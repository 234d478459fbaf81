// Kestrin: writes the running Windows version into "WindowsVersion.ini" beside
// the executable, for an installer script to read.
#pragma once

#include <string>

#include "common/win32.h"

struct WindowsVersion {
    LONG major = 0;
    LONG minor = 0;
    LONG build = 0;
    LONG productType = 0;  // VER_NT_WORKSTATION, _DOMAIN_CONTROLLER, _SERVER; 0 if unknown
};

// The platform's version query. The program links version_query.cpp; a test
// build links a replacement that refuses, to reach the failure paths.
BOOL QueryWindowsVersion(OSVERSIONINFOW* info);

// Asks the platform for the version; all zeros when it refuses.
WindowsVersion DetectWindowsVersion();
// Writes the section "Version" into a new "WindowsVersion.ini" beside the executable.
bool WriteIniFile();
// Full file name of the module, empty on failure.
std::wstring GetModulePath(HMODULE module);
void PrintUsage();
