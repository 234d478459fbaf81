#include "service_tool/service/service_list.h"

#include <memory>

#include "service_tool/front/command_line.h"
#include "service_tool/service/scm_api.h"
#include "service_tool/service/service_control.h"

bool IsSupportedBinary(const std::wstring& path)
{
    const std::wstring lower = AsciiLower(path);
    for (const wchar_t* executable : {L"mysqld.exe", L"mariadbd.exe", L"mysqld-nt.exe"}) {
        const size_t position = lower.find(executable);
        if (position != std::wstring::npos && position > 0) {
            return true;
        }
    }
    return false;
}

bool IsCandidateBinary(const std::wstring& path)
{
    const std::wstring lower = AsciiLower(path);
    for (const wchar_t* part : {L"mysqld", L"mariadbd", L"mysqld-nt.exe"}) {
        if (lower.find(part) != std::wstring::npos) {
            return true;
        }
    }
    return false;
}

bool ServiceList::Load()
{
    lastError = 0;
    names.clear();
    binaryPaths.clear();

    ServiceHandle manager(Scm().OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
    if (!manager) {
        lastError = ::GetLastError();
        return false;
    }
    DWORD position = 0;
    for (;;) {
        DWORD resume = position;
        DWORD needed = 0;
        DWORD count = 0;
        if (!Scm().EnumServicesStatusW(manager.Get(), SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                                       &count, &resume)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_MORE_DATA) {
                lastError = error;
                return false;
            }
        } else if (needed == 0) {
            return true; // nothing left to list
        }

        std::unique_ptr<BYTE[]> buffer(new BYTE[needed]());
        auto* entries = reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.get());
        resume = position;
        count = 0;
        if (!Scm().EnumServicesStatusW(manager.Get(), SERVICE_WIN32, SERVICE_STATE_ALL, entries, needed,
                                       &needed, &count, &resume)) {
            const DWORD error = ::GetLastError();
            // "More data" with no entry at all: the list grew past the size
            // just asked for. Ending here would pass a cut list as complete.
            if (error != ERROR_MORE_DATA || count == 0) {
                lastError = error;
                return false;
            }
        }
        for (DWORD i = 0; i < count; ++i) {
            const std::wstring serviceName(entries[i].lpServiceName);
            if (IsCandidateBinary(ServiceControl(serviceName).GetBinaryPath())) {
                names.push_back(serviceName);
                binaryPaths.push_back(ServiceControl(serviceName).GetBinaryPath());
            }
        }
        if (count == 0 || resume == 0) {
            return true;
        }
        position = resume;
    }
}

int ServiceList::NextSupported(DWORD start) const
{
    for (size_t i = start; i < binaryPaths.size(); ++i) {
        if (IsSupportedBinary(binaryPaths[i])) {
            return static_cast<int>(i);
        }
    }
    return -1;
}
