// The calls Quillon makes to the service control manager, and the sleep
// between status polls, go through this table. The program uses the system's
// functions; tests point the table at a model of the manager.
#pragma once

#include "common/handles.h"
#include "common/win32.h"

struct ScmApi {
    decltype(&::OpenSCManagerW) OpenSCManagerW;
    decltype(&::OpenServiceW) OpenServiceW;
    decltype(&::CloseServiceHandle) CloseServiceHandle;
    decltype(&::QueryServiceConfigW) QueryServiceConfigW;
    decltype(&::QueryServiceStatusEx) QueryServiceStatusEx;
    decltype(&::EnumServicesStatusW) EnumServicesStatusW;
    decltype(&::EnumDependentServicesW) EnumDependentServicesW;
    decltype(&::ControlService) ControlService;
    decltype(&::StartServiceW) StartServiceW;
    decltype(&::DeleteService) DeleteService;
    decltype(&::Sleep) Sleep;
};

// The table in use.
const ScmApi& Scm();
// Replaces the table (tests only); null restores the system's functions.
void SetScmApi(const ScmApi* api);

// Handles to the manager and to services, closed through the table.
struct ServiceHandleTraits {
    using Value = SC_HANDLE;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value handle) noexcept { Scm().CloseServiceHandle(handle); }
};
using ServiceHandle = UniqueHandle<ServiceHandleTraits>;
