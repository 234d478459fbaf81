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
// before the system folder for names that are not KnownDLLs, or in the
// program's own folder, where Windows looks first, are passed over; so is the
// program's folder by the load through the full path (taken where Windows 7
// refuses the search flag).
TEST(LoadSystemLibrary, TakesTheSystemFoldersLibraryOnly)
{
    TempDir planted;
    for (const wchar_t* name : {L"version.dll", L"brelkin_planted.dll"}) {
        ASSERT_TRUE(CopyFileTo(BinPath(L"Tolvane.dll"), planted.File(name)));
    }
    const std::wstring besideProgram = BinPath(L"brelkin_beside_program.dll");
    ASSERT_TRUE(CopyFileTo(BinPath(L"Tolvane.dll"), besideProgram));
    wchar_t saved[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(planted.Path().c_str()));
    for (const wchar_t* name : {L"brelkin_planted.dll", L"brelkin_beside_program.dll"}) {
        // The planted libraries are found by the ordinary search.
        const Library ordinary(LoadLibraryW(name));
        EXPECT_TRUE(ordinary) << Narrow(name) << " " << GetLastError();
    }
    const struct {
        const wchar_t* name;
        bool loads;
        HMODULE (*load)(const wchar_t*);
    } cases[] = {
        {L"version.dll", true, LoadSystemLibrary},
        {L"VERSION.DLL", true, LoadSystemLibrary},
        {L"brelkin_planted.dll", false, LoadSystemLibrary},
        {L"brelkin_beside_program.dll", false, LoadSystemLibrary},
        {L"version.dll", true, LoadFromSystemFolder},
        {L"brelkin_planted.dll", false, LoadFromSystemFolder},
        {L"brelkin_beside_program.dll", false, LoadFromSystemFolder},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        const Library library(c.load(c.name));
        EXPECT_EQ(static_cast<bool>(library), c.loads) << Narrow(c.name);
        if (library) {
            EXPECT_EQ(_wcsicmp(ModulePath(library.Get()).c_str(), (SystemFolder() + L"\\version.dll").c_str()), 0)
                << Narrow(ModulePath(library.Get()));
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND)) << Narrow(c.name);
        }
    }
    SetCurrentDirectoryW(saved);
    DeleteFileW(besideProgram.c_str());
}
