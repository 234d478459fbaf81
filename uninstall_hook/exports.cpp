// Entry points that the installer engine calls in its uninstaller.
#include "common/admin_rights.h"
#include "uninstall_hook/uninstall_hook.h"

namespace {

// The batch must have stopped the server within this time.
constexpr DWORD stopBatchTimeLimitMs = 45000;

} // namespace

// The engine passes an instance handle and a reserved value that are not used.
extern "C" LONG WINAPI UninstInitialize(HWND owner, HINSTANCE, LONG)
{
    return RunUninstallHook(owner, {HasAdminRights, stopBatchTimeLimitMs});
}

extern "C" LONG WINAPI UninstUnInitialize(HWND, HINSTANCE, LONG)
{
    return 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
