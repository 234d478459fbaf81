#include "service_tool/front/command_line.h"

#include <gtest/gtest.h>

namespace {

TEST(EqualsIgnoringAsciiCase, FoldsOnlyAsciiLettersAndMatchesWholeWords)
{
    const struct {
        const wchar_t* text;
        const wchar_t* word;
        bool equal;
    } rows[] = {
        {L"STOPP", L"Stopp", true},
        {L"Stop", L"Stopp", false},
        {L"Stopp", L"Stop", false},
        {L"", L"Start", false},
        {L"\u00C4", L"\u00E4", false},
        {L"[", L"{", false}, // 0x5B and 0x7B differ by the case bit but are no letters
        {L"@", L"`", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(EqualsIgnoringAsciiCase(row.text, row.word), row.equal)
            << testing::PrintToString(std::wstring(row.text)) << " vs " << testing::PrintToString(std::wstring(row.word));
    }
}

} // namespace
