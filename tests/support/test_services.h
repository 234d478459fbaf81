// Services registered in the test prefix's real service manager, for
// end-to-end tests with the stand-in server (standin_server.exe).
//
//   TempDir dir;                                   // declare before the service
//   CopyFileTo(BinPath(L"standin_server.exe"), dir.File(L"mysqld.exe"));
//   TestService db(L"qt_db", Quoted(dir.File(L"mysqld.exe")) + L" --stop-delay=300");
//   ASSERT_TRUE(db.Registered()) << db.error;
//   ASSERT_TRUE(db.Start());
//
// The destructor stops the service (a stand-in started with --refuse-stop is
// first told to accept the stop) and deletes it, waiting until the manager
// has really removed it, so the next test can register the same name.
#pragma once

#include <string>
#include <vector>

#include "common/win32.h"

class TestService {
public:
    // Registers an own-process, demand-start service with this command line.
    // A leftover service of the same name is removed first.
    TestService(std::wstring name, const std::wstring& commandLine,
                const std::vector<std::wstring>& dependsOn = {});
    ~TestService();
    TestService(const TestService&) = delete;
    TestService& operator=(const TestService&) = delete;

    bool Registered() const { return registered; }
    const std::wstring& Name() const { return name; }

    // Starts or stops through the real manager and waits (up to 15 s) for
    // running / stopped. False on failure (error holds the code).
    bool Start();
    bool Stop();
    // Current state, 0 when it cannot be read.
    DWORD State();
    // Waits up to timeoutMs for the state.
    bool WaitForState(DWORD state, DWORD timeoutMs);

    DWORD error = 0;

private:
    std::wstring name;
    std::wstring commandLine;
    bool registered = false;
};

// Removes a service of this name from the real manager (stopping it first)
// and waits until it is gone; true when it is gone.
bool RemoveTestService(const std::wstring& name);

// Creates "<exe path>.allow-stop": a stand-in running with --refuse-stop then
// begins to accept the stop control.
void AllowStandinStop(const std::wstring& exePath);
