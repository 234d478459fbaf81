// One Windows service by its key name, and the operations the commands need.
// Every operation opens and closes its own handles to the manager and the
// service; no handle outlives an operation.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/win32.h"

// Service names in the order of their source, and whether they were obtained.
struct ServiceNameList {
    std::vector<std::wstring> names;
    bool valid = false;
};

// Poll interval and accumulated wait limit of Stop and Start.
constexpr DWORD StatePollInterval = 200;
constexpr DWORD StateWaitLimit = 120000;

// "stopped", "start pending", ... for the states 1 to 7, else "unknown".
const wchar_t* ServiceStateName(DWORD state);

class ServiceControl {
public:
    explicit ServiceControl(std::wstring serviceName);

    bool QueryConfig();
    bool QueryStatus();
    // Executable path of the service (configured command line without its
    // arguments and quotes); empty on failure.
    std::wstring GetBinaryPath();
    ServiceNameList GetDependents(DWORD stateFilter);
    bool StopDependents();
    bool Stop(bool withDependents);
    bool Start();

    // The configuration and status read by the last successful query; null
    // before one succeeded.
    const QUERY_SERVICE_CONFIGW* Config() const;
    const SERVICE_STATUS_PROCESS* Status() const;
    // dwCurrentState of the last successful QueryStatus; 0 before one.
    DWORD CurrentState() const;

    DWORD lastError = 0;  // code of the last failing platform call; never reset
    // The service's own code when a start ended with lastError 1066
    // (ERROR_SERVICE_SPECIFIC_ERROR); read only together with it.
    DWORD serviceSpecificExitCode = 0;
    std::wstring name;    // key name, passed to OpenServiceW unchanged
    std::unique_ptr<BYTE[]> config; // as large as the manager asked for
    std::unique_ptr<BYTE[]> status;

private:
    // Polls the state every StatePollInterval until it is targetState or the
    // accumulated wait passes StateWaitLimit (then lastError is 1053). A
    // service that is stopped while it should come up has failed to start:
    // the wait ends there with the service's own exit code.
    bool WaitForState(DWORD targetState);
};
