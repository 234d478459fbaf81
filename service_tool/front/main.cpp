// Quillon: lists, starts, stops and deletes the MariaDB and MySQL services of
// the machine. One run carries out one command; its result is the exit code.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/win32.h"
#include "service_tool/front/application.h"
#include "service_tool/front/command_line.h"
#include "service_tool/front/console.h"
#include "service_tool/front/usage.h"
#include "service_tool/service/commands.h"

namespace {

int CreateCommand()
{
    PrintLine(L"Error: Command Create not yet implemented.\n");
    return 501;
}

struct CommandEntry {
    const wchar_t* word;
    int (*run)();
};

// Searched in this order; the first word that matches wins.
const CommandEntry Commands[] = {
    {L"Start", StartCommand},
    {L"Stop", StopCommand},
    {L"Stopp", StopCommand},
    {L"Delete", DeleteCommand},
    {L"Create", CreateCommand},
    {L"Query", QueryCommand},
};

int RunCommandLine(const std::vector<std::wstring>& arguments)
{
    if (arguments.size() < 2) {
        PrintUsage();
        return 3;
    }
    // Every argument after the command word is checked before the word itself,
    // so a bad option is reported in preference to a bad command word.
    for (size_t i = 2; i < arguments.size(); ++i) {
        if (!ParseArgument(arguments[i])) {
            PrintUsage();
            return 3;
        }
    }
    const CommandEntry* command = nullptr;
    for (const CommandEntry& entry : Commands) {
        if (EqualsIgnoringAsciiCase(arguments[1], entry.word)) {
            command = &entry;
            break;
        }
    }
    if (command == nullptr) {
        if (!HelpRequested) {
            PrintFormatted(L"Input error: Invalid command %s\n\n", arguments[1].c_str());
        }
        PrintUsage();
        return 3;
    }
    if (HelpRequested) {
        PrintUsage();
        return 0;
    }
    return command->run();
}

} // namespace

int main()
{
    const HMODULE module = GetModuleHandleW(nullptr);
    // Before anything is printed, so every line, the first fatal one included,
    // is UTF-16 text.
    _setmode(_fileno(stdout), _O_U16TEXT);
    if (module == nullptr) {
        PrintLine(L"Fatal Error: GetModuleHandle failed\n");
        return 6;
    }
    if (!InitializeApplication(module, GetCommandLineW(), 0)) {
        PrintLine(L"Fatal Error: MFC initialization failed\n");
        return 1;
    }
    std::vector<std::wstring> arguments;
    if (!SplitCommandLine(arguments)) {
        return 2;
    }
    return RunCommandLine(arguments);
}
