#include "service_tool/service/commands.h"

#include "service_tool/front/command_line.h"
#include "service_tool/front/console.h"
#include "service_tool/service/command_checks.h"
#include "service_tool/service/dependents_file.h"
#include "service_tool/service/service_control.h"

int StopCommand()
{
    ServiceControl service(ServiceName);
    const int checked = CheckServiceCommand(
        {L"Error: Command Stop needs a service name.\n", L"Error: Stopping a service needs admin rights.\n",
         L"Error stopping service '%s'.\n", 401},
        service);
    if (checked != 0) {
        return checked;
    }
    const wchar_t* const name = ServiceName.c_str();
    if (!service.QueryStatus()) {
        PrintFormatted(L"Failed to get state of service %s\n", name);
        PrintServiceErrorLine(service);
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
        PrintServiceErrorLine(service);
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
            PrintFormatted(DependentIndent);
            PrintFormatted(L"Dependent Service '%s' successfully stopped.\n", dependentName.c_str());
        } else {
            PrintFormatted(DependentIndent);
            PrintFormatted(L"Failed to stop dependent Service '%s'.\n", dependentName.c_str());
            PrintServiceErrorLine(dependent, DependentIndent);
            allStopped = false;
        }
    }

    if (!service.Stop(true)) {
        PrintFormatted(L"Failed to stop service '%s'.\n", name);
        PrintServiceErrorLine(service);
        return 408;
    }
    if (!allStopped) {
        return 409;
    }
    PrintFormatted(L"Service '%s' and all dependent services successfully stopped.\n\n", name);
    return 0;
}
