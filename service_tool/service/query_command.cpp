#include "service_tool/service/query_command.h"

#include "service_tool/front/command_line.h"
#include "service_tool/front/console.h"
#include "service_tool/hostinfo/server_version.h"
#include "service_tool/service/commands.h"
#include "service_tool/service/service_list.h"

int PrintServiceInfo(ServiceControl& service, bool verbose, bool indent)
{
    const wchar_t* indentText = indent ? DependentIndent : L"";
    if (!service.QueryStatus()) {
        PrintFormatted(indentText);
        PrintFormatted(L"Failed to get state of service '%s'.\n", service.name.c_str());
        PrintErrorLine(service.lastError, indentText);
        return 101;
    }
    PrintFormatted(indentText);
    PrintFormatted(L"State of service '%s': %s\n", service.name.c_str(),
                   ServiceStateName(service.CurrentState()));
    if (!verbose) {
        return 0;
    }

    const std::wstring path = service.GetBinaryPath();
    if (path.empty()) {
        PrintFormatted(indentText);
        PrintFormatted(L"Error getting binary of service '%s'.\n", service.name.c_str());
        PrintErrorLine(service.lastError, indentText);
        return 102;
    }
    const std::wstring version = GetServerVersion(path);
    PrintFormatted(indentText);
    PrintFormatted(L"Binary of service '%s': %s (%s)\n", service.name.c_str(), path.c_str(),
                   version.c_str());
    return 0;
}

int QueryServiceAndDependents(const std::wstring& name, bool verbose)
{
    ServiceControl service(name);
    int result = PrintServiceInfo(service, verbose, false);
    if (result > 0) {
        return result;
    }

    const ServiceNameList dependents = service.GetDependents(SERVICE_STATE_ALL);
    if (!dependents.valid) {
        PrintFormatted(L"Failed to get dependent services of service '%s'.\n", name.c_str());
        PrintErrorLine(service.lastError);
        return 103;
    }
    if (!dependents.names.empty()) {
        PrintLine(L"List of Dependent Services:");
        for (const std::wstring& dependentName : dependents.names) {
            ServiceControl dependent(dependentName);
            result = PrintServiceInfo(dependent, verbose, true);
        }
    }
    return result;
}

int QueryCommand()
{
    if (!ServiceName.empty()) {
        const int result = QueryServiceAndDependents(ServiceName, VerboseOutput);
        PrintLine(L"");
        return result;
    }

    ServiceList list;
    if (!list.Load()) {
        PrintLine(L"Error: Failed to load list of all Services.");
        PrintFormatted(L"OS Error Message: '%s'.\n",
                       TrimWhiteSpace(GetSystemErrorText(list.lastError)).c_str());
        return 104;
    }
    int result = 0;
    for (int index = list.NextSupported(0); index != -1;
         index = list.NextSupported(static_cast<DWORD>(index) + 1)) {
        result = QueryServiceAndDependents(list.names[static_cast<size_t>(index)], VerboseOutput);
        PrintLine(L"");
    }
    return result;
}
