// The query command: state, and with verbose output the executable and its
// version, of one service or of every supported one, each with its dependents.
#pragma once

#include <string>

#include "service_tool/service/service_control.h"

// Prints one service and, indented, its dependents. Returns 0, or 101 (state
// unreadable), 102 (verbose: path unreadable), 103 (dependents unreadable).
// With dependents, the result is that of the last dependent.
int QueryServiceAndDependents(const std::wstring& name, bool verbose);

// Prints the state line and, when verbose, the binary line of one service,
// every line (error reports included) preceded by four blanks when indented.
// Returns 0, 101 or 102.
int PrintServiceInfo(ServiceControl& service, bool verbose, bool indent);
