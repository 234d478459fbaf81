// Libraries of Windows that are not among its KnownDLLs are looked for first
// in the program's folder, where others may put a library of the same name.
// Such libraries are loaded at run time from the system folder only.
#pragma once

#include <string>

#include "common/win32.h"

// Loads the library by its full path in the system folder; what it imports
// is then looked for beside it first, not in the program's folder.
inline HMODULE LoadFromSystemFolder(const wchar_t* name)
{
    wchar_t folder[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr;
    }
    const std::wstring path = std::wstring(folder) + L"\\" + name;
    return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Loads the library (and what it imports) from the system folder alone; null
// on failure, with the last error set. Windows 7 without update KB2533623
// knows no search flags and refuses them (87): there the library is loaded
// by its full path instead.
inline HMODULE LoadSystemLibrary(const wchar_t* name)
{
    const HMODULE library = ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library || ::GetLastError() != ERROR_INVALID_PARAMETER) {
        return library;
    }
    return LoadFromSystemFolder(name);
}

// Looks up one function of a loaded library by name; false when it is missing.
template <typename Function>
bool FindLibraryFunction(HMODULE library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
    return function != nullptr;
}
