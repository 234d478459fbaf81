// Random command lines for Quillon: every one ends with a documented exit
// code and the outcome the arguments call for; none crashes the program.
#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include "common/win32.h"
#include <shellapi.h>

#include "service_tool/front/command_line.h"
#include "tests/robustness/random_text.h"
#include "tests/support/output_capture.h"
#include "tests/support/run_process.h"

namespace {

enum class Kind { Rejected, Verbose, Help, Name };

Kind Classify(const std::wstring& argument)
{
    if (argument.empty()) {
        return Kind::Rejected;
    }
    if (argument[0] != L'-' && argument[0] != L'/') {
        return Kind::Name;
    }
    const std::wstring option = argument.substr(1);
    if (option == L"v" || option == L"V") {
        return Kind::Verbose;
    }
    return option == L"h" || option == L"H" || option == L"?" ? Kind::Help : Kind::Rejected;
}

// Argument text as it stands in a command line, quotes and all.
std::wstring RandomArgument(std::mt19937& random)
{
    static const wchar_t* const options[] = {L"-v", L"/V", L"-h", L"/?", L"-H", L"--v", L"-x",
                                             L"-", L"/", L"-verbose", L"\"\""};
    if (Pick(random, 3) == 0) {
        return options[Pick(random, sizeof options / sizeof options[0])];
    }
    // Names of services that do not exist; now and then a very long one.
    return L"nx" + RandomText(random, Pick(random, 10) == 0 ? 1500 : 40);
}

} // namespace

TEST(CommandLineRobustness, ParseArgumentTakesAnyTextSafely)
{
    std::mt19937 random = SeededGenerator("ParseArgumentTakesAnyTextSafely");
    // The option letters and their near misses, so that the verbose and help
    // branches are reached as often as the rejection.
    static const wchar_t* const letters[] = {L"v", L"V", L"h", L"H", L"?", L"vv", L"hv", L"x"};
    for (int i = 0; i < 3000; ++i) {
        std::wstring argument = Pick(random, 3) == 0 ? letters[Pick(random, std::size(letters))]
                                                     : RandomText(random, i % 50 == 0 ? 3000 : 30);
        if (Pick(random, 4) == 0) {
            argument.insert(0, Pick(random, 2) ? L"-" : L"/");
        }
        ServiceName = L"before";
        VerboseOutput = HelpRequested = false;
        OutputCapture capture;
        const bool accepted = ParseArgument(argument);
        const std::string output = capture.Finish();
        const Kind kind = Classify(argument);
        ASSERT_EQ(accepted, kind != Kind::Rejected) << Narrow(argument);
        ASSERT_EQ(output.empty(), accepted) << Narrow(argument);
        ASSERT_EQ(ServiceName, kind == Kind::Name ? argument : L"before") << Narrow(argument);
        ASSERT_EQ(VerboseOutput, kind == Kind::Verbose) << Narrow(argument);
        ASSERT_EQ(HelpRequested, kind == Kind::Help) << Narrow(argument);
    }
    VerboseOutput = HelpRequested = false;
}

TEST(CommandLineRobustness, RandomCommandLinesGiveTheirDocumentedOutcome)
{
    std::mt19937 random = SeededGenerator("RandomCommandLinesGiveTheirDocumentedOutcome");
    static const wchar_t* const words[] = {L"query", L"QUERY", L"qUeRy", L"create", L"Create",
                                           L"stop", L"Stopp", L"start", L"delete", L"bogus",
                                           L"-v", L"\"\"", L"\"\u00e9t\u00e9 \\\"x\\\"\""};
    const std::wstring program = BinPath(L"Quillon.exe");
    for (int run = 0; run < 120; ++run) {
        std::wstring commandLine = Quoted(program);
        for (size_t i = Pick(random, 5); i > 0; --i) {
            commandLine += L" " + (commandLine.size() == program.size() + 2 ? words[Pick(random, std::size(words))]
                                                                            : RandomArgument(random));
        }
        // The system's own splitting says what the program sees.
        int count = 0;
        wchar_t** split = CommandLineToArgvW(commandLine.c_str(), &count);
        const std::vector<std::wstring> arguments(split + 1, split + count);
        LocalFree(split);
        bool rejected = false, help = false;
        std::wstring name; // the last name after the command word
        for (size_t i = 0; i < arguments.size(); ++i) {
            const Kind kind = Classify(arguments[i]);
            if (i > 0 && !rejected) {
                rejected = kind == Kind::Rejected;
                help = help || kind == Kind::Help;
                name = kind == Kind::Name ? arguments[i] : name;
            }
        }
        const std::wstring word = arguments.empty() ? L"" : arguments[0];
        const auto is = [&word](const wchar_t* known) { return _wcsicmp(word.c_str(), known) == 0; };
        const bool known = is(L"query") || is(L"create") || is(L"stop") || is(L"stopp") || is(L"start") ||
                           is(L"delete");
        // Only commands that leave the machine's services alone may run.
        if (!arguments.empty() && !rejected && known && !help && !is(L"create") && !(is(L"query") && !name.empty())) {
            --run;
            continue;
        }
        DWORD expected = 3;
        if (!arguments.empty() && !rejected && known) {
            expected = help ? 0 : is(L"create") ? 501 : 101;
        }

        const ProcessResult result = RunProcess(commandLine);
        ASSERT_TRUE(result.started) << "start error " << result.startError << ": " << Narrow(commandLine);
        ASSERT_EQ(result.exitCode, expected) << Narrow(commandLine) << "\n"
                                             << Narrow(ConsoleText(result.out));
        EXPECT_TRUE(result.err.empty()) << Narrow(commandLine);
        const std::wstring output = ConsoleText(result.out);
        if (expected == 101) {
            EXPECT_NE(output.find(L"Failed to get state of service '" + name + L"'."),
                      std::wstring::npos)
                << Narrow(commandLine);
        }
        if (expected == 3 && !rejected && !arguments.empty() && !known && !help) {
            EXPECT_EQ(output.find(L"Input error: Invalid command " + arguments[0] + L"\n"), 0u)
                << Narrow(commandLine);
        }
    }
}
