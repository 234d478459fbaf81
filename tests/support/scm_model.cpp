#include "tests/support/scm_model.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

ScmModel* current = nullptr;

bool SameName(const std::wstring& a, const std::wstring& b)
{
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

DWORD MapServiceRights(DWORD access)
{
    DWORD rights = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ) {
        rights |= STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                  SERVICE_ENUMERATE_DEPENDENTS;
    }
    if (access & GENERIC_WRITE) {
        rights |= STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG;
    }
    if (access & GENERIC_EXECUTE) {
        rights |= STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                  SERVICE_USER_DEFINED_CONTROL;
    }
    if (access & GENERIC_ALL) {
        rights |= SERVICE_ALL_ACCESS;
    }
    return rights;
}

DWORD MapManagerRights(DWORD access)
{
    DWORD rights = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ) {
        rights |= STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    }
    if (access & GENERIC_ALL) {
        rights |= SC_MANAGER_ALL_ACCESS;
    }
    return rights | SC_MANAGER_CONNECT;
}

bool Fail(DWORD error)
{
    ::SetLastError(error);
    return false;
}

DWORD EntrySize(const ModelService& service)
{
    return static_cast<DWORD>(sizeof(ENUM_SERVICE_STATUSW) + 2 * (service.name.size() + 1) * sizeof(wchar_t));
}

void FillStatus(const ModelService& service, SERVICE_STATUS& status)
{
    status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = service.state;
    status.dwControlsAccepted = service.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
}

// Writes the entries at the start of the buffer and their names (key name,
// then the same as display name) behind them, as the system lays them out.
void WriteEntries(const std::vector<const ModelService*>& list, BYTE* buffer)
{
    auto* entries = reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer);
    auto* text = reinterpret_cast<wchar_t*>(buffer + list.size() * sizeof(ENUM_SERVICE_STATUSW));
    for (size_t i = 0; i < list.size(); ++i) {
        const std::wstring& name = list[i]->name;
        for (wchar_t** field : {&entries[i].lpServiceName, &entries[i].lpDisplayName}) {
            *field = text;
            memcpy(text, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
            text += name.size() + 1;
        }
        FillStatus(*list[i], entries[i].ServiceStatus);
    }
}

bool MatchesFilter(DWORD state, DWORD filter)
{
    const bool active = state != SERVICE_STOPPED;
    return (active && (filter & SERVICE_ACTIVE)) || (!active && (filter & SERVICE_INACTIVE));
}

} // namespace

// The table's functions, on the current model.
struct ScmModelCalls {
    static ScmModel& M() { return *current; }

    static ScmModel::Handle* Find(SC_HANDLE handle)
    {
        for (ScmModel::Handle& h : M().handles) {
            if (h.id == reinterpret_cast<uintptr_t>(handle)) {
                return &h;
            }
        }
        return nullptr;
    }

