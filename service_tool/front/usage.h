// Quillon's help text.
#pragma once

#include <string>

#include "common/win32.h"

// Full file name of a module, or the empty string when it cannot be read.
std::wstring GetModulePath(HMODULE module);

// Prints the usage text, naming the program by its executable's base name.
void PrintUsage();
