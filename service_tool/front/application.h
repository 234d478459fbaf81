// Start-up of Quillon's process before the command line is read.
#pragma once

#include "common/win32.h"

// Prepares the process for the program: adds SEM_FAILCRITICALERRORS and
// SEM_NOOPENFILEERRORBOX to the process error mode (inherited by the processes
// it starts), so no critical-error or open-file message box can block an
// unattended installer. Returns false when given no module or no command line.
bool InitializeApplication(HINSTANCE module, const wchar_t* commandLine, int showState);
