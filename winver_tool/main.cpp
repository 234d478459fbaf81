#include "common/handles.h"
#include "winver_tool/version_file.h"

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <stdio.h>

int main()
{
    _setmode(_fileno(stdout), _O_U16TEXT);

    const std::wstring commandLine = GetCommandLineW();
    int count = 0;
    LocalMemory arguments(CommandLineToArgvW(commandLine.c_str(), &count));
    if (!arguments) {
        _putws(L"CommandLineToArgvW failed.");
        return 1;
    }
    if (count <= 1) {
        return WriteIniFile() ? 0 : 2;
    }
    PrintUsage();
    return 0;
}
