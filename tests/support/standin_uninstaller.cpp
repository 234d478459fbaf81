// Stand-in for the installer engine's uninstaller: calls UninstInitialize and
// UninstUnInitialize the way the engine does and reports on standard output
// (UTF-8) the result and every message box shown meanwhile, closing each one.
// Its own options start with "--", so they never count as the hook token;
// every other argument is left for the library to find.
//   --library=<path>  load this library and call its exports
//   --linked          run the linked flow instead, with --no-admin and --limit=<ms>
//   --owner           give the message boxes an owner window
//   --sleep=<ms>      only wait this long and end (a slow batch runs it)
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "common/win32.h"
#include <shellapi.h>

#include "uninstall_hook/uninstall_hook.h"

namespace {

std::string Utf8(const std::wstring& text)
{
    std::string bytes(text.size() * 3, '\0');
    bytes.resize(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0],
                                     static_cast<int>(bytes.size()), nullptr, nullptr));
    return bytes;
}

BOOL CALLBACK FindBox(HWND window, LPARAM context)
{
    char className[16] = "";
    GetClassNameA(window, className, sizeof(className));
    if (std::string(className) != "#32770") {
        return TRUE;
    }
    *reinterpret_cast<HWND*>(context) = window;
    return FALSE;
}

// Watches the calling thread's windows; only boxes of this process count,
// since other tests show theirs on the same desktop.
void CloseBoxes(DWORD threadId, HWND owner, const std::atomic<bool>& done)
{
    while (!done) {
        HWND box = nullptr;
        EnumThreadWindows(threadId, FindBox, reinterpret_cast<LPARAM>(&box));
        if (box) {
            wchar_t caption[256] = L"";
            wchar_t text[512] = L"";
            GetWindowTextW(box, caption, 256);
            GetDlgItemTextW(box, 0xFFFF, text, 512);
            const bool owned = owner && GetWindow(box, GW_OWNER) == owner;
            std::printf("box: %s | %s | owned %s\n", Utf8(caption).c_str(), Utf8(text).c_str(),
                        owned ? "yes" : "no");
            std::fflush(stdout);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            while (IsWindow(box)) {
                Sleep(10);
            }
        }
        Sleep(20);
    }
}

bool NoAdminRights() { return false; }
bool AdminRights() { return true; }

using Entry = LONG(WINAPI*)(HWND, HINSTANCE, LONG);

} // namespace

int main()
{
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring library;
    bool linked = false, noAdmin = false, withOwner = false;
    DWORD limit = 45000;
    for (int i = 1; i < count; ++i) {
        const std::wstring arg = args[i];
        if (arg.rfind(L"--library=", 0) == 0) library = arg.substr(10);
        if (arg == L"--linked") linked = true;
        if (arg == L"--no-admin") noAdmin = true;
        if (arg == L"--owner") withOwner = true;
        if (arg.rfind(L"--limit=", 0) == 0) limit = std::stoul(arg.substr(8));
        if (arg.rfind(L"--sleep=", 0) == 0) {
            Sleep(std::stoul(arg.substr(8)));
            return 0;
        }
    }

    HWND owner = withOwner ? CreateWindowExW(0, L"STATIC", L"uninstaller", WS_OVERLAPPED, 0, 0, 100, 100,
                                             nullptr, nullptr, nullptr, nullptr)
                           : nullptr;
    std::atomic<bool> done{false};
    std::thread watcher(CloseBoxes, GetCurrentThreadId(), owner, std::cref(done));

    LONG result = 0, uninitResult = 0;
    if (linked) {
        result = RunUninstallHook(owner, {noAdmin ? NoAdminRights : AdminRights, limit});
    } else {
        HMODULE module = LoadLibraryW(library.c_str());
        const auto init = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "UninstInitialize")));
        const auto uninit = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "UninstUnInitialize")));
        if (!init || !uninit) {
            std::printf("library not loaded\n");
            done = true;
            watcher.join();
            return 2;
        }
        result = init(owner, nullptr, 0);
        uninitResult = uninit(owner, nullptr, 0);
        FreeLibrary(module);
    }
    done = true;
    watcher.join();
    std::printf("result: %ld\nuninit: %ld\n", result, uninitResult);
    return 0;
}
