#include "service_tool/service/service_control.h"

#include <algorithm>
#include <shlwapi.h>

#include "service_tool/service/scm_api.h"

namespace {

const wchar_t* const stateNames[] = {
    L"unknown",
    L"stopped",
    L"start pending",
    L"stop pending",
    L"running",
    L"continue pending",
    L"pause pending",
    L"pause",
};

// Manager and service handles of one operation. The service handle is
// declared last so that it is closed before the manager handle.
struct OpenedService {
    ServiceHandle manager;
    ServiceHandle service;
};

// Opens the local manager (read rights) and the service with the given
// rights; on failure records the error code and leaves nothing open.
bool OpenService(const std::wstring& name, DWORD serviceAccess, OpenedService& opened, DWORD& lastError)
{
    opened.manager.Reset(Scm().OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
    if (!opened.manager) {
        lastError = ::GetLastError();
        return false;
    }
    opened.service.Reset(Scm().OpenServiceW(opened.manager.Get(), name.c_str(), serviceAccess));
    if (!opened.service) {
        lastError = ::GetLastError();
        opened.manager.Reset();
        return false;
    }
    return true;
}

// Never hands out a buffer smaller than the record read from it, whatever
// size the manager asked for.
std::unique_ptr<BYTE[]> AllocateRecord(DWORD needed, size_t recordSize)
{
    return std::unique_ptr<BYTE[]>(new BYTE[std::max<size_t>(needed, recordSize)]());
}

} // namespace

const wchar_t* ServiceStateName(DWORD state)
{
    return state <= SERVICE_PAUSED ? stateNames[state] : stateNames[0];
}

ServiceControl::ServiceControl(std::wstring serviceName) : name(std::move(serviceName)) {}

bool ServiceControl::QueryConfig()
{
    config.reset();
    OpenedService opened;
    if (!OpenService(name, GENERIC_READ, opened, lastError)) {
        return false;
    }
    DWORD needed = 0;
    if (!Scm().QueryServiceConfigW(opened.service.Get(), nullptr, 0, &needed)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            lastError = error;
            return false;
        }
    }
    config = AllocateRecord(needed, sizeof(QUERY_SERVICE_CONFIGW));
    if (!Scm().QueryServiceConfigW(opened.service.Get(),
                                   reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.get()), needed,
                                   &needed)) {
        lastError = ::GetLastError();
        config.reset();
        return false;
    }
    return true;
}

bool ServiceControl::QueryStatus()
{
    status.reset();
    OpenedService opened;
    if (!OpenService(name, GENERIC_READ, opened, lastError)) {
        return false;
    }
    DWORD needed = 0;
    if (!Scm().QueryServiceStatusEx(opened.service.Get(), SC_STATUS_PROCESS_INFO, nullptr, 0, &needed)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            lastError = error;
            return false;
        }
    }
    status = AllocateRecord(needed, sizeof(SERVICE_STATUS_PROCESS));
    if (!Scm().QueryServiceStatusEx(opened.service.Get(), SC_STATUS_PROCESS_INFO, status.get(), needed,
                                    &needed)) {
        lastError = ::GetLastError();
        status.reset();
        return false;
    }
    return true;
}

std::wstring ServiceControl::GetBinaryPath()
{
    if (!QueryConfig()) {
        return std::wstring();
    }
    const wchar_t* commandLine = Config()->lpBinaryPathName;
    if (!commandLine) {
        return std::wstring();
    }
    std::vector<wchar_t> path(commandLine, commandLine + wcslen(commandLine) + 1);
    ::PathRemoveArgsW(path.data());
    ::PathUnquoteSpacesW(path.data());
    return std::wstring(path.data());
}

