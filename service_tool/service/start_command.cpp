#include "service_tool/service/commands.h"

#include "service_tool/front/command_line.h"
#include "service_tool/front/console.h"
#include "service_tool/service/admin_check.h"
#include "service_tool/service/dependents_file.h"
#include "service_tool/service/service_control.h"
#include "service_tool/service/service_list.h"

int StartCommand()
{
    if (ServiceName.empty()) {
        PrintLine(L"Error: Command Start needs a service name.\n");
        return 301;
    }
    if (!CommandAdminCheck()) {
        PrintLine(L"Error: Starting a service needs admin rights.\n");
        return 302;
    }
    const wchar_t* const name = ServiceName.c_str();
    ServiceControl service(ServiceName);
    const std::wstring binaryPath = service.GetBinaryPath();
    if (binaryPath.empty()) {
        PrintFormatted(L"Error starting service '%s'.\n", name);
        PrintErrorLine(service.lastError);
        return 303;
    }
    if (!IsSupportedBinary(binaryPath)) {
        PrintFormatted(L"Error: service '%s' is not a supported mysql or mariadb service.\n\n", name);
        return 304;
    }
    if (!service.Start()) {
        PrintFormatted(L"Failed to start service '%s'.\n", name);
        PrintErrorLine(service.lastError);
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
            PrintFormatted(L"    ");
            PrintFormatted(L"Dependent Service '%s' successfully started.\n", it->c_str());
        } else {
            PrintFormatted(L"    ");
            PrintFormatted(L"Failed to start dependent Service '%s'.\n", it->c_str());
            PrintFormatted(L"    ");
            PrintErrorLine(dependent.lastError);
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
