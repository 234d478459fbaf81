#include "winver_tool/version_file.h"

#include <shlwapi.h>
#include <stdio.h>

static_assert(sizeof(OSVERSIONINFOEXW) == 284, "extended version record");
static_assert(sizeof(OSVERSIONINFOW) == 276, "basic version record");

namespace {

// The section data block: four key=value entries, each NUL-ended, then one
// more NUL, the list form the profile writer takes.
std::wstring FormatVersionSection(const WindowsVersion& version)
{
    // Four entries of at most 13 + 11 + 1 characters and the closing NUL.
    wchar_t block[128];
    const int length = _snwprintf(block, ARRAYSIZE(block),
                                  L"VersionMajor=%li%cVersionMinor=%li%cBuild=%li%cProductType=%li%c%c",
                                  version.major, L'\0', version.minor, L'\0', version.build, L'\0',
                                  version.productType, L'\0', L'\0');
    if (length < 0) {
        return std::wstring();
    }
    // The length counts the embedded NULs, so the string holds the whole block.
    return std::wstring(block, static_cast<size_t>(length));
}

} // namespace

WindowsVersion DetectWindowsVersion()
{
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    auto* basic = reinterpret_cast<OSVERSIONINFOW*>(&info);
    if (!QueryWindowsVersion(basic)) {
        _putws(L"Kestrin::DetectWindowsVersion GetVersionEx() 1 failed.");
        // Systems without the extended record still fill the basic one; the
        // product type then stays 0.
        info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
        if (!QueryWindowsVersion(basic)) {
            _putws(L"Kestrin::DetectWindowsVersion GetVersionEx() 2 failed.");
            return WindowsVersion{};
        }
    }
    WindowsVersion version;
    version.major = static_cast<LONG>(info.dwMajorVersion);
    version.minor = static_cast<LONG>(info.dwMinorVersion);
    version.build = static_cast<LONG>(info.dwBuildNumber);
    version.productType = info.wProductType;
    return version;
}

bool WriteIniFile()
{
    const std::wstring section = FormatVersionSection(DetectWindowsVersion());

    const std::wstring modulePath = GetModulePath(GetModuleHandleW(nullptr));
    if (modulePath.empty()) {
        // A bare file name would put the file where the installer does not
        // look (the profile writer resolves it in the Windows directory).
        return false;
    }
    wchar_t path[MAX_PATH] = {};
    modulePath.copy(path, MAX_PATH - 1);
    PathRemoveFileSpecW(path);
    if (!PathAppendW(path, L"WindowsVersion.ini")) {
        // The buffer no longer names the file beside the executable; going on
        // would delete or write some other path.
        _putws(L"WriteIniFile::PathAppend failed.");
        return false;
    }

    // Deleting first leaves exactly one section, whatever an older file held.
    if (PathFileExistsW(path) && !DeleteFileW(path)) {
        // %ls: a wide string in every printf family MinGW may pick.
        wprintf(L"WriteIniFile::DeleteFile %ls failed.\n", path);
        return false;
    }
    if (!WritePrivateProfileSectionW(L"Version", section.c_str(), path)) {
        _putws(L"WriteIniFile::WritePrivateProfileSection failed.");
        return false;
    }
    return true;
}

std::wstring GetModulePath(HMODULE module)
{
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, buffer, MAX_PATH);
    // A full buffer means the name was cut short: that is not the file's name.
    if (length == 0 || length >= MAX_PATH) {
        _putws(L"GetModuleFileName failed.");
        return std::wstring();
    }
    return std::wstring(buffer, length);
}

void PrintUsage()
{
    wchar_t name[MAX_PATH] = {};
    GetModulePath(GetModuleHandleW(nullptr)).copy(name, MAX_PATH - 1);
    PathStripPathW(name);
    PathRemoveExtensionW(name);
    wprintf(L"How to call %ls:\n\n", name);
    _putws(L"The program should be started without parameters.");
    _putws(L"It writes in its directory a file \"WindowsVersion.ini\",");
    _putws(L"which contains information about the running Windows version.");
}
