#include "service_tool/front/console.h"

#include <gtest/gtest.h>

TEST(Console, TrimWhiteSpaceKeepsInnerLineBreaks)
{
    EXPECT_EQ(TrimWhiteSpace(L"  one\r\ntwo\r\n"), L"one\r\ntwo");
    EXPECT_EQ(TrimWhiteSpace(L" \t\r\n"), L"");
}
