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
    const std::wstring unknown = L"UNKNOWN ERROR CODE";
    const struct {
        DWORD code;
        bool known;
        const wchar_t* part; // the text holds it (Windows' wording and Wine's share it)
    } rows[] = {
        {ERROR_SERVICE_DOES_NOT_EXIST, true, L"does not exist"},
        // A text with an insert ("%1 is not a valid Win32 application.")
        // comes back with the insert as it stands; filling it would read
        // arguments that were never passed.
        {ERROR_BAD_EXE_FORMAT, true, L"%1"},
        {0x20001234ul, false, nullptr},
        {0xFFFFFFFFul, false, nullptr},
    };
    for (const auto& row : rows) {
        const std::wstring text = GetSystemErrorText(row.code);
        if (!row.known) {
            EXPECT_EQ(text, unknown) << row.code;
            continue;
        }
        EXPECT_NE(text, unknown) << row.code;
        EXPECT_NE(text, TrimWhiteSpace(text)) << row.code << ": expected the system's line end to be kept";
        EXPECT_FALSE(TrimWhiteSpace(text).empty()) << row.code;
        EXPECT_NE(text.find(row.part), std::wstring::npos) << row.code << ": " << Narrow(text);
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
