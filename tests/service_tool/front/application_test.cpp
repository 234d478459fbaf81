#include "service_tool/front/application.h"

#include <gtest/gtest.h>

TEST(Application, AddsTheNoMessageBoxFlagsToTheErrorModeAndKeepsOthers)
{
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    ASSERT_TRUE(InitializeApplication(GetModuleHandleW(nullptr), GetCommandLineW(), 0));
    EXPECT_EQ(GetErrorMode(), static_cast<UINT>(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
}

TEST(Application, FailsWithoutModuleOrCommandLine)
{
    EXPECT_FALSE(InitializeApplication(nullptr, GetCommandLineW(), 0));
    EXPECT_FALSE(InitializeApplication(GetModuleHandleW(nullptr), nullptr, 0));
}
