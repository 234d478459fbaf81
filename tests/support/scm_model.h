// A model of the service control manager behind Scm() for unit tests, acting
// as Windows does where Wine falls short: dependents are listed direct and
// indirect, each once, every one before the services it depends on; a stop
// with any active dependent is refused (1051); EnumServicesStatusW honours
// resume handles. Time is virtual: Sleep adds to `now`, and a pending state
// ends once `now` reaches the moment of the control plus the service's delay.
// Rights are granted as Windows grants them by default: an administrator
// holds every right on the manager and `adminRights` on a service; a standard
// user may open either only for reading. An open that asks for more than the
// caller holds fails with 5, and so does a call on a handle opened without
// the specific right it needs. `asked` records every open's requested access.
// The *Error fields make a call fail. A service that `failsToStart` ends its
// start pending in stopped, as a server does whose process ends (or reports
// stopped) while it starts, with its exit codes in its status. A start of a
// service marked for deletion fails with 1072; stopped services it depends
// on are started first, at once, and 1068 is the answer where one fails.
#pragma once

#include <list>
#include <map>
#include <string>
#include <vector>

#include "service_tool/service/scm_api.h"

struct ModelService {
    std::wstring name;
    std::wstring commandLine;
    DWORD state = SERVICE_STOPPED;
    std::vector<std::wstring> dependsOn;
    DWORD stopDelay = 0;  // ms in stop pending; INFINITE: stays there
    DWORD startDelay = 0; // ms in start pending; INFINITE: stays there
    DWORD stopError = 0;
    int stopErrors = -1;  // how many stop controls fail with stopError; -1: all
    DWORD startError = 0;
    bool failsToStart = false;
    DWORD exitCode = 0;         // dwWin32ExitCode while stopped
    DWORD specificExitCode = 0; // dwServiceSpecificExitCode while stopped
    DWORD openError = 0;
    DWORD configError = 0;
    DWORD statusError = 0;
    DWORD dependentsError = 0;
    DWORD adminRights = SERVICE_ALL_ACCESS; // what an administrator may open it with (generic rights map)
    bool markedForDelete = false;
    bool heldElsewhere = false; // another program holds a handle: a marked service stays
    ULONGLONG pendingUntil = ~0ULL;
};

class ScmModel {
public:
    ScmModel();  // points Scm() at this model
    ~ScmModel(); // restores the system's functions
    ScmModel(const ScmModel&) = delete;
    ScmModel& operator=(const ScmModel&) = delete;

    // Order of adding is the order of enumeration.
    ModelService& Add(const std::wstring& name, const std::wstring& commandLine,
                      DWORD state = SERVICE_STOPPED, std::vector<std::wstring> dependsOn = {});
    ModelService* Find(const std::wstring& name); // null once deleted and closed
    DWORD State(const std::wstring& name);        // 0 for no such service
    int OpenHandles() const { return opens - closes; }

    bool standardUser = false; // the caller; else an administrator
    DWORD managerOpenError = 0;
    DWORD enumError = 0;
    DWORD entriesPerPass = 0; // 0: all in one pass

    ULONGLONG now = 0;
    int sleeps = 0;
    int opens = 0;
    int closes = 0;
    int badCloses = 0; // unknown handle, or a manager closed before its services
    std::vector<std::wstring> controls; // "stop <name>", "start <name>", "delete <name>"
    std::vector<std::wstring> asked;    // "<name or manager> <access in hex>", one per open

private:
    friend struct ScmModelCalls;
    struct Handle {
        uintptr_t id;
        uintptr_t manager; // 0 for a manager handle
        std::wstring service;
        DWORD rights;
    };
    std::map<uintptr_t, Handle> handles;
    std::list<ModelService> services;
    uintptr_t nextHandle = 0x1000;
};
