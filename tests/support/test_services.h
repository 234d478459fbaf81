// Services registered in the test prefix's real service manager, for
// end-to-end tests with the stand-in server. The destructor stops and deletes
// the service and waits until the manager has removed it, so the next test
// can register the same name.
#pragma once

#include <initializer_list>
#include <string>

#include "common/win32.h"
#include "tests/support/run_process.h"

class TestService {
public:
    // An own-process, demand-start service; a leftover of the name goes first.
    TestService(std::wstring name, const std::wstring& commandLine);
    ~TestService();
    TestService(const TestService&) = delete;
    TestService& operator=(const TestService&) = delete;

    bool Registered() const { return registered; }
    const std::wstring& Name() const { return name; }

    // Start or stop, then wait up to 15 s for the state; on failure error
    // holds the code.
    bool Start(DWORD state = SERVICE_RUNNING);
    bool Stop();
    DWORD State(); // 0 when it cannot be read

    DWORD error = 0;

private:
    std::wstring name;
    bool registered = false;
};

// For services that a program under test registered (an installer, say):
// the state (0 when it cannot be read), the start type and executable path
// as "<start type> <path>" (empty when unreadable), a new command line (from
// the next start on), and a removal that stops the service first and waits
// until the manager has dropped it.
DWORD ServiceStateOf(const std::wstring& name);
std::wstring ServiceConfigOf(const std::wstring& name);
bool SetServiceCommandLine(const std::wstring& name, const std::wstring& commandLine);
void RemoveService(const std::wstring& name);

// A program directory for end-to-end runs: a copy of Quillon.exe beside the
// stand-in server under each of the given file names.
bool CopyQuillonAndServers(const TempDir& dir, std::initializer_list<const wchar_t*> serverFiles);