ServiceNameList ServiceControl::GetDependents(DWORD stateFilter)
{
    ServiceNameList result;
    OpenedService opened;
    if (!OpenService(name, GENERIC_READ, opened, lastError)) {
        return result;
    }
    DWORD needed = 0;
    DWORD count = 0;
    if (Scm().EnumDependentServicesW(opened.service.Get(), stateFilter, nullptr, 0, &needed, &count)) {
        result.valid = true;
        return result;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_MORE_DATA) {
        lastError = error;
        return result;
    }
    std::unique_ptr<BYTE[]> buffer(new BYTE[needed]());
    auto* entries = reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.get());
    if (!Scm().EnumDependentServicesW(opened.service.Get(), stateFilter, entries, needed, &needed, &count)) {
        lastError = ::GetLastError();
        return result;
    }
    for (DWORD i = 0; i < count; ++i) {
        result.names.emplace_back(entries[i].lpServiceName);
    }
    result.valid = true;
    return result;
}

bool ServiceControl::StopDependents()
{
    const ServiceNameList dependents = GetDependents(SERVICE_ACTIVE);
    if (!dependents.valid) {
        return false;
    }
    std::vector<std::wstring> stopped;
    for (const std::wstring& dependent : dependents.names) {
        if (ServiceControl(dependent).Stop(false)) {
            stopped.push_back(dependent);
            continue;
        }
        // Bring back what was already stopped, the last stopped first; the
        // dependent's own error stays with it, this service records why it
        // could not be stopped.
        for (auto it = stopped.rbegin(); it != stopped.rend(); ++it) {
            ServiceControl(*it).Start();
        }
        lastError = ERROR_DEPENDENT_SERVICES_RUNNING;
        return false;
    }
    return true;
}

bool ServiceControl::Stop(bool withDependents)
{
    if (!QueryStatus()) {
        return false;
    }
    if (CurrentState() != SERVICE_RUNNING) {
        return true;
    }
    if (withDependents && !StopDependents()) {
        return false;
    }
    {
        OpenedService opened;
        if (!OpenService(name, GENERIC_EXECUTE, opened, lastError)) {
            return false;
        }
        SERVICE_STATUS answer = {};
        if (!Scm().ControlService(opened.service.Get(), SERVICE_CONTROL_STOP, &answer)) {
            lastError = ::GetLastError();
            return false;
        }
    }
    return WaitForState(SERVICE_STOPPED);
}

bool ServiceControl::Start()
{
    if (!QueryStatus()) {
        return false;
    }
    if (CurrentState() != SERVICE_STOPPED) {
        return true;
    }
    {
        OpenedService opened;
        if (!OpenService(name, GENERIC_EXECUTE, opened, lastError)) {
            return false;
        }
        if (!Scm().StartServiceW(opened.service.Get(), 0, nullptr)) {
            lastError = ::GetLastError();
            return false;
        }
    }
    return WaitForState(SERVICE_RUNNING);
}

bool ServiceControl::WaitForState(DWORD targetState)
{
    // The state is polled after each pause; a state seen at the poll that
    // reaches the limit still counts.
    for (DWORD waited = 0; waited <= StateWaitLimit; waited += StatePollInterval) {
        Scm().Sleep(StatePollInterval);
        if (!QueryStatus()) {
            return false;
        }
        if (CurrentState() == targetState) {
            return true;
        }
        // A server that fails while it starts (bad configuration, port in
        // use) is stopped within moments and tells why in its exit code; a
        // stop, however, may be seen running again before the service has
        // taken the control in, so only the start ends early.
        if (targetState == SERVICE_RUNNING && CurrentState() == SERVICE_STOPPED) {
            const SERVICE_STATUS_PROCESS& stopped = *Status();
            lastError = stopped.dwWin32ExitCode != NO_ERROR ? stopped.dwWin32ExitCode : ERROR_SERVICE_NOT_ACTIVE;
            if (lastError == ERROR_SERVICE_SPECIFIC_ERROR) {
                serviceSpecificExitCode = stopped.dwServiceSpecificExitCode;
            }
            return false;
        }
    }
    lastError = ERROR_SERVICE_REQUEST_TIMEOUT;
    return false;
}

const QUERY_SERVICE_CONFIGW* ServiceControl::Config() const
{
    return reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.get());
}

const SERVICE_STATUS_PROCESS* ServiceControl::Status() const
{
    return reinterpret_cast<const SERVICE_STATUS_PROCESS*>(status.get());
}

DWORD ServiceControl::CurrentState() const
{
    return status ? Status()->dwCurrentState : 0;
}
