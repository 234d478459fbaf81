#include "service_tool/front/usage.h"

#include "common/win32.h"

#include <shlwapi.h>

#include "service_tool/front/console.h"
#include "service_tool/service/dependents_file.h"

std::wstring GetModulePath(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    // A full buffer means the name was cut short; a cut name would point into
    // another directory, so it counts as no name at all.
    if (length == 0 || length >= MAX_PATH) {
        return std::wstring();
    }
    return std::wstring(path);
}

void PrintUsage()
{
    wchar_t name[MAX_PATH] = {};
    const std::wstring path = GetModulePath(GetModuleHandleW(nullptr));
    path.copy(name, MAX_PATH - 1);
    PathStripPathW(name);
    PathRemoveExtensionW(name);

    const wchar_t* const extension = DependentsFileExtension;
    PrintLine(L"DESCRIPTION:");
    PrintFormatted(L"%s is is a command line program used for communicating with mariadb\nand mysql services.\n", name);
    PrintLine(L"USAGE:");
    PrintFormatted(L"%s command [service name] [-h] [-v]\n\n", name);
    PrintLine(L"Commands:");
    PrintLine(L"  query-----------Queries the status for a service.");
    PrintLine(L"  start-----------Starts a mariadb or mysql service and all dependent");
    PrintFormatted(L"                  services found in the file [service name]%s.\n", extension);
    PrintLine(L"  stop------------Stops a mariadb or mysql service and all active");
    PrintLine(L"                  dependent services.");
    PrintLine(L"                  Active dependent services will be logged in the file");
    PrintFormatted(L"                  [service name]%s.\n", extension);
    PrintLine(L"  delete----------Deletes a mariadb or mysql service (from the registry).");
    PrintLine(L"");
    PrintLine(L"Options:");
    PrintLine(L"  -h              Help / Show Usage");
    PrintLine(L"  -v              Use verbose output");
    PrintLine(L"");
    PrintLine(L"SYNTAX EXAMPLES");
    PrintFormatted(L"%s query               - Show all mariadb or mysql services\n", name);
    PrintFormatted(L"%s query -v            - Show all mariadb or mysql services with additional data\n", name);
    PrintFormatted(L"%s query mysql_3306\n", name);
    PrintFormatted(L"%s start mysql_3306\n", name);
    PrintFormatted(L"%s stop mysql_3306\n", name);
    PrintLine(L"");
}
