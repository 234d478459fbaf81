/* Runs a command line and writes its exit code, in full, to a file:
       exit_code_runner <code file> <program> [arguments...]
   A Windows exit code above 255 does not survive the way back to a Linux
   shell through Wine's loader; scripts/demo shows the real one. */
#include <stdio.h>
#include <wchar.h>

#include "common/win32.h"
#include <shellapi.h>

/* The rest of the command line after its first n arguments, verbatim. */
static const wchar_t* SkipArguments(const wchar_t* line, int n)
{
    for (; n > 0; --n) {
        int quoted = 0;
        while (*line == L' ' || *line == L'\t') ++line;
        for (; *line && (quoted || (*line != L' ' && *line != L'\t')); ++line) {
            if (*line == L'"') quoted = !quoted;
        }
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

int main(void)
{
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args || count < 3) {
        fputs("usage: exit_code_runner <code file> <program> [arguments...]\n", stderr);
        return 2;
    }
    static wchar_t command[32768];
    wcsncpy(command, SkipArguments(GetCommandLineW(), 2), 32767);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        fprintf(stderr, "exit_code_runner: CreateProcessW failed: %lu\n", GetLastError());
        return 2;
    }
    DWORD code = 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    FILE* file = _wfopen(args[1], L"w");
    if (!file) {
        return 2;
    }
    fprintf(file, "%lu\n", code);
    fclose(file);
    return 0;
}
