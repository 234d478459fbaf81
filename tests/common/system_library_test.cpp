#include "common/system_library.h"

#include <gtest/gtest.h>

#include "common/handles.h"
#include "tests/support/run_process.h"

namespace {

std::wstring ModulePath(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

std::wstring SystemFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return path;
}

} // namespace

// Libraries planted in the current folder, which the ordinary search takes
// before the system folder for names that are not KnownDLLs, are passed over.
TEST(LoadSystemLibrary, TakesTheSystemFoldersLibraryOnly)
{
    TempDir planted;
    for (const wchar_t* name : {L"version.dll", L"brelkin_planted.dll"}) {
        ASSERT_TRUE(CopyFileTo(BinPath(L"Tolvane.dll"), planted.File(name)));
    }
    wchar_t saved[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(planted.Path().c_str()));
    {
        // The planted library is found by the ordinary search.
        const Library ordinary(LoadLibraryW(L"brelkin_planted.dll"));
        EXPECT_TRUE(ordinary) << GetLastError();
    }
    const struct {
        const wchar_t* name;
        bool loads;
    } cases[] = {
        {L"version.dll", true},
        {L"VERSION.DLL", true},
        {L"brelkin_planted.dll", false},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        const Library library(LoadSystemLibrary(c.name));
        EXPECT_EQ(static_cast<bool>(library), c.loads) << Narrow(c.name);
        if (library) {
            EXPECT_EQ(_wcsicmp(ModulePath(library.Get()).c_str(), (SystemFolder() + L"\\version.dll").c_str()), 0)
                << Narrow(ModulePath(library.Get()));
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND)) << Narrow(c.name);
        }
    }
    SetCurrentDirectoryW(saved);
}
