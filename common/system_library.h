// Libraries of Windows that are not among its KnownDLLs are looked for first
// in the program's folder, where others may put a library of the same name.
// Such libraries are loaded at run time from the system folder only.
#pragma once

#include "common/win32.h"

// Loads the library (and what it imports) from the system folder alone; null
// on failure, with the last error set.
inline HMODULE LoadSystemLibrary(const wchar_t* name)
{
    return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Looks up one function of a loaded library by name; false when it is missing.
template <typename Function>
bool FindLibraryFunction(HMODULE library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
    return function != nullptr;
}
