#include "service_tool/hostinfo/file_version.h"

#include <cstdio>
#include <vector>

#include "common/handles.h"
#include "common/system_library.h"

namespace {

// The version functions of version.dll, which is not a KnownDLL: loaded from
// the system folder on first use and kept until the process ends.
struct VersionApi {
    decltype(&::GetFileVersionInfoSizeW) getFileVersionInfoSize = nullptr;
    decltype(&::GetFileVersionInfoW) getFileVersionInfo = nullptr;
    decltype(&::VerQueryValueW) verQueryValue = nullptr;
};

// Null when the library or one of its functions is missing.
const VersionApi* GetVersionApi()
{
    static const Library library(LoadSystemLibrary(L"version.dll"));
    static const VersionApi api = [] {
        VersionApi found;
        if (!library || !FindLibraryFunction(library.Get(), "GetFileVersionInfoSizeW", found.getFileVersionInfoSize)
            || !FindLibraryFunction(library.Get(), "GetFileVersionInfoW", found.getFileVersionInfo)
            || !FindLibraryFunction(library.Get(), "VerQueryValueW", found.verQueryValue)) {
            return VersionApi();
        }
        return found;
    }();
    return api.verQueryValue ? &api : nullptr;
}

} // namespace

std::wstring GetFileVersionString(const std::wstring& path)
{
    if (path.empty()) {
        return std::wstring();
    }
    // Without the library no resource can be read; the caller falls back to
    // asking the server itself.
    const VersionApi* api = GetVersionApi();
    if (!api) {
        return std::wstring();
    }
    DWORD ignored = 0;
    const DWORD size = api->getFileVersionInfoSize(path.c_str(), &ignored);
    if (size == 0) {
        return std::wstring();
    }
    static_assert(sizeof(VS_FIXEDFILEINFO) == 52, "the fixed root record of a version resource");
    VS_FIXEDFILEINFO info;
    {
        std::vector<BYTE> data(size, 0);
        if (!api->getFileVersionInfo(path.c_str(), 0, size, data.data())) {
            return std::wstring();
        }
        void* root = nullptr;
        UINT rootLength = 0;
        if (!api->verQueryValue(data.data(), L"\\", &root, &rootLength) || root == nullptr
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
