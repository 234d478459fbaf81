#include "service_tool/front/command_line.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/run_process.h"

namespace {

// Feeds the arguments as main does: in order, stopping at the first rejected.
TEST(ParseArgument, RecordsOrRejectsEachArgument)
{
    const struct {
        std::vector<std::wstring> arguments;
        bool accepted;
        std::wstring serviceName;
        bool verbose;
        bool help;
    } rows[] = {
        {{L"-V"}, true, L"", true, false},
        {{L"/H"}, true, L"", false, true},
        {{L"-?"}, true, L"", false, true},
        {{L"-v", L"first", L"a-b/c"}, true, L"a-b/c", true, false},
        {{L"-vh"}, false, L"", false, false},
        // Non-ASCII letters are not folded: U+0130 is not an "h" or "i".
        {{L"-\u0130"}, false, L"", false, false},
        // A rejected argument keeps what came before and stops the walk.
        {{L"mysql_3306", L"-v", L"-x", L"-h", L"other"}, false, L"mysql_3306", true, false},
    };
    for (const auto& row : rows) {
        ServiceName.clear();
        VerboseOutput = HelpRequested = false;
        bool accepted = true;
        std::wstring shown;
        for (const std::wstring& argument : row.arguments) {
            shown += L"[" + argument + L"]";
            accepted = accepted && ParseArgument(argument);
        }
        SCOPED_TRACE(Narrow(shown));
        EXPECT_EQ(accepted, row.accepted);
        EXPECT_EQ(ServiceName, row.serviceName);
        EXPECT_EQ(VerboseOutput, row.verbose);
        EXPECT_EQ(HelpRequested, row.help);
    }
    ServiceName.clear();
    VerboseOutput = HelpRequested = false;
}

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
