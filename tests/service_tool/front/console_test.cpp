#include "service_tool/front/console.h"

#include <gtest/gtest.h>

#include "tests/support/output_capture.h"

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

// U+FFFF is what the C runtime's wide writers answer for a failure: it must
// go out like any other code unit, and the rest of the text after it.
TEST(Console, WritesEveryCodeUnitAsItStands)
{
    OutputCapture capture;
    PrintFormatted(L"Input error: Invalid command %s\n", L"a\xFFFF" L"b");
    PrintLine(L"\xFFFF");
    PrintFormatted(L"%s%s 100%% '%s'\n", L"\xFFFF\xFFFF", L"", L"\xFFFE\xD800\xFFFF\n");
    PrintLine(L"DESCRIPTION:");
    EXPECT_EQ(capture.Finish(), ConsoleBytes(L"Input error: Invalid command a\xFFFF" L"b\n"
                                             L"\xFFFF\n"
                                             L"\xFFFF\xFFFF 100% '\xFFFE\xD800\xFFFF\n'\n"
                                             L"DESCRIPTION:\n"));
}
