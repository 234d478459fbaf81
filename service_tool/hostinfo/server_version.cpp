#include "service_tool/hostinfo/server_version.h"

#include <cwctype>
#include <vector>

#include "common/handles.h"
#include "service_tool/hostinfo/file_version.h"

namespace {

constexpr wchar_t UnknownVersion[] = L"unknown file version";

std::wstring GetTempDirectory()
{
    const DWORD length = GetTempPathW(0, nullptr);
    if (length == 0) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer(length + 1, L'\0');
    GetTempPathW(length, buffer.data());
    return buffer.data();
}

// Reads the whole file from its beginning; returns 0 or the failing call's code.
DWORD ReadBack(HANDLE file, std::string& bytes)
{
    bytes.clear();
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        return GetLastError();
    }
    const DWORD size = GetFileSize(file, nullptr);
    if (size == INVALID_FILE_SIZE) {
        return GetLastError();
    }
    if (size == 0) {
        return 0;
    }
    bytes.assign(size, '\0');
    DWORD read = 0;
    if (!ReadFile(file, &bytes[0], size, &read, nullptr)) {
        return GetLastError();
    }
    if (read < size) {
        bytes.resize(read);
    }
    return 0;
}

// A child that has just ended, or the console host the system gave it, may
// hold its inherited handle of the file for a moment longer; without a retry
// the file would be left behind in the temporary directory.
void DeleteCaptureFile(const wchar_t* path)
{
    constexpr DWORD retryInterval = 10;
    constexpr DWORD retryLimit = 2000;
    for (DWORD waited = 0; !DeleteFileW(path) && waited < retryLimit; waited += retryInterval) {
        if (GetLastError() != ERROR_SHARING_VIOLATION) {
            return;
        }
        Sleep(retryInterval);
    }
}

} // namespace

CapturedOutput RunAndCaptureOutput(const std::wstring& commandLine)
{
    CapturedOutput result;
    const std::wstring tempDirectory = GetTempDirectory();
    wchar_t tempFile[MAX_PATH] = {};
    GetTempFileNameW(tempDirectory.c_str(), L"MySqlVersion", 0, tempFile);

    SECURITY_ATTRIBUTES inheritable = {};
    inheritable.nLength = sizeof(inheritable);
    inheritable.bInheritHandle = TRUE;
    FileHandle file(CreateFileW(tempFile, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        result.error = GetLastError();
        return result;
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = file.Get();
    startup.hStdError = file.Get();
    std::vector<wchar_t> writableCommandLine(commandLine.begin(), commandLine.end());
    writableCommandLine.push_back(L'\0');
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, writableCommandLine.data(), nullptr, nullptr,
                        TRUE, // the child writes to the inherited file handle
                        CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                        &info)) {
        result.error = GetLastError();
        file.Reset();
        DeleteCaptureFile(tempFile);
        return result;
    }

    {
        KernelHandle process(info.hProcess);
        KernelHandle thread(info.hThread);
        DWORD exitCode = KilledChildExitCode;
        if (WaitForSingleObject(process.Get(), CaptureTimeLimit) == WAIT_TIMEOUT) {
            TerminateProcess(process.Get(), KilledChildExitCode);
            result.error = WAIT_TIMEOUT;
        }
        GetExitCodeProcess(process.Get(), &exitCode);
        result.exitCode = exitCode;
        // Process before thread, as they were handed out.
        process.Reset();
        thread.Reset();
    }

    const DWORD readStatus = ReadBack(file.Get(), result.output);
    file.Reset();
    DeleteCaptureFile(tempFile);
    if (result.error == 0) {
        result.error = readStatus;
    }
    return result;
}

std::wstring ExtractVersionText(const std::string& answer, size_t pathLength)
{
    const std::string text(answer.c_str()); // up to the first zero byte
    std::wstring wide;
    if (!text.empty()) {
        const int length = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(),
                                               static_cast<int>(text.size()), nullptr, 0);
        if (length > 0) {
            wide.assign(static_cast<size_t>(length), L'\0');
            if (MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()),
                                    &wide[0], length) != length) {
                wide.clear();
            }
        }
    }
    size_t end = wide.size();
    while (end > 0 && std::iswspace(wide[end - 1])) {
        --end;
    }
    wide.resize(end);
    const size_t skipped = pathLength + 2;
    if (wide.size() <= skipped) {
        return std::wstring();
    }
    return wide.substr(skipped);
}

std::wstring GetServerVersion(const std::wstring& path)
{
    const std::wstring fileVersion = GetFileVersionString(path);
    if (!fileVersion.empty()) {
        return fileVersion;
    }
    // Quoted, so that a path with blanks cannot start a program at a shorter
    // name such as C:\Program.exe.
    const CapturedOutput captured = RunAndCaptureOutput(L"\"" + path + L"\" --version");
    if (captured.error != 0) {
        return UnknownVersion;
    }
    return ExtractVersionText(captured.output, path.size());
}
