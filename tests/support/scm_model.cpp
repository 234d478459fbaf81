#include "tests/support/scm_model.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace {

ScmModel* current = nullptr;

bool SameName(const std::wstring& a, const std::wstring& b)
{
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

BOOL Fail(DWORD error)
{
    ::SetLastError(error);
    return FALSE;
}

// Copies the text to `end` and moves `end` past it.
wchar_t* Put(wchar_t*& end, const std::wstring& text)
{
    wchar_t* start = end;
    memcpy(end, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    end += text.size() + 1;
    return start;
}

using Services = std::vector<ModelService*>;

DWORD ListSize(const Services& list)
{
    DWORD size = 0;
    for (const ModelService* service : list) {
        size += static_cast<DWORD>(sizeof(ENUM_SERVICE_STATUSW) + 2 * (service->name.size() + 1) * sizeof(wchar_t));
    }
    return size;
}

SERVICE_STATUS StatusOf(const ModelService& service)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = service.state;
    status.dwControlsAccepted = service.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    if (service.state == SERVICE_STOPPED) {
        status.dwWin32ExitCode = service.exitCode;
        status.dwServiceSpecificExitCode = service.specificExitCode;
    }
    return status;
}

// Entries first, their names (key and display name alike) behind them.
DWORD WriteEntries(const Services& list, void* buffer)
{
    auto* entries = static_cast<ENUM_SERVICE_STATUSW*>(buffer);
    auto* text = reinterpret_cast<wchar_t*>(entries + list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        entries[i].lpServiceName = Put(text, list[i]->name);
        entries[i].lpDisplayName = Put(text, list[i]->name);
        entries[i].ServiceStatus = StatusOf(*list[i]);
    }
    return static_cast<DWORD>(list.size());
}

// Generic rights as the manager maps them, for itself and for a service.
DWORD Specific(DWORD access, bool manager)
{
    GENERIC_MAPPING managerMapping = {STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS,
                                      STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG,
                                      STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK,
                                      SC_MANAGER_ALL_ACCESS};
    GENERIC_MAPPING serviceMapping = {STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS
                                          | SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS,
                                      STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG,
                                      STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE
                                          | SERVICE_USER_DEFINED_CONTROL,
                                      SERVICE_ALL_ACCESS};
    MapGenericMask(&access, manager ? &managerMapping : &serviceMapping);
    return access;
}

// What a standard user holds by default: connect and read on the manager,
// read (and user-defined controls) on a service.
const DWORD userManagerRights = SC_MANAGER_CONNECT | Specific(GENERIC_READ, true);
const DWORD userServiceRights = Specific(GENERIC_READ, false) | SERVICE_USER_DEFINED_CONTROL;

std::wstring Asked(const std::wstring& target, DWORD access)
{
    wchar_t hex[16];
    swprintf(hex, 16, L" %lx", static_cast<unsigned long>(access));
    return target + hex;
}

bool Matches(DWORD state, DWORD filter)
{
    return (filter & (state == SERVICE_STOPPED ? SERVICE_INACTIVE : SERVICE_ACTIVE)) != 0;
}

} // namespace

struct ScmModelCalls {
    static ScmModel& M() { return *current; }

    static ScmModel::Handle* Find(SC_HANDLE handle)
    {
        const auto found = M().handles.find(reinterpret_cast<uintptr_t>(handle));
        return found == M().handles.end() ? nullptr : &found->second;
    }

    static ScmModel::Handle* FindManager(SC_HANDLE handle)
    {
        ScmModel::Handle* h = Find(handle);
        return h && h->manager == 0 ? h : nullptr;
    }

    // The service behind a handle opened with the right, its pending state
    // brought up to now; null with the last error set otherwise.
    static ModelService* ServiceFor(SC_HANDLE handle, DWORD right)
    {
        ScmModel::Handle* h = Find(handle);
        if (!h || h->manager == 0) {
            return Fail(ERROR_INVALID_HANDLE), nullptr;
        }
        if ((h->rights & right) != right) {
            return Fail(ERROR_ACCESS_DENIED), nullptr;
        }
        M().State(h->service);
        return M().Find(h->service);
    }

