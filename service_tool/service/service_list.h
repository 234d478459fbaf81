// Recognition of MariaDB and MySQL services by their executable, and the list
// of every candidate service of the machine.
#pragma once

#include <string>
#include <vector>

#include "common/win32.h"

// Strict test: "mysqld.exe", "mariadbd.exe" or "mysqld-nt.exe" after the
// first character of the lower-cased path.
bool IsSupportedBinary(const std::wstring& path);
// Loose test: "mysqld", "mariadbd" or "mysqld-nt.exe" anywhere in the path.
bool IsCandidateBinary(const std::wstring& path);

class ServiceList {
public:
    // Enumerates the Win32 services and keeps the candidates.
    bool Load();
    // Smallest index at or after start whose executable passes
    // IsSupportedBinary, or -1.
    int NextSupported(DWORD start) const;

    DWORD lastError = 0;
    std::vector<std::wstring> names;
    std::vector<std::wstring> binaryPaths; // parallel to names
};
