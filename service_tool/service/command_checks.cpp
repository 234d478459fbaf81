#include "service_tool/service/command_checks.h"

#include "common/admin_rights.h"
#include "service_tool/front/command_line.h"
#include "service_tool/front/console.h"
#include "service_tool/service/service_list.h"

bool (*CommandAdminCheck)() = HasAdminRights;

int CheckServiceCommand(const ServiceCommandTexts& texts, ServiceControl& service)
{
    if (service.name.empty()) {
        PrintLine(texts.missingName);
        return texts.firstCode;
    }
    if (!CommandAdminCheck()) {
        PrintLine(texts.missingRights);
        return texts.firstCode + 1;
    }
    const std::wstring binaryPath = service.GetBinaryPath();
    if (binaryPath.empty()) {
        PrintFormatted(texts.unreadablePath, service.name.c_str());
        PrintServiceErrorLine(service);
        return texts.firstCode + 2;
    }
    if (!IsSupportedBinary(binaryPath)) {
        PrintFormatted(L"Error: service '%s' is not a supported mysql or mariadb service.\n\n",
                       service.name.c_str());
        return texts.firstCode + 3;
    }
    return 0;
}

void PrintServiceErrorLine(const ServiceControl& service, const wchar_t* indent)
{
    std::wstring text = TrimWhiteSpace(GetSystemErrorText(service.lastError));
    if (service.lastError == ERROR_SERVICE_SPECIFIC_ERROR) {
        text += L" (service-specific code " + std::to_wstring(service.serviceSpecificExitCode) + L")";
    }
    PrintErrorText(text, indent);
}
