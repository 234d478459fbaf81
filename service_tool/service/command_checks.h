// The checks that Start, Stop and Delete make, in this order, before they
// touch a service: a name was given, the user has administrator rights, the
// service's executable can be read and is a supported server.
#pragma once

#include "service_tool/service/service_control.h"

// The administrator check. A pointer, so that tests can answer "no rights" on
// systems where the user always is an administrator.
extern bool (*CommandAdminCheck)();

// What one command prints when a check fails, and its first exit code: the
// four checks fail with firstCode, firstCode + 1, + 2 and + 3.
struct ServiceCommandTexts {
    const wchar_t* missingName;   // printed with PrintLine
    const wchar_t* missingRights; // printed with PrintLine
    const wchar_t* unreadablePath; // format with the service name
    int firstCode;
};

// Runs the checks on the service named on the command line. Returns 0 when
// the command may go on, else the exit code after the failure was printed.
int CheckServiceCommand(const ServiceCommandTexts& texts, ServiceControl& service);

// The error line for the service's lastError; a service-specific failure
// (1066) also shows the code the service gave.
void PrintServiceErrorLine(const ServiceControl& service, const wchar_t* indent = L"");
