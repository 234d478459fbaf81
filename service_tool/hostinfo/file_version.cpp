#include "service_tool/hostinfo/file_version.h"

#include <cstdio>
#include <vector>

#include "common/win32.h"

std::wstring GetFileVersionString(const std::wstring& path)
{
    if (path.empty()) {
        return std::wstring();
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        return std::wstring();
    }
    static_assert(sizeof(VS_FIXEDFILEINFO) == 52, "the fixed root record of a version resource");
    VS_FIXEDFILEINFO info;
    {
        std::vector<BYTE> data(size, 0);
        if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) {
            return std::wstring();
        }
        void* root = nullptr;
        UINT rootLength = 0;
        if (!VerQueryValueW(data.data(), L"\\", &root, &rootLength) || root == nullptr
            || rootLength < sizeof(VS_FIXEDFILEINFO)) {
            return std::wstring();
        }
        info = *static_cast<const VS_FIXEDFILEINFO*>(root);
    }
    wchar_t text[32] = {};
    swprintf(text, sizeof(text) / sizeof(text[0]), L"%hu.%hu.%hu.%hu",
             HIWORD(info.dwFileVersionMS), LOWORD(info.dwFileVersionMS),
             HIWORD(info.dwFileVersionLS), LOWORD(info.dwFileVersionLS));
    return text;
}
