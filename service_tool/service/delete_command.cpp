#include "service_tool/service/commands.h"

#include "service_tool/front/command_line.h"
#include "service_tool/front/console.h"
#include "service_tool/service/command_checks.h"
#include "service_tool/service/scm_api.h"
#include "service_tool/service/service_control.h"

namespace {

// Removes the service from the manager; on failure the code is in lastError.
bool RemoveService(ServiceControl& service)
{
    const ServiceHandle manager(Scm().OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
    if (!manager) {
        service.lastError = GetLastError();
        return false;
    }
    const ServiceHandle handle(Scm().OpenServiceW(manager.Get(), service.name.c_str(), DELETE));
    if (!handle) {
        service.lastError = GetLastError();
        return false;
    }
    if (!Scm().DeleteService(handle.Get())) {
        service.lastError = GetLastError();
        return false;
    }
    return true;
}

} // namespace

int DeleteCommand()
{
    ServiceControl service(ServiceName);
    const int checked = CheckServiceCommand(
        {L"Error: Command Delete needs a service name.\n", L"Error: Deleting a service needs admin rights.\n",
         L"Error deleting service '%s'.\n", 201},
        service);
    if (checked != 0) {
        return checked;
    }
    const wchar_t* const name = ServiceName.c_str();
    // A running service cannot be removed for good; it is stopped first.
    if (!service.Stop(true) || !RemoveService(service)) {
        PrintFormatted(L"Error deleting service '%s'.\n", name);
        PrintServiceErrorLine(service);
        return 205;
    }
    PrintFormatted(L"Service '%s' successfully deleted.\n\n", name);
    return 0;
}
