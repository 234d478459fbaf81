// Quillon run as a black box: command lines that never reach a service
// command, with their exact output and exit code.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/run_process.h"

namespace {

std::wstring UsageText(const std::wstring& name)
{
    return L"DESCRIPTION:\n" +
           name + L" is is a command line program used for communicating with mariadb\n"
           L"and mysql services.\n"
           L"USAGE:\n" +
           name + L" command [service name] [-h] [-v]\n"
           L"\n"
           L"Commands:\n"
           L"  query-----------Queries the status for a service.\n"
           L"  start-----------Starts a mariadb or mysql service and all dependent\n"
           L"                  services found in the file [service name].Dependencies.\n"
           L"  stop------------Stops a mariadb or mysql service and all active\n"
           L"                  dependent services.\n"
           L"                  Active dependent services will be logged in the file\n"
           L"                  [service name].Dependencies.\n"
           L"  delete----------Deletes a mariadb or mysql service (from the registry).\n"
           L"\n"
           L"Options:\n"
           L"  -h              Help / Show Usage\n"
           L"  -v              Use verbose output\n"
           L"\n"
           L"SYNTAX EXAMPLES\n" +
           name + L" query               - Show all mariadb or mysql services\n" +
           name + L" query -v            - Show all mariadb or mysql services with additional data\n" +
           name + L" query mysql_3306\n" +
           name + L" start mysql_3306\n" +
           name + L" stop mysql_3306\n"
           L"\n";
}

const std::wstring Usage = UsageText(L"Quillon");

struct Case {
    const wchar_t* arguments; // after the program name, verbatim
    DWORD exitCode;
    std::wstring output;
};

// Names the row by its command line in test names and failure messages.
void PrintTo(const Case& row, std::ostream* out)
{
    *out << "Quillon " << Narrow(row.arguments);
}

void ExpectRun(const std::wstring& program, const Case& row)
{
    const std::wstring commandLine = Quoted(program) + (*row.arguments ? L" " : L"") + row.arguments;
    const ProcessResult result = RunProcess(commandLine);
    ASSERT_TRUE(result.started) << "error " << result.startError;
    EXPECT_EQ(result.exitCode, row.exitCode);
    EXPECT_EQ(ConsoleText(result.out), row.output);
    EXPECT_EQ(result.out, ConsoleBytes(row.output)) << "not UTF-16LE with CR LF line ends";
    EXPECT_EQ(result.err, "");
}

const std::wstring CreateAnswer = L"Error: Command Create not yet implemented.\n\n";

std::wstring InvalidCommand(const std::wstring& word)
{
    return L"Input error: Invalid command " + word + L"\n\n" + Usage;
}

std::wstring InvalidOption(const std::wstring& option)
{
    return L"Input error: Invalid option " + option + L":\n\n" + Usage;
}

const std::wstring EmptyParameter = L"Input error: Invalid empty parameter specified\n\n" + Usage;

class QuillonCommandLine : public testing::TestWithParam<Case> {};

TEST_P(QuillonCommandLine, PrintsExpectedTextAndExitCode)
{
    ExpectRun(BinPath(L"Quillon.exe"), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rows, QuillonCommandLine, testing::Values(
    Case{L"", 3, Usage},
    // The command word is never an option, not even -h.
    Case{L"-h", 3, InvalidCommand(L"-h")},
    Case{L"-v query", 3, InvalidCommand(L"-v")},
    Case{L"bogus", 3, InvalidCommand(L"bogus")},
    Case{L"\"\"", 3, InvalidCommand(L"")},
    Case{L"stopped -v", 3, InvalidCommand(L"stopped")},
    Case{L"100%s", 3, InvalidCommand(L"100%s")},
    // U+FFFF, the runtime's end-of-file answer, is written like any character.
    Case{L"a\uFFFF" L"b", 3, InvalidCommand(L"a\uFFFF" L"b")},
    Case{L"bogus -h", 3, Usage},
    Case{L"bogus /?", 3, Usage},
    // Arguments are checked before the word: the option is reported, not the word.
    Case{L"bogus -x", 3, InvalidOption(L"-x")},
    Case{L"query -x /y", 3, InvalidOption(L"-x")},
    Case{L"query -", 3, InvalidOption(L"-")},
    Case{L"query /", 3, InvalidOption(L"/")},
    Case{L"query --v", 3, InvalidOption(L"--v")},
    Case{L"query -verbose", 3, InvalidOption(L"-verbose")},
    Case{L"query /help", 3, InvalidOption(L"/help")},
    Case{L"query -%s", 3, InvalidOption(L"-%s")},
    Case{L"query -h -x", 3, InvalidOption(L"-x")},
    Case{L"query -x -h", 3, InvalidOption(L"-x")},
    Case{L"query -vh", 3, InvalidOption(L"-vh")},
    // Only A to Z are folded: U+0148, whose low byte is an "H", is no "h".
    Case{L"query -\u0148", 3, InvalidOption(L"-\u0148")},
    Case{L"query \"\"", 3, EmptyParameter},
    Case{L"start mysql_3306 \"\" -x", 3, EmptyParameter},
    Case{L"query -h", 0, Usage},
    Case{L"QUERY /H", 0, Usage},
    Case{L"qUeRy -?", 0, Usage},
    Case{L"query /?", 0, Usage},
    Case{L"start mysql_3306 -h", 0, Usage},
    Case{L"stop -H mysql_3306", 0, Usage},
    Case{L"Stopp /h", 0, Usage},
    Case{L"DELETE \"my service\" -h", 0, Usage},
    Case{L"query -v -V /v /V -h mysql_3306 other", 0, Usage},
    Case{L"create", 501, CreateAnswer},
    Case{L"Create mysql_3306 -v", 501, CreateAnswer},
    Case{L"CREATE -h", 0, Usage},
    Case{L"create -x", 3, InvalidOption(L"-x")}));

// The program names itself after its own file: directory and last extension
// removed.
TEST(QuillonUsage, NamesTheProgramAfterItsExecutableFile)
{
    const struct {
        const wchar_t* fileName;
        const wchar_t* name;
    } rows[] = {
        {L"Service Tool.exe", L"Service Tool"},
        {L"a.b.exe", L"a.b"},
    };
    TempDir folder;
    for (const auto& row : rows) {
        SCOPED_TRACE(Narrow(row.fileName));
        ASSERT_TRUE(CopyFileTo(BinPath(L"Quillon.exe"), folder.File(row.fileName)));
        ExpectRun(folder.File(row.fileName), {L"bogus", 3, L"Input error: Invalid command bogus\n\n" + UsageText(row.name)});
    }
}

} // namespace
