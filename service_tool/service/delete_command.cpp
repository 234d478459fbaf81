#include "service_tool/service/commands.h"

#include "service_tool/front/command_line.h"
#include "service_tool/front/console.h"
#include "service_tool/service/admin_check.h"
#include "service_tool/service/scm_api.h"
#include "service_tool/service/service_control.h"
#include "service_tool/service/service_list.h"

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
    if (ServiceName.empty()) {
        PrintLine(L"Error: Command Delete needs a service name.\n");
        return 201;
    }
    if (!CommandAdminCheck()) {
        PrintLine(L"Error: Deleting a service needs admin rights.\n");
        return 202;
    }
    const wchar_t* const name = ServiceName.c_str();
    ServiceControl service(ServiceName);
    const std::wstring binaryPath = service.GetBinaryPath();
    if (binaryPath.empty()) {
        PrintFormatted(L"Error deleting service '%s'.\n", name);
        PrintErrorLine(service.lastError);
        return 203;
    }
    if (!IsSupportedBinary(binaryPath)) {
        PrintFormatted(L"Error: service '%s' is not a supported mysql or mariadb service.\n\n", name);
        return 204;
    }
    // A running service cannot be removed for good; it is stopped first.
    if (!service.Stop(true) || !RemoveService(service)) {
        PrintFormatted(L"Error deleting service '%s'.\n", name);
        PrintErrorLine(service.lastError);
        return 205;
    }
    PrintFormatted(L"Service '%s' successfully deleted.\n\n", name);
    return 0;
}
