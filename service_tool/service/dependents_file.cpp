#include "service_tool/service/dependents_file.h"

#include <shlwapi.h>

#include <algorithm>
#include <new>
#include <string_view>

#include "common/handles.h"
#include "service_tool/front/command_line.h"
#include "service_tool/front/console.h"
#include "service_tool/front/usage.h"

decltype(&::WriteFile) DependentsFileWrite = ::WriteFile;

namespace {

// A name that can stand as one file name in the program directory.
// Separators and drive colons would make it a path of its own, "." or ".."
// step out of the directory once the path is canonicalised, and wildcards,
// quotes, pipes, angle brackets and control characters are refused by the
// file system: such a file could be neither written nor read.
bool IsPlainFileName(const std::wstring& name)
{
    if (name.empty() || name.find_first_of(L"\\/:<>\"|?*") != std::wstring::npos) {
        return false;
    }
    if (std::any_of(name.begin(), name.end(), [](wchar_t c) { return c < L' '; })) {
        return false;
    }
    return name.find_first_not_of(L'.') != std::wstring::npos;
}

// Whether Windows keeps the file name as written. It trims dots and blanks at
// the end (svc. and svc.. would share the file svc, and Kestrin.exe. would be
// Kestrin.exe), and maps the device names, with any extension and with blanks
// before the first dot, to devices (NUL.Dependencies is the NUL device; CON
// waits for the keyboard).
bool IsKeptAsWritten(const std::wstring& fileName)
{
    if (fileName.empty() || fileName.back() == L'.' || fileName.back() == L' ') {
        return false;
    }
    std::wstring base = AsciiLower(fileName.substr(0, fileName.find(L'.')));
    base.erase(base.find_last_not_of(L' ') + 1);
    for (const wchar_t* device : {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"}) {
        if (base == device) {
            return false;
        }
    }
    // COM0 to COM9 and LPT0 to LPT9, also with the superscripts one to three.
    const bool portPrefix = base.compare(0, 3, L"com") == 0 || base.compare(0, 3, L"lpt") == 0;
    const std::wstring_view portDigits = L"0123456789\u00B9\u00B2\u00B3";
    return !(base.size() == 4 && portPrefix && portDigits.find(base[3]) != std::wstring_view::npos);
}

// The path, or an empty one with the reason in failure. A truncated path
// would name some other file (program in C:\Tools: C:\Tools.Dependencies),
// which Stop would delete and overwrite; so any doubt gives no path at all.
std::wstring BuildDependentsFilePath(const std::wstring& serviceName, DWORD& failure)
{
    const std::wstring modulePath = GetModulePath(GetModuleHandleW(nullptr));
    if (modulePath.empty()) {
        failure = ERROR_BAD_PATHNAME;
        return {};
    }
    if (!IsPlainFileName(serviceName)) {
        failure = ERROR_INVALID_NAME;
        return {};
    }
    failure = ERROR_FILENAME_EXCED_RANGE;
    wchar_t directory[MAX_PATH];
    if (modulePath.size() >= MAX_PATH) {
        return {};
    }
    modulePath.copy(directory, modulePath.size());
    directory[modulePath.size()] = L'\0';
    PathRemoveFileSpecW(directory);

    wchar_t path[MAX_PATH];
    lstrcpyW(path, directory);
    if (serviceName.size() >= MAX_PATH || !PathAppendW(path, serviceName.c_str())) {
        return {};
    }
    // A name with a dot already has an extension and is taken as it is;
    // PathAddExtensionW answers false for it as for a path that is too long.
    if (*PathFindExtensionW(path) == L'\0' && !PathAddExtensionW(path, DependentsFileExtension)) {
        return {};
    }
    // The file must lie in the program directory and carry the whole name,
    // under a file name that Windows keeps as it stands.
    wchar_t parent[MAX_PATH];
    lstrcpyW(parent, path);
    PathRemoveFileSpecW(parent);
    const std::wstring fileName = PathFindFileNameW(path);
    if (lstrcmpW(parent, directory) != 0 || fileName.compare(0, serviceName.size(), serviceName) != 0 ||
        !IsKeptAsWritten(fileName)) {
        failure = ERROR_INVALID_NAME;
        return {};
    }
    return path;
}

void PrintFileError(const wchar_t* format, const std::wstring& path, DWORD code)
{
    PrintFormatted(format, path.c_str(), TrimWhiteSpace(GetSystemErrorText(code)).c_str());
}

// Written in chunks so that a huge list never asks WriteFile for more than a
// DWORD can count.
bool WriteAll(HANDLE file, const std::wstring& text, DWORD& failure)
{
    const char* bytes = reinterpret_cast<const char*>(text.data());
    size_t left = text.size() * sizeof(wchar_t);
    while (left > 0) {
        const DWORD chunk = left > 0x10000 ? 0x10000 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!DependentsFileWrite(file, bytes, chunk, &written, nullptr)) {
            failure = GetLastError();
            return false;
        }
        if (written == 0) {
            failure = ERROR_WRITE_FAULT;
            return false;
        }
        bytes += written;
        left -= written;
    }
    return true;
}

} // namespace

