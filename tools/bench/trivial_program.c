/* The smallest console program of the toolchain: the start-up time that
   scripts/bench compares Quillon's with. Built a second time with
   WITH_QUILLON_IMPORTS, it also loads the system DLLs Quillon imports, which
   tells the cost of loading them apart from Quillon's own. */
#include <stdio.h>

#ifdef WITH_QUILLON_IMPORTS
#include "common/win32.h"
#include <shellapi.h>
#include <shlwapi.h>
#endif

int main(void)
{
#ifdef WITH_QUILLON_IMPORTS
    int count = 0;
    LocalFree(CommandLineToArgvW(GetCommandLineW(), &count));
    wchar_t path[MAX_PATH] = L"C:\\x\\y.exe";
    PathStripPathW(path);
    DWORD handle = 0;
    GetFileVersionInfoSizeW(path, &handle);
    HANDLE token = NULL;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        CloseHandle(token);
    }
#endif
    puts("hello");
    return 0;
}
