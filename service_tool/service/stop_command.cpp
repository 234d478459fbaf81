#include "service_tool/service/commands.h"

#include "service_tool/front/command_line.h"
#include "service_tool/front/console.h"
#include "service_tool/service/admin_check.h"
#include "service_tool/service/dependents_file.h"
#include "service_tool/service/service_control.h"
#include "service_tool/service/service_list.h"

int StopCommand()
{
    if (ServiceName.empty()) {
        PrintLine(L"Error: Command Stop needs a service name.\n");
        return 401;
    }
    if (!CommandAdminCheck()) {
        PrintLine(L"Error: Stopping a service needs admin rights.\n");
        return 402;
    }
    const wchar_t* const name = ServiceName.c_str();
    ServiceControl service(ServiceName);
    const std::wstring binaryPath = service.GetBinaryPath();
    if (binaryPath.empty()) {
        PrintFormatted(L"Error stopping service '%s'.\n", name);
        PrintErrorLine(service.lastError);
        return 403;
    }
    if (!IsSupportedBinary(binaryPath)) {
        PrintFormatted(L"Error: service '%s' is not a supported mysql or mariadb service.\n\n", name);
        return 404;
    }
    if (!service.QueryStatus()) {
        PrintFormatted(L"Failed to get state of service %s\n", name);
        PrintErrorLine(service.lastError);
        return 405;
    }
    if (service.CurrentState() != SERVICE_RUNNING) {
        PrintFormatted(L"Nothing to do: service '%s' is not running.\n\n", name);
        return 0;
    }

    // Whatever an earlier stop recorded is stale now.
    const std::wstring filePath = GetDependentsFilePath(ServiceName);
    if (!filePath.empty()) {
        DeleteFileW(filePath.c_str());
    }
    const ServiceNameList dependents = service.GetDependents(SERVICE_ACTIVE);
    if (!dependents.valid) {
        PrintFormatted(L"Failed to get dependent services of service '%s'\n", name);
        PrintErrorLine(service.lastError);
        return 406;
    }
    // Recorded before anything is stopped, so that the next start can bring
    // back every dependent even when a stop below fails.
    if (!dependents.names.empty() && !WriteDependentsFile(ServiceName, dependents)) {
        return 407;
    }

    bool allStopped = true;
    for (const std::wstring& dependentName : dependents.names) {
        ServiceControl dependent(dependentName);
        if (dependent.Stop(true)) {
            PrintFormatted(L"    ");
            PrintFormatted(L"Dependent Service '%s' successfully stopped.\n", dependentName.c_str());
        } else {
            PrintFormatted(L"    ");
            PrintFormatted(L"Failed to stop dependent Service '%s'.\n", dependentName.c_str());
            PrintFormatted(L"    ");
            PrintErrorLine(dependent.lastError);
            allStopped = false;
        }
    }

    if (!service.Stop(true)) {
        PrintFormatted(L"Failed to stop service '%s'.\n", name);
        PrintErrorLine(service.lastError);
        return 408;
    }
    if (!allStopped) {
        return 409;
    }
    PrintFormatted(L"Service '%s' and all dependent services successfully stopped.\n\n", name);
    return 0;
}
