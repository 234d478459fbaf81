#include "service_tool/front/application.h"

bool InitializeApplication(HINSTANCE module, const wchar_t* commandLine, int /*showState*/)
{
    if (module == nullptr || commandLine == nullptr) {
        return false;
    }
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    return true;
}
