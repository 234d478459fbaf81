#include "service_tool/hostinfo/server_version.h"

#include <gtest/gtest.h>

#include "tests/support/run_process.h"

TEST(ServerVersion, ExtractVersionTextCutsPathAndTrailingSpace)
{
    const std::string path = "C:\\s\\mysqld.exe";
    // Bytes above 127 are read in the ANSI code page, not as UTF-8.
    wchar_t ansi[2] = {};
    ASSERT_EQ(MultiByteToWideChar(CP_THREAD_ACP, 0, "\xC3\xA9", 2, ansi, 2), 2);
    const struct {
        std::string answer;
        std::wstring expected;
    } cases[] = {
        {path + "  Ver 10.5.8 for Win64\r\n", L"Ver 10.5.8 for Win64"},
        {path + "  Ver 1\r\nsecond line\r\n \t", L"Ver 1\r\nsecond line"},
        {path + "   leading kept", L" leading kept"},
        {path + "  \r\n", L""},
        {path + " ", L""},
        {"", L""},
        {path + std::string("  Ver\0hidden", 12), L"Ver"},
        {std::string("\0", 1) + path + "  Ver", L""},
        {path + "  \xC3\xA9", std::wstring(ansi, 2)},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(ExtractVersionText(row.answer, path.size()), row.expected) << row.answer;
    }
}

TEST(ServerVersion, VersionFromResourceElseProbe)
{
    TempDir dir;
    CreateDirectoryW(dir.File(L"my dir").c_str(), nullptr);
    const auto place = [&dir](const std::wstring& name, bool versioned, const std::string& answer) {
        CopyFileTo(BinPath(versioned ? L"standin_server_versioned.exe" : L"standin_server.exe"),
                   dir.File(name));
        if (!answer.empty()) {
            WriteFileBytes(dir.File(name + L".answer"), answer);
        }
        return dir.File(name);
    };
    // Probed unquoted, "my dir\mysqld.exe" would start my.exe instead; so
    // would the path "my", as an unquoted "my dir\mysqld.exe" is cut, given
    // to Windows as no program name.
    place(L"my.exe", false, "");
    const std::wstring flood = place(L"flood.exe", false, "flood");
    const size_t floodAnswer = flood.size() + std::string("  Ver 10.5.8 for Win64\n").size();
    const struct {
        std::wstring path;
        std::wstring expected;
        bool probed;
    } cases[] = {
        {place(L"versioned.exe", true, ""), L"10.5.8.0", false},
        {place(L"my dir\\mysqld.exe", false, ""), L"Ver 10.5.8 for Win64", true},
        {place(L"lines.exe", false, "text:Ver 11\r\nmore\r\n\r\n"), L"Ver 11\r\nmore", true},
        {place(L"silent.exe", false, "silent"), L"", true},
        {place(L"hang.exe", false, "hang"), L"unknown file version", true},
        {dir.File(L"missing.exe"), L"unknown file version", false},
        {dir.File(L"my"), L"unknown file version", false},
        {dir.Path(), L"unknown file version", false},
        // Only the start of an endless answer is read.
        {flood, L"Ver 10.5.8 for Win64\n" + std::wstring(CaptureReadLimit - floodAnswer, L'x'), true},
        {L"", L"unknown file version", false},
    };
    for (const auto& row : cases) {
        // Lengths first: a read that is not bounded gives a megabyte of text.
        const std::wstring version = GetServerVersion(row.path);
        EXPECT_EQ(version.size(), row.expected.size()) << Narrow(row.path);
        EXPECT_EQ(version.substr(0, 100), row.expected.substr(0, 100)) << Narrow(row.path);
        EXPECT_TRUE(version == row.expected) << Narrow(row.path);
        EXPECT_EQ(FileExists(row.path + L".probed"), row.probed) << Narrow(row.path);
        // Wine runs a program started with the wrong arguments all the same,
        // where Windows would not: so the server tells how it was started
        // (its exact command line; a console without a window; the output
        // file as one inherited handle for output and error, no input, and
        // open for others to read and write).
        std::string record;
        if (row.probed && ReadFileBytes(row.path + L".probed", record)) {
            EXPECT_EQ(record, Narrow(Quoted(row.path)) + " --version | console | output and error one handle"
                                                         " | no input | output shared | in a job\r\n");
        }
    }
    EXPECT_FALSE(FileExists(dir.File(L"my.exe.probed")));
}

// Both streams and the exit code are captured; a child still running at the
// limit is killed. No temporary file is left either way.
TEST(ServerVersion, RunAndCaptureOutputWaitsAtMostTheLimit)
{
    TempDir temp, dir;
    ASSERT_TRUE(CopyFileTo(BinPath(L"standin_server.exe"), dir.File(L"mysqld.exe")));
    ASSERT_TRUE(WriteFileBytes(dir.File(L"mysqld.exe.answer"), "hang"));
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring cmd = std::wstring(system) + L"\\cmd.exe";
    const struct {
        std::wstring program;
        std::wstring commandLine;
        DWORD error;
        DWORD exitCode;
        std::string output;
        ULONGLONG minimumMs;
        std::wstring tmp = L""; // the temporary folder; empty: temp
    } cases[] = {
        {cmd, L"cmd.exe /c echo out& echo err 1>&2& exit 7", 0, 7, "out\r\nerr \r\n", 0},
        {dir.File(L"mysqld.exe"), Quoted(dir.File(L"mysqld.exe")) + L" --version", WAIT_TIMEOUT, KilledChildExitCode,
         "", CaptureTimeLimit - 100},
        // No file for the output: nothing is started.
        {cmd, L"cmd.exe /c exit 7", ERROR_PATH_NOT_FOUND, 0, "", 0, temp.File(L"missing")},
        // Only the program named is started, never one found by its name
        // with ".exe" added or by a search.
        {std::wstring(system) + L"\\cmd", L"cmd.exe /c exit 7", ERROR_FILE_NOT_FOUND, 0, "", 0},
        {L"cmd.exe", L"cmd.exe /c exit 7", ERROR_FILE_NOT_FOUND, 0, "", 0},
    };
    wchar_t oldTmp[MAX_PATH] = {};
    const DWORD hadTmp = GetEnvironmentVariableW(L"TMP", oldTmp, MAX_PATH);
    for (const auto& row : cases) {
        SetEnvironmentVariableW(L"TMP", row.tmp.empty() ? temp.Path().c_str() : row.tmp.c_str());
        const ULONGLONG begin = GetTickCount64();
        const CapturedOutput captured = RunAndCaptureOutput(row.program, row.commandLine);
        const ULONGLONG elapsed = GetTickCount64() - begin;
        EXPECT_EQ(captured.error, row.error) << Narrow(row.commandLine);
        EXPECT_EQ(captured.exitCode, row.exitCode) << Narrow(row.commandLine);
        EXPECT_EQ(captured.output, row.output) << Narrow(row.commandLine);
        EXPECT_GE(elapsed, row.minimumMs);
        EXPECT_LT(elapsed, row.minimumMs + 2000);
    }
    SetEnvironmentVariableW(L"TMP", hadTmp ? oldTmp : nullptr);
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(temp.File(L"*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    for (BOOL more = TRUE; more; more = FindNextFileW(search, &found)) {
        EXPECT_EQ(found.cFileName[0], L'.') << "left behind: " << Narrow(found.cFileName);
    }
    FindClose(search);
}
