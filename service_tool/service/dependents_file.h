// The dependents file: the names of the dependents that Stop stopped, kept in
// the program directory for the next Start.
#pragma once

#include <string>

#include "service_tool/service/service_control.h"

// Extension of the file; also shown by the usage text.
inline constexpr wchar_t DependentsFileExtension[] = L".Dependencies";

// Largest file the reader takes (no real list comes near it); a larger one is
// reported as unreadable rather than read into memory whole.
inline constexpr DWORD DependentsFileLimit = 1024 * 1024;

// Writes the file's bytes (WriteFile). A pointer, so that tests can fail a
// write part-way, which Wine's files cannot be made to do.
extern decltype(&::WriteFile) DependentsFileWrite;

std::wstring GetDependentsFilePath(const std::wstring& serviceName);
bool WriteDependentsFile(const std::wstring& serviceName, const ServiceNameList& list);
ServiceNameList ReadDependentsFile(const std::wstring& serviceName);
