#include "service_tool/front/console.h"

#include <gtest/gtest.h>

TEST(Console, TrimWhiteSpaceRemovesOnlyTheEnds)
{
    const struct {
        const wchar_t* text;
        const wchar_t* trimmed;
    } rows[] = {
        {L"Service does not exist.\r\n", L"Service does not exist."},
        {L"  one\r\ntwo\r\n", L"one\r\ntwo"},
        {L"\tfirst line.\r\n\r\nsecond line.\r\n\r\n", L"first line.\r\n\r\nsecond line."},
        {L"\v\f text \t", L"text"},
        {L" \t\r\n", L""},
        {L"", L""},
        {L"no blanks", L"no blanks"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(TrimWhiteSpace(row.text), row.trimmed);
    }
}

TEST(Console, SystemErrorTextIsTheSystemsOwnUntrimmedOrUnknown)
{
    const std::wstring text = GetSystemErrorText(ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_NE(text, TrimWhiteSpace(text)) << "expected the system's line end to be kept";
    EXPECT_FALSE(TrimWhiteSpace(text).empty());
    for (DWORD code : {0x20001234ul, 0xFFFFFFFFul}) {
        EXPECT_EQ(GetSystemErrorText(code), L"UNKNOWN ERROR CODE") << code;
    }
}
