// Stand-in for the installer engine's uninstaller: calls UninstInitialize and
// UninstUnInitialize as the engine does and reports on standard output (UTF-8)
// the results and every message box shown meanwhile (caption, text, owner,
// icon, buttons), closing each one. Its own options start with "--", so they
// never count as the hook token:
//   --library=<path>  load this library and call its exports
//   --linked          run the linked flow instead; --no-admin denies the rights
//   --owner           give the message boxes an owner window
//   --sleep=<ms>      only wait this long, or until the program that started
//                     it ends, and end (a slow batch runs it); in the latter
//                     case it appends that program's exit code to the file
//                     that STANDIN_RECORD names
// Started with a "/c" argument, as Tolvane starts comspec, it stands in for the
// command interpreter instead: it appends to the file that STANDIN_RECORD names
// its command line, program, current directory, console (none, or one with or
// without a window) and start-up flags, and tries to write a line into the
// standard output of the uninstaller, which only gets there through an
// inherited handle.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/handles.h"
#include "common/win32.h"
#include <shellapi.h>
#include <tlhelp32.h>

#include "uninstall_hook/uninstall_hook.h"

namespace {

std::string Utf8(const wchar_t* text)
{
    char bytes[1536] = "";
    WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
    return bytes;
}

BOOL CALLBACK FindBox(HWND window, LPARAM found)
{
    char className[16] = "";
    GetClassNameA(window, className, sizeof(className));
    *reinterpret_cast<HWND*>(found) = std::string(className) == "#32770" ? window : nullptr;
    return *reinterpret_cast<HWND*>(found) == nullptr;
}

// "icon error" (the system's), "icon other" or "icon none", then the ids of
// the buttons shown.
std::string BoxLook(HWND box)
{
    std::string look = "icon none";
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        const HICON icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
        look = icon ? (icon == LoadIconA(nullptr, IDI_ERROR) ? "icon error" : "icon other") : look;
    }
    look += ", buttons";
    for (int id = IDOK; id <= IDCONTINUE; ++id) {
        const HWND button = GetDlgItem(box, id);
        look += button && (GetWindowLongW(button, GWL_STYLE) & WS_VISIBLE) ? " " + std::to_string(id) : "";
    }
    return look;
}

