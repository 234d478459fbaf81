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

// Reads at most CaptureReadLimit bytes from the file's beginning, whatever
// its size; returns 0 or the failing call's code.
DWORD ReadBack(HANDLE file, std::string& bytes)
{
    bytes.clear();
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        return GetLastError();
    }
    bytes.assign(CaptureReadLimit, '\0');
    DWORD read = 0;
    if (!ReadFile(file, &bytes[0], CaptureReadLimit, &read, nullptr)) {
        const DWORD error = GetLastError();
        bytes.clear();
        return error;
    }
    bytes.resize(read);
    return 0;
}

// Only a file that exists is started, under its own name: given a name
// without extension (a path cut at its first blank, C:\Program), Windows
// would otherwise try that name with ".exe" appended.
DWORD CheckProgramFile(const std::wstring& program)
{
    const DWORD attributes = GetFileAttributesW(program.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return GetLastError();
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ERROR_FILE_NOT_FOUND : 0;
}

// A job that ends every process in it once its last handle is closed; null
// when the system gives none.
KernelHandle CreateKillOnCloseJob()
{
    KernelHandle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job && !SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        job.Reset();
    }
    return job;
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

CapturedOutput RunAndCaptureOutput(const std::wstring& program, const std::wstring& commandLine)
{
    CapturedOutput result;
    result.error = CheckProgramFile(program);
    if (result.error != 0) {
        return result;
    }
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
    // Started suspended, so that it is in the job before it can start
    // processes of its own.
    if (!CreateProcessW(program.c_str(), writableCommandLine.data(), nullptr, nullptr,
                        TRUE, // the child writes to the inherited file handle
                        CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &info)) {
        result.error = GetLastError();
        file.Reset();
        DeleteCaptureFile(tempFile);
        return result;
    }

    {
        KernelHandle process(info.hProcess);
        KernelHandle thread(info.hThread);
        // Where the job cannot take the child (Windows 7 inside a job of
        // its own), the child alone is ended at the time limit.
        KernelHandle job = CreateKillOnCloseJob();
        if (job && !AssignProcessToJobObject(job.Get(), process.Get())) {
            job.Reset();
        }
        ResumeThread(thread.Get());
        DWORD exitCode = KilledChildExitCode;
        if (WaitForSingleObject(process.Get(), CaptureTimeLimit) == WAIT_TIMEOUT) {
            if (!job || !TerminateJobObject(job.Get(), KilledChildExitCode)) {
                TerminateProcess(process.Get(), KilledChildExitCode);
            }
            result.error = WAIT_TIMEOUT;
        }
        GetExitCodeProcess(process.Get(), &exitCode);
        result.exitCode = exitCode;
        // Closing the job ends whatever the child left running, so that
        // nothing writes to the file any more.
        job.Reset();
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
    const CapturedOutput captured = RunAndCaptureOutput(path, L"\"" + path + L"\" --version");
    if (captured.error != 0) {
        return UnknownVersion;
    }
    return ExtractVersionText(captured.output, path.size());
}