std::wstring GetDependentsFilePath(const std::wstring& serviceName)
{
    DWORD failure = 0;
    return BuildDependentsFilePath(serviceName, failure);
}

bool WriteDependentsFile(const std::wstring& serviceName, const ServiceNameList& list)
{
    DWORD pathFailure = 0;
    const std::wstring path = BuildDependentsFilePath(serviceName, pathFailure);
    if (list.names.empty()) {
        if (!path.empty()) {
            DeleteFileW(path.c_str());
        }
        return true;
    }
    if (path.empty()) {
        PrintFileError(L"Failed to open file '%s' Errormessage %s\n", serviceName + DependentsFileExtension,
                       pathFailure);
        return false;
    }

    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        PrintFileError(L"Failed to open file '%s' Errormessage %s\n", path, error);
        return false;
    }

    bool written = false;
    DWORD failure = 0;
    bool outOfMemory = false;
    try {
        std::wstring text;
        for (const std::wstring& name : list.names) {
            text += name;
            text += L'\n';
        }
        written = WriteAll(file.Get(), text, failure);
    } catch (const std::bad_alloc&) {
        outOfMemory = true;
    }
    if (written) {
        return true;
    }

    if (outOfMemory) {
        PrintFormatted(L"Unknown error writing to file '%s'\n", path.c_str());
    } else {
        PrintFileError(L"Failed to write file '%s' Errormessage %s\n", path, failure);
    }
    // No partial list may stay behind for the next start to read.
    file.Reset();
    DeleteFileW(path.c_str());
    return false;
}

ServiceNameList ReadDependentsFile(const std::wstring& serviceName)
{
    ServiceNameList list;
    DWORD pathFailure = 0;
    const std::wstring path = BuildDependentsFilePath(serviceName, pathFailure);
    // No file can have been written under a name without a path.
    if (path.empty()) {
        list.valid = true;
        return list;
    }

    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            list.valid = true;
        } else {
            PrintFileError(L"Failed to open file '%s' Errormessage %s\n", path, error);
        }
        return list;
    }

    try {
        std::string bytes;
        char buffer[4096];
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr)) {
                const DWORD error = GetLastError();
                PrintFileError(L"Failed to read from file '%s' Errormessage %s\n", path, error);
                return list;
            }
            if (got == 0) {
                break;
            }
            bytes.append(buffer, got);
            if (bytes.size() > DependentsFileLimit) {
                PrintFileError(L"Failed to read from file '%s' Errormessage %s\n", path, ERROR_FILE_TOO_LARGE);
                return list;
            }
        }
        // Code units as stored; an odd last byte is no whole unit and is dropped.
        std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
        bytes.copy(reinterpret_cast<char*>(&text[0]), text.size() * sizeof(wchar_t));
        size_t begin = 0;
        while (begin < text.size()) {
            size_t end = text.find(L'\n', begin);
            if (end == std::wstring::npos) {
                end = text.size();
            }
            list.names.push_back(text.substr(begin, end - begin));
            begin = end + 1;
        }
    } catch (const std::bad_alloc&) {
        PrintFormatted(L"Unknown error reading from file '%s'\n", path.c_str());
        list.names.clear();
        return list;
    }
    list.valid = true;
    return list;
}
