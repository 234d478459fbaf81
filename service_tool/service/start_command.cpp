#include "service_tool/service/commands.h"

#include "service_tool/front/command_line.h"
#include "service_tool/front/console.h"
#include "service_tool/service/command_checks.h"
#include "service_tool/service/dependents_file.h"
#include "service_tool/service/service_control.h"

int StartCommand()
{
    ServiceControl service(ServiceName);
    const int checked = CheckServiceCommand(
        {L"Error: Command Start needs a service name.\n", L"Error: Starting a service needs admin rights.\n",
         L"Error starting service '%s'.\n", 301},
        service);
    if (checked != 0) {
        return checked;
    }
    const wchar_t* const name = ServiceName.c_str();
    if (!service.Start()) {
        PrintFormatted(L"Failed to start service '%s'.\n", name);
        PrintServiceErrorLine(service);
        return 305;
    }
    PrintFormatted(L"Service '%s' successfully started.\n", name);

    const ServiceNameList dependents = ReadDependentsFile(ServiceName);
    if (!dependents.valid) {
        PrintFormatted(L"Failed to get dependent services of service '%s'.\n", name);
        PrintLine(L"No dependent services were started.\n");
        return 306;
    }
    // Stop recorded them in stopping order; bring them back the other way round.
    bool allStarted = true;
    for (auto it = dependents.names.rbegin(); it != dependents.names.rend(); ++it) {
        ServiceControl dependent(*it);
        if (dependent.Start()) {
            PrintFormatted(DependentIndent);
            PrintFormatted(L"Dependent Service '%s' successfully started.\n", it->c_str());
        } else {
            PrintFormatted(DependentIndent);
            PrintFormatted(L"Failed to start dependent Service '%s'.\n", it->c_str());
            PrintServiceErrorLine(dependent, DependentIndent);
            allStarted = false;
        }
    }
    const std::wstring filePath = GetDependentsFilePath(ServiceName);
    if (!filePath.empty()) {
        DeleteFileW(filePath.c_str());
    }
    PrintLine(L"");
    return allStarted ? 0 : 307;
}