// Watches only the given thread's windows: other tests show boxes on the same desktop.
void CloseBoxes(DWORD threadId, HWND owner, const std::atomic<bool>& done)
{
    while (!done) {
        HWND box = nullptr;
        EnumThreadWindows(threadId, FindBox, reinterpret_cast<LPARAM>(&box));
        if (box) {
            // Shown once the box has set its text, icon and buttons.
            while (IsWindow(box) && !IsWindowVisible(box)) {
                Sleep(10);
            }
            wchar_t caption[256] = L"", text[512] = L"";
            GetWindowTextW(box, caption, 256);
            GetDlgItemTextW(box, 0xFFFF, text, 512);
            const bool owned = owner && GetWindow(box, GW_OWNER) == owner;
            std::printf("box: %s | %s | owned %s | %s\n", Utf8(caption).c_str(), Utf8(text).c_str(), owned ? "yes" : "no",
                        BoxLook(box).c_str());
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

Entry Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// As the slow program of a batch: waits for the interpreter that runs the
// batch, to see how it ended.
int SleepWatchingParent(DWORD ms)
{
    DWORD parentId = 0;
    const FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        parentId = entry.th32ProcessID == GetCurrentProcessId() ? entry.th32ParentProcessID : parentId;
    }
    const KernelHandle parent(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parentId));
    if (!parent) {
        Sleep(ms);
        return 0;
    }
    char path[MAX_PATH] = "";
    DWORD code = 0;
    FILE* record = WaitForSingleObject(parent.Get(), ms) == WAIT_OBJECT_0 && GetExitCodeProcess(parent.Get(), &code)
                           && GetEnvironmentVariableA("STANDIN_RECORD", path, MAX_PATH)
                       ? std::fopen(path, "ab")
                       : nullptr;
    if (record) {
        std::fprintf(record, "interpreter ended with %lu\n", code);
        std::fclose(record);
    }
    return 0;
}

// As the command interpreter: what it was started with.
int RecordInterpreterStart()
{
    char value[32] = "";
    if (GetEnvironmentVariableA("STANDIN_UNINSTALLER_OUTPUT", value, sizeof value)) {
        const char line[] = "interpreter inherited a handle\n";
        DWORD written = 0;
        const auto handle = static_cast<uintptr_t>(std::strtoull(value, nullptr, 10));
        WriteFile(reinterpret_cast<HANDLE>(handle), line, sizeof line - 1, &written, nullptr);
    }
    char path[MAX_PATH] = "", program[MAX_PATH] = "", directory[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    GetCurrentDirectoryA(MAX_PATH, directory);
    STARTUPINFOA startup = {};
    GetStartupInfoA(&startup);
    FILE* record = GetEnvironmentVariableA("STANDIN_RECORD", path, MAX_PATH) ? std::fopen(path, "ab") : nullptr;
    if (!record) {
        return 3;
    }
    // GetConsoleCP answers 0 without a console.
    const char* console = !GetConsoleCP() ? "none" : GetConsoleWindow() ? "with window" : "without window";
    std::fprintf(record, "%s\nprogram %s\ndirectory %s\nconsole %s\nstartup flags %lx\n", GetCommandLineA(), program,
                 directory, console, startup.dwFlags);
    std::fclose(record);
    return 0;
}

} // namespace

int main()
{
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    // The interpreter's path may hold blanks, so "/c" need not come second.
    for (int i = 1; i < count; ++i) {
        if (std::wstring(args[i]) == L"/c") {
            return RecordInterpreterStart();
        }
    }
    std::wstring library;
    bool linked = false, noAdmin = false, withOwner = false;
    for (int i = 1; i < count; ++i) {
        const std::wstring arg = args[i];
        if (arg.rfind(L"--sleep=", 0) == 0) {
            return SleepWatchingParent(std::stoul(arg.substr(8)));
        }
        library = arg.rfind(L"--library=", 0) == 0 ? arg.substr(10) : library;
        linked = linked || arg == L"--linked";
        noAdmin = noAdmin || arg == L"--no-admin";
        withOwner = withOwner || arg == L"--owner";
    }
    HWND owner = withOwner ? CreateWindowExW(0, L"STATIC", L"uninstaller", WS_OVERLAPPED, 0, 0, 100, 100, nullptr,
                                             nullptr, nullptr, nullptr)
                           : nullptr;
    HMODULE module = linked ? nullptr : LoadLibraryW(library.c_str());
    if (!linked && (!Export(module, "UninstInitialize") || !Export(module, "UninstUnInitialize"))) {
        std::printf("library not loaded\n");
        return 2;
    }
    // The engine is a windowed program without a console: an interpreter it
    // starts gets one (with a window) unless told otherwise.
    FreeConsole();
    // An engine's own inheritable handle, for the interpreter to find if it
    // inherits handles.
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    SetHandleInformation(output, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetEnvironmentVariableA("STANDIN_UNINSTALLER_OUTPUT",
                            std::to_string(reinterpret_cast<uintptr_t>(output)).c_str());
    std::atomic<bool> done{false};
    std::thread watcher(CloseBoxes, GetCurrentThreadId(), owner, std::cref(done));
    LONG result = 0, uninitResult = 0;
    if (linked) {
        result = RunUninstallHook(owner, {noAdmin ? NoAdminRights : AdminRights, 45000});
    } else {
        result = Export(module, "UninstInitialize")(owner, nullptr, 0);
        uninitResult = Export(module, "UninstUnInitialize")(owner, nullptr, 0);
        FreeLibrary(module);
    }
    done = true;
    watcher.join();
    std::printf("result: %ld\nuninit: %ld\n", result, uninitResult);
    return 0;
}
