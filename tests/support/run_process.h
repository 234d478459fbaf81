// Black-box test support: starts a program as a child process with a verbatim
// command line and returns what it did, byte for byte.
#pragma once

#include <string>

#include "common/win32.h"

struct ProcessResult {
    bool started = false;   // false: CreateProcessW failed (see startError)
    DWORD startError = 0;
    DWORD exitCode = 0;
    std::string out;        // exact bytes written to standard output
    std::string err;        // exact bytes written to standard error
};

struct RunOptions {
    std::wstring currentDirectory;  // empty: the test's own
    const wchar_t* environment = nullptr; // UTF-16 block (NUL-separated, NUL NUL ended); null: inherit
    DWORD timeoutMs = 60000;
};

// Runs the command line (program path first, quoted as needed) to its end.
// Not for Linux programs: Wine gives no handle to wait for them.
ProcessResult RunProcess(const std::wstring& commandLine, const RunOptions& options = {});

// Directory that holds the running test executable and every built program.
std::wstring BinDir();
std::wstring BinPath(const std::wstring& fileName);
// A deliverable as it ships: in the folder that DIST_DIR names (a Linux path,
// reached through Wine's drive Z:), else in the source tree's dist folder.
// In a 64-bit test build, Kestrin.exe and Tolvane.dll (which ship 32-bit)
// are the 64-bit builds beside the test instead.
std::wstring ShippedPath(const std::wstring& fileName);
std::wstring Quoted(const std::wstring& text);

// What a program in UTF-16 text mode writes for this text: every "\n" becomes
// CR LF, each character two little-endian bytes.
std::string ConsoleBytes(const std::wstring& text);
// Inverse of ConsoleBytes, for readable failure messages and searches.
std::wstring ConsoleText(const std::string& bytes);

// UTF-8 for test messages.
std::string Narrow(const std::wstring& text);

// A fresh directory under the temporary directory, removed with its content
// when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& Path() const { return path; }
    std::wstring File(const std::wstring& name) const { return path + L"\\" + name; }

private:
    std::wstring path;
};

// Whole-file helpers; ReadFileBytes answers false when the file cannot be read.
bool ReadFileBytes(const std::wstring& path, std::string& bytes);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
bool CopyFileTo(const std::wstring& from, const std::wstring& to);

// Under Wine a Windows program can start a Linux one: these make and remove a
// link (path on drive Z:) to a Linux file, which gives the failures of a disk
// or a device (/dev/full: disk full) where Wine cannot produce them otherwise.
// Both return once the link is made or gone, true only if that worked.
bool LinkToLinuxFile(const std::wstring& path, const std::string& target);
bool RemoveLinuxLink(const std::wstring& path);