    // Direct and indirect dependents, each once, every service after those
    // that depend on it (the reverse of a start order), so that stopping
    // them in list order works; the state filter picks from that order.
    static void AddDependents(const std::wstring& name, Services& order, std::set<ModelService*>& seen)
    {
        for (ModelService& other : M().services) {
            const bool depends = std::any_of(other.dependsOn.begin(), other.dependsOn.end(),
                                             [&](const std::wstring& d) { return SameName(d, name); });
            if (depends && seen.insert(&other).second) {
                AddDependents(other.name, order, seen);
                order.push_back(&other);
            }
        }
    }

    static Services Dependents(const std::wstring& name, DWORD filter)
    {
        Services order;
        std::set<ModelService*> seen;
        AddDependents(name, order, seen);
        Services list;
        for (ModelService* service : order) {
            if (Matches(M().State(service->name), filter)) {
                list.push_back(service);
            }
        }
        return list;
    }

    static SC_HANDLE NewHandle(uintptr_t manager, const std::wstring& service, DWORD rights)
    {
        ScmModel& m = M();
        m.handles[m.nextHandle] = {m.nextHandle, manager, service, rights};
        ++m.opens;
        return reinterpret_cast<SC_HANDLE>(m.nextHandle++);
    }

    // Connecting comes with every open of the manager.
    static SC_HANDLE WINAPI OpenManager(LPCWSTR, LPCWSTR, DWORD access)
    {
        ScmModel& m = M();
        m.asked.push_back(Asked(L"manager", access));
        const DWORD rights = Specific(access, true) | SC_MANAGER_CONNECT;
        const DWORD held = m.standardUser ? userManagerRights : SC_MANAGER_ALL_ACCESS;
        const DWORD error = m.managerOpenError ? m.managerOpenError : rights & ~held ? ERROR_ACCESS_DENIED : 0;
        return error ? (Fail(error), nullptr) : NewHandle(0, L"", rights);
    }

    static SC_HANDLE WINAPI OpenService(SC_HANDLE manager, LPCWSTR name, DWORD access)
    {
        ScmModel& m = M();
        m.asked.push_back(Asked(name, access));
        ScmModel::Handle* h = FindManager(manager);
        ModelService* service = m.Find(name);
        const DWORD rights = Specific(access, false);
        const DWORD error = !h ? ERROR_INVALID_HANDLE
                          : !service ? ERROR_SERVICE_DOES_NOT_EXIST
                          : service->openError ? service->openError
                          : rights & ~(m.standardUser ? userServiceRights : Specific(service->adminRights, false)) ? ERROR_ACCESS_DENIED
                                                                                                  : 0;
        return error ? (Fail(error), nullptr) : NewHandle(h->id, service->name, rights);
    }

    static BOOL WINAPI Close(SC_HANDLE handle)
    {
        ScmModel& m = M();
        ScmModel::Handle* h = Find(handle);
        if (!h) return ++m.badCloses, Fail(ERROR_INVALID_HANDLE);
        const uintptr_t id = h->id;
        const std::wstring name = h->service;
        m.handles.erase(id);
        ++m.closes;
        bool stillOpen = false;
        for (const auto& other : m.handles) {
            m.badCloses += other.second.manager == id;
            stillOpen = stillOpen || SameName(other.second.service, name);
        }
        ModelService* s = name.empty() ? nullptr : m.Find(name);
        if (s && s->markedForDelete && m.State(name) == SERVICE_STOPPED && !stillOpen && !s->heldElsewhere) {
            m.services.remove_if([&](const ModelService& x) { return &x == s; });
        }
        return TRUE;
    }

