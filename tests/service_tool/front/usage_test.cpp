#include "service_tool/front/usage.h"

#include <gtest/gtest.h>

#include "tests/support/run_process.h"

TEST(GetModulePath, GivesTheFullFileNameOrNothing)
{
    EXPECT_EQ(GetModulePath(GetModuleHandleW(nullptr)), BinPath(L"usage_test.exe"));
    EXPECT_EQ(GetModulePath(reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x10))), L"");
}
