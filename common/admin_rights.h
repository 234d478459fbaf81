// Whether the calling thread runs with the rights of the local Administrators
// group: an access check of the thread's token against a private security
// descriptor that grants access to that group alone. Shared by Quillon and
// Tolvane; each of them supplies the two platform hooks below.
#pragma once

#include "common/win32.h"

bool HasAdminRights();

// Supplied by the deliverable that links the check.
// False when the system has no NT security model (then everyone counts as
// administrator) or its version could not be read.
bool AdminCheckIsNtPlatform();
// Loads "Advapi32.DLL" by name; null on failure.
HMODULE AdminCheckLoadSecurityLibrary();
