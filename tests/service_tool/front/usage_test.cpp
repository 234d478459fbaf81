#include "service_tool/front/usage.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/handles.h"
#include "tests/support/run_process.h"

TEST(GetModulePath, GivesTheFullFileNameOrNothing)
{
    EXPECT_EQ(GetModulePath(GetModuleHandleW(nullptr)), BinPath(L"usage_test.exe"));
    EXPECT_EQ(GetModulePath(reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x10))), L"");
}

// A name cut short at 260 characters could end inside a directory name and so
// point to another directory: such a name counts as none.
TEST(GetModulePath, GivesNothingForANameLongerThanThePathBuffer)
{
    TempDir folder;
    const std::wstring longPrefix = L"\\\\?\\";
    std::vector<std::wstring> directories{folder.Path()};
    while (directories.back().size() < MAX_PATH) {
        directories.push_back(directories.back() + L"\\" + std::wstring(60, L'd'));
        ASSERT_TRUE(CreateDirectoryW((longPrefix + directories.back()).c_str(), nullptr));
    }
    const std::wstring file = longPrefix + directories.back() + L"\\Quillon.exe";
    ASSERT_TRUE(CopyFileTo(BinPath(L"Quillon.exe"), file));
    {
        const Library module(LoadLibraryExW(file.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
        ASSERT_TRUE(module) << GetLastError();
        wchar_t fullName[1024] = {};
        ASSERT_GT(GetModuleFileNameW(module.Get(), fullName, 1024), static_cast<DWORD>(MAX_PATH));
        EXPECT_EQ(GetModulePath(module.Get()), L"");
    }
    DeleteFileW(file.c_str());
    for (size_t i = directories.size() - 1; i > 0; --i) {
        RemoveDirectoryW((longPrefix + directories[i]).c_str());
    }
}
