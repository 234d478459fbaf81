#include "uninstall_hook/uninstall_hook.h"

#include <mbstring.h>
#include <shlwapi.h>

#include <cstring>
#include <vector>

#include "common/handles.h"
#include "uninstall_hook/command_line_tokenizer.h"
#include "uninstall_hook/resource_ids.h"

namespace {

const char stopBatchName[] = "stop_mysql.bat";
const char messageCaption[] = "Brelkin MySQL-Deinstallation";

const unsigned char* Bytes(const char* text)
{
    return reinterpret_cast<const unsigned char*>(text);
}

// "-c" at the very start, directly followed by the path of a ".DLL" file.
bool IsHookToken(const std::string& token)
{
    if (_mbsstr(Bytes(token.c_str()), Bytes("-c")) != Bytes(token.c_str())) {
        return false;
    }
    return _mbsicmp(Bytes(::PathFindExtensionA(token.c_str())), Bytes(".DLL")) == 0;
}

// "stop_mysql.bat" in the directory of the library path that follows "-c";
// empty when that does not fit in a path buffer, so that nothing else (the
// directory itself, a cut-off name) is taken for the batch.
std::string StopBatchPath(const std::string& hookToken)
{
    const std::string libraryPath = hookToken.substr(2);
    char path[MAX_PATH];
    if (libraryPath.size() >= sizeof(path)) {
        return {};
    }
    std::memcpy(path, libraryPath.c_str(), libraryPath.size() + 1);
    ::PathRemoveFileSpecA(path);
    if (!::PathAppendA(path, stopBatchName)) {
        return {};
    }
    return path;
}

// The module that holds this code and the string table linked with it.
HMODULE ThisModule()
{
    HMODULE module = nullptr;
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS
                             | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         stopBatchName, &module);
    return module;
}

} // namespace

LONG RunUninstallHook(HWND owner, const UninstallHookSettings& settings)
{
    if (!settings.hasAdminRights()) {
        ShowUninstallError(owner, IDS_NO_ADMIN_RIGHTS);
        return -1;
    }

    // The first qualifying token counts; the program path is tested as well.
    CommandLineTokenizer tokenizer(::GetCommandLineA(), ' ');
    std::string hookToken;
    for (std::string token = tokenizer.NextToken(); !token.empty(); token = tokenizer.NextToken()) {
        if (IsHookToken(token)) {
            hookToken = token;
            break;
        }
    }
    if (hookToken.empty()) {
        ShowUninstallError(owner, IDS_INVALID_UNINSTALL_ENTRY);
        return -1;
    }

    const std::string batchPath = StopBatchPath(hookToken);
    if (batchPath.empty() || !::PathFileExistsA(batchPath.c_str())) {
        ShowUninstallError(owner, IDS_STOP_BATCH_MISSING);
        return -1;
    }

    if (!RunStopBatch(batchPath, settings.batchTimeLimitMs)) {
        ShowUninstallError(owner, IDS_STOP_FAILED);
        return -1;
    }
    return 0;
}

bool RunStopBatch(const std::string& batchPath, DWORD timeLimitMs)
{
    // With no interpreter named there is nothing to start.
    const std::string interpreter = ReadEnvironmentVariable("comspec");
    if (interpreter.empty()) {
        return false;
    }
    // The outer pair of quotes is the one that "cmd /c" strips from a line
    // that holds "(", ")" or "&", as paths under "Program Files (x86)" do.
    const std::string commandLine = interpreter + " /c \"\"" + batchPath + "\"\"";
    // CreateProcessA may write into its command line.
    std::vector<char> writableLine(commandLine.begin(), commandLine.end());
    writableLine.push_back('\0');

    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created = {};
    // The interpreter is named as the program too: from the line alone,
    // Windows would take the words before a blank in its path for a shorter
    // one ("C:\Program.exe" for "C:\Program Files\x\cmd.exe").
    if (!::CreateProcessA(interpreter.c_str(), writableLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &created)) {
        return false;
    }
    KernelHandle process(created.hProcess);
    KernelHandle(created.hThread).Reset();

    if (::WaitForSingleObject(process.Get(), timeLimitMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.Get(), 0);
        return false;
    }
    return true;
}

std::string ReadEnvironmentVariable(const char* name)
{
    std::string value;
    DWORD needed = ::GetEnvironmentVariableA(name, nullptr, 0);
    // Asked again while the value grows between the two calls.
    while (needed > 0) {
        value.resize(needed);
        const DWORD written = ::GetEnvironmentVariableA(name, &value[0], needed);
        if (written < needed) {
            value.resize(written);
            return value;
        }
        needed = written;
    }
    value.clear();
    return value;
}

void ShowUninstallError(HWND owner, UINT messageId)
{
    char text[512] = "";
    ::LoadStringA(ThisModule(), messageId, text, sizeof(text));
    ::MessageBoxA(owner, text, messageCaption, MB_ICONERROR);
}
