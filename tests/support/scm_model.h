// A model of the Windows service control manager for unit tests of code that
// calls the manager through Scm() (service_tool/service/scm_api.h).
//
// While a ScmModel object lives, Scm() points at it; its destructor restores
// the system's functions. It behaves like Windows where Wine falls short:
// dependents are listed, a stop with running dependents is refused (1051),
// EnumServicesStatusW honours resume handles. Time is virtual: Sleep adds to
// `now` and returns at once, and a pending service reaches its target state
// once `now` passes the moment the control was sent plus its delay.
//
//   ScmModel scm;
//   scm.Add(L"db", L"\"C:\\db\\bin\\mysqld.exe\" --defaults-file=x", SERVICE_RUNNING);
//   scm.Add(L"web", L"C:\\web\\app.exe", SERVICE_RUNNING, {L"db"}).stopDelay = 1000;
//   ServiceControl db(L"db");
//   db.Stop(true);             // scm.controls == {L"stop web", L"stop db"}
//   EXPECT_EQ(0, scm.OpenHandles());
//
// Answers, as Windows gives them:
//   OpenSCManagerW  managerOpenError if set; OpenServiceW  1060 unknown name,
//     else the service's openError if set
//   5 for a call on a service handle opened without its right: GENERIC_READ
//     for the queries and dependents, GENERIC_EXECUTE for start and stop,
//     DELETE for DeleteService (GENERIC_ALL grants everything)
//   QueryServiceConfigW, QueryServiceStatusEx: 122 with the needed size for a
//     short buffer, else configError / statusError if set
//   EnumDependentServicesW: the direct dependents (services listing this one
//     in dependsOn) in the order added, filtered by state; success with none,
//     234 with the needed size for a short buffer
//   EnumServicesStatusW: passes of at most entriesPerPass services (0: all) in
//     the order added, each answered whole or with 234 and its size; 234 with
//     the resume handle on the next pass while more remain, success and
//     resume handle 0 for the last; enumError if set
//   ControlService(STOP): 1062 stopped, 1061 pending, 1051 a dependent not
//     stopped, stopError if set (1052: refuses), else stop pending for
//     stopDelay ms, then stopped
//   StartServiceW: 1056 not stopped, startError if set, else start pending
//     for startDelay ms, then running
//   DeleteService: 1072 when already marked; the service goes once it is
//     stopped and its last handle is closed
#pragma once

#include <list>
#include <string>
#include <vector>

#include "service_tool/service/scm_api.h"

struct ModelService {
    std::wstring name;
    std::wstring commandLine;             // lpBinaryPathName as configured
    DWORD state = SERVICE_STOPPED;
    std::vector<std::wstring> dependsOn;  // services this one depends on
    DWORD stopDelay = 0;                  // ms in stop pending; INFINITE: stays there
    DWORD startDelay = 0;                 // ms in start pending; INFINITE: stays there
    DWORD stopError = 0;                  // ControlService(STOP) fails with this code
    DWORD startError = 0;                 // StartServiceW fails with this code
    DWORD openError = 0;                  // OpenServiceW fails with this code
    DWORD configError = 0;                // QueryServiceConfigW fails with this code
    DWORD statusError = 0;                // QueryServiceStatusEx fails with this code
    bool markedForDelete = false;
    ULONGLONG pendingUntil = ~0ULL;       // moment a pending state ends (added: never)
};

class ScmModel {
public:
    ScmModel();
    ~ScmModel();
    ScmModel(const ScmModel&) = delete;
    ScmModel& operator=(const ScmModel&) = delete;

    // Adds a service (order of adding = order of enumeration); the reference
    // stays valid while the service exists.
    ModelService& Add(const std::wstring& name, const std::wstring& commandLine,
                      DWORD state = SERVICE_STOPPED, std::vector<std::wstring> dependsOn = {});
    // Null once the service is gone (deleted and closed) or never existed.
    ModelService* Find(const std::wstring& name);
    // Current state (advancing pending states to now); 0 for no such service.
    DWORD State(const std::wstring& name);
    // Handles opened and not yet closed.
    int OpenHandles() const { return opens - closes; }

    // Manager behaviour.
    DWORD managerOpenError = 0;
    DWORD enumError = 0;
    DWORD entriesPerPass = 0;

    // What the code under test did.
    ULONGLONG now = 0;                  // virtual ms, advanced by Sleep only
    int sleeps = 0;
    int opens = 0;                      // successful OpenSCManagerW + OpenServiceW
    int closes = 0;                     // successful CloseServiceHandle
    int badCloses = 0;                  // unknown handle, or a manager closed before its services
    int enumCalls = 0;                  // EnumServicesStatusW calls
    std::vector<std::wstring> controls; // "stop <name>" / "start <name>" / "delete <name>", as sent
    std::vector<std::wstring> serviceOpens; // "<name> <access as hex>", per OpenServiceW call

private:
    friend struct ScmModelCalls;
    struct Handle {
        uintptr_t id;
        uintptr_t manager;    // 0 for a manager handle, else the manager it was opened through
        std::wstring service;
        DWORD rights;         // as requested
    };
    std::list<Handle> handles;
    std::list<ModelService> services;
    uintptr_t nextHandle = 0x1000;
};
