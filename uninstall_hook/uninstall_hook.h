// What UninstInitialize does: check the rights, find the server's program
// directory in the uninstaller's command line and run "stop_mysql.bat" there.
#pragma once

#include <string>

#include "common/win32.h"

struct UninstallHookSettings {
    bool (*hasAdminRights)();
    DWORD batchTimeLimitMs;  // the interpreter is ended after this long
};

// 0 when the batch ran and ended in time; -1 after a failure that has been
// shown in a message box owned by owner.
LONG RunUninstallHook(HWND owner, const UninstallHookSettings& settings);

// True exactly when the interpreter ran the batch and ended within the limit;
// its exit code is not read.
bool RunStopBatch(const std::string& batchPath, DWORD timeLimitMs);

// The variable's value; empty when it is unset.
std::string ReadEnvironmentVariable(const char* name);

// Shows the text with this id from the string table of the module that holds
// this code (empty when there is none) in an error message box.
void ShowUninstallError(HWND owner, UINT messageId);