    static BOOL WINAPI QueryConfig(SC_HANDLE handle, LPQUERY_SERVICE_CONFIGW config, DWORD size, LPDWORD needed)
    {
        ModelService* s = ServiceFor(handle, SERVICE_QUERY_CONFIG);
        if (!s) return FALSE;
        // The record, then command line, display name and one empty string
        // that ends the dependency list and serves every other text field.
        *needed = static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGW) +
                                     (s->commandLine.size() + s->name.size() + 4) * sizeof(wchar_t));
        if (!config || size < *needed || s->configError) {
            return Fail(s->configError && config && size >= *needed ? s->configError : ERROR_INSUFFICIENT_BUFFER);
        }
        *config = {};
        config->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        config->dwStartType = SERVICE_DEMAND_START;
        auto* text = reinterpret_cast<wchar_t*>(config + 1);
        config->lpBinaryPathName = Put(text, s->commandLine);
        config->lpDisplayName = Put(text, s->name);
        text[0] = text[1] = 0;
        config->lpDependencies = config->lpLoadOrderGroup = config->lpServiceStartName = text;
        return TRUE;
    }

    static BOOL WINAPI QueryStatusEx(SC_HANDLE handle, SC_STATUS_TYPE, LPBYTE buffer, DWORD size, LPDWORD needed)
    {
        ModelService* s = ServiceFor(handle, SERVICE_QUERY_STATUS);
        if (!s) return FALSE;
        *needed = sizeof(SERVICE_STATUS_PROCESS);
        if (!buffer || size < *needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
        if (s->statusError) return Fail(s->statusError);
        auto* status = reinterpret_cast<SERVICE_STATUS_PROCESS*>(buffer);
        *status = {};
        const SERVICE_STATUS plain = StatusOf(*s);
        memcpy(status, &plain, sizeof plain);
        status->dwProcessId = s->state == SERVICE_STOPPED ? 0 : 4242;
        return TRUE;
    }

    static BOOL WINAPI EnumDependents(SC_HANDLE handle, DWORD filter, LPENUM_SERVICE_STATUSW buffer, DWORD size,
                                      LPDWORD needed, LPDWORD count)
    {
        ModelService* s = ServiceFor(handle, SERVICE_ENUMERATE_DEPENDENTS);
        if (!s) return FALSE;
        if (s->dependentsError) return Fail(s->dependentsError);
        const Services list = Dependents(s->name, filter);
        *needed = ListSize(list);
        *count = 0;
        if (!list.empty() && (!buffer || size < *needed)) {
            return Fail(ERROR_MORE_DATA);
        }
        *count = WriteEntries(list, buffer);
        return TRUE;
    }

    // Passes of at most entriesPerPass services; 234 with the resume handle
    // set while more remain, success and resume handle 0 for the last.
    static BOOL WINAPI EnumServices(SC_HANDLE manager, DWORD type, DWORD filter, LPENUM_SERVICE_STATUSW buffer,
                                    DWORD size, LPDWORD needed, LPDWORD count, LPDWORD resume)
    {
        ScmModel& m = M();
        *needed = *count = 0;
        ScmModel::Handle* h = FindManager(manager);
        if (!h || m.enumError) return Fail(m.enumError ? m.enumError : ERROR_INVALID_HANDLE);
        if (!(h->rights & SC_MANAGER_ENUMERATE_SERVICE)) return Fail(ERROR_ACCESS_DENIED);
        Services all;
        for (ModelService& s : m.services) {
            if ((type & SERVICE_WIN32_OWN_PROCESS) && Matches(m.State(s.name), filter)) {
                all.push_back(&s);
            }
        }
        const size_t limit = m.entriesPerPass ? m.entriesPerPass : all.size();
        auto pass = [&](size_t from) {
            from = std::min(from, all.size());
            return Services(all.begin() + from, all.begin() + std::min(all.size(), from + limit));
        };
        const size_t first = resume ? *resume : 0;
        const Services entries = pass(first);
        if (!entries.empty() && (!buffer || size < ListSize(entries))) {
            *needed = ListSize(entries);
            return Fail(ERROR_MORE_DATA);
        }
        *count = WriteEntries(entries, buffer);
        const size_t next = first + entries.size();
        if (resume) {
            *resume = next < all.size() ? static_cast<DWORD>(next) : 0;
        }
        *needed = ListSize(pass(next));
        return next < all.size() ? Fail(ERROR_MORE_DATA) : TRUE;
    }

    static void EnterPending(ModelService& s, DWORD state, DWORD delay)
    {
        s.state = state;
        s.pendingUntil = delay == INFINITE ? ~0ULL : M().now + delay;
    }

    static BOOL WINAPI Control(SC_HANDLE handle, DWORD, LPSERVICE_STATUS status)
    {
        ModelService* s = ServiceFor(handle, SERVICE_STOP);
        if (!s) return FALSE;
        M().controls.push_back(L"stop " + s->name);
        DWORD error = s->state == SERVICE_STOPPED ? ERROR_SERVICE_NOT_ACTIVE
                      : s->state == SERVICE_START_PENDING || s->state == SERVICE_STOP_PENDING
                          ? ERROR_SERVICE_CANNOT_ACCEPT_CTRL
                      : !Dependents(s->name, SERVICE_ACTIVE).empty() ? ERROR_DEPENDENT_SERVICES_RUNNING
                                                                     : 0;
        if (!error && s->stopError && s->stopErrors != 0) {
            error = s->stopError;
            if (s->stopErrors > 0) --s->stopErrors;
        }
        if (error) return Fail(error);
        EnterPending(*s, SERVICE_STOP_PENDING, s->stopDelay);
        *status = StatusOf(*s);
        return TRUE;
    }

    // The manager's own start: the stopped services it depends on first,
    // each waited for until it runs or has failed.
    static DWORD StartService(ModelService& s)
    {
        if (s.markedForDelete) return ERROR_SERVICE_MARKED_FOR_DELETE;
        if (s.state != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;
        if (s.startError) return s.startError;
        for (const std::wstring& name : s.dependsOn) {
            ModelService* dependency = M().Find(name);
            if (dependency && M().State(name) == SERVICE_STOPPED) {
                const bool started = StartService(*dependency) == 0 && !dependency->failsToStart;
                dependency->state = started ? SERVICE_RUNNING : SERVICE_STOPPED;
                if (!started) return ERROR_SERVICE_DEPENDENCY_FAIL;
            }
        }
        EnterPending(s, SERVICE_START_PENDING, s.startDelay);
        return 0;
    }

    static BOOL WINAPI Start(SC_HANDLE handle, DWORD, LPCWSTR*)
    {
        ModelService* s = ServiceFor(handle, SERVICE_START);
        if (!s) return FALSE;
        M().controls.push_back(L"start " + s->name);
        const DWORD error = StartService(*s);
        return error ? Fail(error) : TRUE;
    }

    static BOOL WINAPI Delete(SC_HANDLE handle)
    {
        ModelService* s = ServiceFor(handle, DELETE);
        if (!s) return FALSE;
        M().controls.push_back(L"delete " + s->name);
        if (s->markedForDelete) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
        s->markedForDelete = true;
        return TRUE;
    }

    static void WINAPI Sleep(DWORD ms)
    {
        M().now += ms;
        ++M().sleeps;
    }
};

namespace {

const ScmApi modelApi = {
    ScmModelCalls::OpenManager,    ScmModelCalls::OpenService,   ScmModelCalls::Close,
    ScmModelCalls::QueryConfig,    ScmModelCalls::QueryStatusEx, ScmModelCalls::EnumServices,
    ScmModelCalls::EnumDependents, ScmModelCalls::Control,       ScmModelCalls::Start,
    ScmModelCalls::Delete,         ScmModelCalls::Sleep,
};

} // namespace

ScmModel::ScmModel()
{
    current = this;
    SetScmApi(&modelApi);
}

ScmModel::~ScmModel()
{
    SetScmApi(nullptr);
    current = nullptr;
}

ModelService& ScmModel::Add(const std::wstring& name, const std::wstring& commandLine, DWORD state,
                            std::vector<std::wstring> dependsOn)
{
    services.push_back(ModelService{name, commandLine, state, std::move(dependsOn)});
    return services.back();
}

ModelService* ScmModel::Find(const std::wstring& name)
{
    for (ModelService& service : services) {
        if (SameName(service.name, name)) {
            return &service;
        }
    }
    return nullptr;
}

DWORD ScmModel::State(const std::wstring& name)
{
    ModelService* service = Find(name);
    if (!service) return 0;
    if (service->pendingUntil <= now) {
        if (service->state == SERVICE_STOP_PENDING) {
            service->state = SERVICE_STOPPED;
        } else if (service->state == SERVICE_START_PENDING) {
            service->state = service->failsToStart ? SERVICE_STOPPED : SERVICE_RUNNING;
        }
    }
    return service->state;
}
