#include "tests/support/run_process.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <vector>

#include "common/handles.h"

namespace {

FileHandle CreateCaptureFile(const std::wstring& path)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    return FileHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
}

std::string ReadBack(HANDLE file)
{
    std::string bytes;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    return bytes;
}

} // namespace

ProcessResult RunProcess(const std::wstring& commandLine, const RunOptions& options)
{
    ProcessResult result;
    TempDir captures;
    FileHandle out = CreateCaptureFile(captures.File(L"out"));
    FileHandle err = CreateCaptureFile(captures.File(L"err"));
    FileHandle in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr));
    SetHandleInformation(in.Get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.Get();
    startup.hStdOutput = out.Get();
    startup.hStdError = err.Get();

    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    PROCESS_INFORMATION info{};
    const BOOL created = CreateProcessW(
        nullptr, writable.data(), nullptr, nullptr, TRUE,
        CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, const_cast<wchar_t*>(options.environment),
        options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str(), &startup, &info);
    if (!created) {
        result.startError = GetLastError();
        return result;
    }
    result.started = true;
    const KernelHandle process(info.hProcess);
    const KernelHandle thread(info.hThread);
    if (WaitForSingleObject(process.Get(), options.timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.Get(), 259);
        WaitForSingleObject(process.Get(), 5000);
    }
    GetExitCodeProcess(process.Get(), &result.exitCode);
    result.out = ReadBack(out.Get());
    result.err = ReadBack(err.Get());
    return result;
}

std::wstring BinDir()
{
    wchar_t path[MAX_PATH * 4] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring full(path, length);
    return full.substr(0, full.find_last_of(L"\\/"));
}

std::wstring BinPath(const std::wstring& fileName) { return BinDir() + L"\\" + fileName; }

std::wstring ShippedPath(const std::wstring& fileName)
{
#ifdef _WIN64
    if (fileName == L"Kestrin.exe" || fileName == L"Tolvane.dll") {
        return BinPath(fileName);
    }
#endif
    wchar_t value[MAX_PATH * 4] = L"";
    const DWORD length = GetEnvironmentVariableW(L"DIST_DIR", value, MAX_PATH * 4);
    std::wstring folder = length > 0 && length < MAX_PATH * 4 ? value : L"" BRELKIN_DEFAULT_DIST_DIR;
    if (!folder.empty() && folder[0] == L'/') {
        folder.insert(0, L"Z:");
    }
    std::replace(folder.begin(), folder.end(), L'/', L'\\');
    return folder + L"\\" + fileName;
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// wchar_t is a little-endian UTF-16 unit here, so the bytes are the string's own.
std::string ConsoleBytes(const std::wstring& text)
{
    std::wstring lines;
    for (wchar_t unit : text) {
        lines += unit == L'\n' ? L"\r\n" : std::wstring(1, unit);
    }
    return std::string(reinterpret_cast<const char*>(lines.data()), lines.size() * sizeof(wchar_t));
}

std::wstring ConsoleText(const std::string& bytes)
{
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
    for (size_t at = 0; (at = text.find(L"\r\n", at)) != std::wstring::npos;) {
        text.erase(at, 1);
    }
    return text;
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow(text.size() * 3, '\0');
    narrow.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                                      static_cast<int>(narrow.size()), nullptr, nullptr));
    return narrow;
}

TempDir::TempDir()
{
    static std::atomic<unsigned> counter{0};
    std::error_code ignored;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ignored);
    do {
        path = (base / (L"brelkin-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                        std::to_wstring(counter++))).wstring();
    } while (!CreateDirectoryW(path.c_str(), nullptr));
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    bytes = ReadBack(file.Get());
    return true;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    DWORD written = 0;
    return file && WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool CopyFileTo(const std::wstring& from, const std::wstring& to)
{
    return CopyFileW(from.c_str(), to.c_str(), FALSE);
}

namespace {

// The Linux file behind a Windows path, through Wine's own export; empty when
// there is none.
std::wstring LinuxPath(const std::wstring& path)
{
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixName ? unixName(path.c_str()) : nullptr;
    if (!name) {
        return L"";
    }
    const std::string linuxPath = name;
    HeapFree(GetProcessHeap(), 0, name);
    return std::wstring(linuxPath.begin(), linuxPath.end());
}

// Runs a Linux program to its end and tells whether it succeeded. Wine starts
// a Linux program without a process handle: the wait for it fails at once and
// no exit code can be read, so the program would still be running when the
// caller goes on. The shell therefore leaves a mark once the program has
// succeeded, and that mark is waited for.
bool RunLinux(const std::wstring& arguments)
{
    TempDir marks;
    const std::wstring mark = marks.File(L"done");
    const std::wstring linuxMark = LinuxPath(mark);
    if (linuxMark.empty()) {
        return false;
    }
    RunProcess(L"Z:\\bin\\sh -c \"\\\"$@\\\" && : > \\\"$0\\\"\" " + Quoted(linuxMark) + L" " + arguments);
    for (int waited = 0; waited < 10000; waited += 10) {
        if (FileExists(mark)) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

} // namespace

bool LinkToLinuxFile(const std::wstring& path, const std::string& target)
{
    const std::wstring linuxPath = LinuxPath(path);
    return !linuxPath.empty() &&
           RunLinux(L"ln -sfn " + Quoted(std::wstring(target.begin(), target.end())) + L" " + Quoted(linuxPath));
}

bool RemoveLinuxLink(const std::wstring& path)
{
    const std::wstring linuxPath = LinuxPath(path);
    return !linuxPath.empty() && RunLinux(L"rm -f " + Quoted(linuxPath));
}