    // The service behind a service handle that holds the right, after
    // advancing its pending state; null with the last error set otherwise.
    static ModelService* ServiceFor(SC_HANDLE handle, DWORD right)
    {
        ScmModel::Handle* h = Find(handle);
        if (!h || h->manager == 0) {
            Fail(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        if ((h->rights & right) != right) {
            Fail(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        M().State(h->service);
        return M().Find(h->service);
    }

    static SC_HANDLE NewHandle(uintptr_t manager, const std::wstring& service, DWORD rights)
    {
        ScmModel& m = M();
        m.handles.push_back({m.nextHandle++, manager, service, rights});
        ++m.opens;
        return reinterpret_cast<SC_HANDLE>(m.handles.back().id);
    }

    static SC_HANDLE WINAPI OpenManager(LPCWSTR machine, LPCWSTR database, DWORD access)
    {
        if (machine || database) {
            Fail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (M().managerOpenError) {
            Fail(M().managerOpenError);
            return nullptr;
        }
        return NewHandle(0, L"", MapManagerRights(access));
    }

    static SC_HANDLE WINAPI OpenService(SC_HANDLE manager, LPCWSTR name, DWORD access)
    {
        ScmModel::Handle* h = Find(manager);
        if (!h || h->manager != 0) {
            Fail(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        wchar_t hex[16];
        swprintf(hex, 16, L" %lx", access);
        M().serviceOpens.push_back(name + std::wstring(hex));
        ModelService* service = M().Find(name);
        if (!service) {
            Fail(ERROR_SERVICE_DOES_NOT_EXIST);
            return nullptr;
        }
        if (service->openError) {
            Fail(service->openError);
            return nullptr;
        }
        return NewHandle(h->id, service->name, MapServiceRights(access));
    }

    static BOOL WINAPI Close(SC_HANDLE handle)
    {
        ScmModel& m = M();
        ScmModel::Handle* h = Find(handle);
        if (!h) {
            ++m.badCloses;
            return Fail(ERROR_INVALID_HANDLE);
        }
        const uintptr_t id = h->id;
        const std::wstring service = h->service;
        for (const ScmModel::Handle& other : m.handles) {
            if (other.manager == id) {
                ++m.badCloses;
            }
        }
        m.handles.remove_if([id](const ScmModel::Handle& x) { return x.id == id; });
        ++m.closes;
        ModelService* s = service.empty() ? nullptr : m.Find(service);
        if (s && s->markedForDelete && m.State(service) == SERVICE_STOPPED) {
            bool stillOpen = false;
            for (const ScmModel::Handle& other : m.handles) {
                stillOpen = stillOpen || SameName(other.service, service);
            }
            if (!stillOpen) {
                m.services.remove_if([&](const ModelService& x) { return SameName(x.name, service); });
            }
        }
        return TRUE;
    }

    static BOOL WINAPI QueryConfig(SC_HANDLE handle, LPQUERY_SERVICE_CONFIGW config, DWORD size, LPDWORD needed)
    {
        ModelService* s = ServiceFor(handle, SERVICE_QUERY_CONFIG);
        if (!s) {
            return FALSE;
        }
        // Record, then command line, display name and start name, then an
        // empty double-terminated dependency list and an empty group.
        const std::wstring startName = L"LocalSystem";
        const size_t chars = (s->commandLine.size() + 1) + (s->name.size() + 1) + (startName.size() + 1) + 2 + 1;
        *needed = static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGW) + chars * sizeof(wchar_t));
        if (!config || size < *needed) {
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        if (s->configError) {
            return Fail(s->configError);
        }
        *config = {};
        config->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        config->dwStartType = SERVICE_DEMAND_START;
        auto* text = reinterpret_cast<wchar_t*>(config + 1);
        auto put = [&text](const std::wstring& value) {
            wchar_t* start = text;
            memcpy(text, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
            text += value.size() + 1;
            return start;
        };
        config->lpBinaryPathName = put(s->commandLine);
        config->lpDisplayName = put(s->name);
        config->lpServiceStartName = put(startName);
        config->lpDependencies = text;
        *text++ = 0;
        *text++ = 0;
        config->lpLoadOrderGroup = put(L"");
        return TRUE;
    }

    static BOOL WINAPI QueryStatusEx(SC_HANDLE handle, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size,
                                     LPDWORD needed)
    {
        ModelService* s = ServiceFor(handle, SERVICE_QUERY_STATUS);
        if (!s) {
            return FALSE;
        }
        if (level != SC_STATUS_PROCESS_INFO) {
            return Fail(ERROR_INVALID_LEVEL);
        }
        *needed = sizeof(SERVICE_STATUS_PROCESS);
        if (!buffer || size < *needed) {
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        if (s->statusError) {
            return Fail(s->statusError);
        }
        SERVICE_STATUS plain;
        FillStatus(*s, plain);
        auto* status = reinterpret_cast<SERVICE_STATUS_PROCESS*>(buffer);
        *status = {};
        memcpy(status, &plain, sizeof plain);
        status->dwProcessId = s->state == SERVICE_STOPPED ? 0 : 4242;
        return TRUE;
    }

    static BOOL WINAPI EnumDependents(SC_HANDLE handle, DWORD filter, LPENUM_SERVICE_STATUSW buffer, DWORD size,
                                      LPDWORD needed, LPDWORD count)
    {
        ModelService* s = ServiceFor(handle, SERVICE_ENUMERATE_DEPENDENTS);
        if (!s) {
            return FALSE;
        }
        const std::wstring name = s->name;
        std::vector<const ModelService*> list;
        *needed = 0;
        *count = 0;
        for (ModelService& other : M().services) {
            for (const std::wstring& dependency : other.dependsOn) {
                if (SameName(dependency, name) && MatchesFilter(M().State(other.name), filter)) {
                    list.push_back(&other);
                    *needed += EntrySize(other);
                }
            }
        }
        if (list.empty()) {
            return TRUE;
        }
        if (!buffer || size < *needed) {
            return Fail(ERROR_MORE_DATA);
        }
        WriteEntries(list, reinterpret_cast<BYTE*>(buffer));
        *count = static_cast<DWORD>(list.size());
        return TRUE;
    }

    static BOOL WINAPI EnumServices(SC_HANDLE manager, DWORD type, DWORD filter, LPENUM_SERVICE_STATUSW buffer,
                                    DWORD size, LPDWORD needed, LPDWORD count, LPDWORD resume)
    {
        ScmModel& m = M();
        ++m.enumCalls;
        ScmModel::Handle* h = Find(manager);
        *needed = 0;
        *count = 0;
        if (!h || h->manager != 0) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        if (!(h->rights & SC_MANAGER_ENUMERATE_SERVICE)) {
            return Fail(ERROR_ACCESS_DENIED);
        }
        if (m.enumError) {
            return Fail(m.enumError);
        }
        std::vector<const ModelService*> matching;
        if (type & SERVICE_WIN32_OWN_PROCESS) {
            for (const ModelService& s : m.services) {
                if (MatchesFilter(m.State(s.name), filter)) {
                    matching.push_back(&s);
                }
            }
        }
        const size_t first = std::min<size_t>(resume ? *resume : 0, matching.size());
        const size_t limit = m.entriesPerPass ? m.entriesPerPass : matching.size();
        auto passSize = [&](size_t from) {
            DWORD bytes = 0;
            for (size_t i = from; i < matching.size() && i < from + limit; ++i) {
                bytes += EntrySize(*matching[i]);
            }
            return bytes;
        };
        if (first == matching.size()) {
            if (resume) {
                *resume = 0;
            }
            return TRUE;
        }
        // A pass is answered whole or not at all.
        if (!buffer || size < passSize(first)) {
            *needed = passSize(first);
            return Fail(ERROR_MORE_DATA);
        }
        const size_t end = std::min(matching.size(), first + limit);
        std::vector<const ModelService*> pass(matching.begin() + first, matching.begin() + end);
        WriteEntries(pass, reinterpret_cast<BYTE*>(buffer));
        *count = static_cast<DWORD>(pass.size());
        if (resume) {
            *resume = end < matching.size() ? static_cast<DWORD>(end) : 0;
        }
        if (end < matching.size()) {
            *needed = passSize(end);
            return Fail(ERROR_MORE_DATA);
        }
        return TRUE;
    }

    static BOOL WINAPI Control(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status)
    {
        ModelService* s = ServiceFor(handle, SERVICE_STOP);
        if (!s) {
            return FALSE;
        }
        ScmModel& m = M();
        if (control != SERVICE_CONTROL_STOP) {
            return Fail(ERROR_INVALID_SERVICE_CONTROL);
        }
        m.controls.push_back(L"stop " + s->name);
        if (s->state == SERVICE_STOPPED) {
            return Fail(ERROR_SERVICE_NOT_ACTIVE);
        }
        if (s->state == SERVICE_START_PENDING || s->state == SERVICE_STOP_PENDING) {
            return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        }
        for (const ModelService& other : m.services) {
            for (const std::wstring& dependency : other.dependsOn) {
                if (SameName(dependency, s->name) && m.State(other.name) != SERVICE_STOPPED) {
                    return Fail(ERROR_DEPENDENT_SERVICES_RUNNING);
                }
            }
        }
        if (s->stopError) {
            return Fail(s->stopError);
        }
        s->state = SERVICE_STOP_PENDING;
        s->pendingUntil = s->stopDelay == INFINITE ? ULLONG_MAX : m.now + s->stopDelay;
        FillStatus(*s, *status);
        return TRUE;
    }

    static BOOL WINAPI Start(SC_HANDLE handle, DWORD, LPCWSTR*)
    {
        ModelService* s = ServiceFor(handle, SERVICE_START);
        if (!s) {
            return FALSE;
        }
        ScmModel& m = M();
        m.controls.push_back(L"start " + s->name);
        if (s->state != SERVICE_STOPPED) {
            return Fail(ERROR_SERVICE_ALREADY_RUNNING);
        }
        if (s->startError) {
            return Fail(s->startError);
        }
        s->state = SERVICE_START_PENDING;
        s->pendingUntil = s->startDelay == INFINITE ? ULLONG_MAX : m.now + s->startDelay;
        return TRUE;
    }

    static BOOL WINAPI Delete(SC_HANDLE handle)
    {
        ModelService* s = ServiceFor(handle, DELETE);
        if (!s) {
            return FALSE;
        }
        M().controls.push_back(L"delete " + s->name);
        if (s->markedForDelete) {
            return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
        }
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
    ScmModelCalls::OpenManager,
    ScmModelCalls::OpenService,
    ScmModelCalls::Close,
    ScmModelCalls::QueryConfig,
    ScmModelCalls::QueryStatusEx,
    ScmModelCalls::EnumServices,
    ScmModelCalls::EnumDependents,
    ScmModelCalls::Control,
    ScmModelCalls::Start,
    ScmModelCalls::Delete,
    ScmModelCalls::Sleep,
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
    ModelService service;
    service.name = name;
    service.commandLine = commandLine;
    service.state = state;
    service.dependsOn = std::move(dependsOn);
    services.push_back(std::move(service));
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
    if (!service) {
        return 0;
    }
    if (service->pendingUntil <= now) {
        if (service->state == SERVICE_STOP_PENDING) {
            service->state = SERVICE_STOPPED;
        } else if (service->state == SERVICE_START_PENDING) {
            service->state = SERVICE_RUNNING;
        }
    }
    return service->state;
}
