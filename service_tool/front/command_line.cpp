#include "service_tool/front/command_line.h"

#include "common/handles.h"
#include "common/win32.h"

#include <shellapi.h>

#include "service_tool/front/console.h"

std::wstring ServiceName;
bool VerboseOutput = false;
bool HelpRequested = false;

std::wstring AsciiLower(const std::wstring& text)
{
    std::wstring lower(text);
    for (wchar_t& c : lower) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return lower;
}

bool EqualsIgnoringAsciiCase(const std::wstring& text, const wchar_t* word)
{
    return AsciiLower(text) == AsciiLower(word);
}

bool SplitCommandLine(std::vector<std::wstring>& arguments)
{
    const std::wstring commandLine = GetCommandLineW();
    int count = 0;
    wchar_t** split = CommandLineToArgvW(commandLine.c_str(), &count);
    if (split == nullptr) {
        PrintLine(L"Fatal Error in SplitCommandLine: CommandLineToArgvW failed\n");
        return false;
    }
    const LocalMemory owner(split);
    for (int i = 0; i < count; ++i) {
        arguments.emplace_back(split[i]);
    }
    return true;
}

bool ParseArgument(const std::wstring& argument)
{
    if (argument.empty()) {
        PrintLine(L"Input error: Invalid empty parameter specified\n");
        return false;
    }
    if (argument[0] != L'-' && argument[0] != L'/') {
        ServiceName = argument;
        return true;
    }
    const std::wstring option = argument.substr(1);
    if (EqualsIgnoringAsciiCase(option, L"v")) {
        VerboseOutput = true;
        return true;
    }
    if (EqualsIgnoringAsciiCase(option, L"h") || option == L"?") {
        HelpRequested = true;
        return true;
    }
    // Also reached by a marker alone: the option name is empty.
    PrintFormatted(L"Input error: Invalid option %s:\n\n", argument.c_str());
    return false;
}
