#include "service_tool/hostinfo/server_version.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/run_process.h"

namespace {

// Points TMP at a private directory for the life of the object, so that the
// probe's temporary files can be counted without other tests interfering.
class PrivateTemp {
public:
    PrivateTemp()
    {
        wchar_t old[MAX_PATH] = {};
        hadOld = GetEnvironmentVariableW(L"TMP", old, MAX_PATH) > 0;
        oldValue = old;
        SetEnvironmentVariableW(L"TMP", dir.Path().c_str());
    }
    ~PrivateTemp() { SetEnvironmentVariableW(L"TMP", hadOld ? oldValue.c_str() : nullptr); }

    // Names of the files left in the directory.
    std::vector<std::wstring> Files() const
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW(dir.File(L"*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) {
            return names;
        }
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                names.push_back(found.cFileName);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
        return names;
    }

    TempDir dir;

private:
    bool hadOld = false;
    std::wstring oldValue;
};

// A copy of the stand-in server (no version resource) at the path, answering
// --version as the answer file says ("" for its default answer).
std::wstring PlaceServer(const std::wstring& path, const std::string& answer)
{
    CopyFileTo(BinPath(L"standin_server.exe"), path);
    if (!answer.empty()) {
        WriteFileBytes(path + L".answer", answer);
    }
    return path;
}

} // namespace

TEST(ServerVersion, ExtractVersionTextCutsPathAndTrailingSpace)
{
    const std::string path = "C:\\s\\mysqld.exe";
    const struct {
        std::string answer;
        std::wstring expected;
    } cases[] = {
        {path + "  Ver 10.5.8 for Win64\r\n", L"Ver 10.5.8 for Win64"},
        {path + "  Ver 1\r\nsecond line\r\n \t", L"Ver 1\r\nsecond line"},
        {path + "   leading kept", L" leading kept"},
        {path + "  x", L"x"},
        {path + "  ", L""},
        {path + "  \r\n", L""},
        {path + " ", L""},
        {"", L""},
        {path + std::string("  Ver\0hidden", 12), L"Ver"},
        {std::string("\0", 1) + path + "  Ver", L""},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(ExtractVersionText(row.answer, path.size()), row.expected) << row.answer;
    }
}

TEST(ServerVersion, ExtractVersionTextReadsTheAnsiCodePage)
{
    // The UTF-8 bytes of an e with acute accent are two characters in the ANSI code page.
    const std::string bytes = "P  \xC3\xA9";
    wchar_t expected[2] = {};
    ASSERT_EQ(MultiByteToWideChar(CP_THREAD_ACP, 0, "\xC3\xA9", 2, expected, 2), 2);
    EXPECT_EQ(ExtractVersionText(bytes, 1), std::wstring(expected, 2));
}

TEST(ServerVersion, RunAndCaptureOutputCollectsBothStreamsAndTheExitCode)
{
    PrivateTemp temp;
    const CapturedOutput captured = RunAndCaptureOutput(L"cmd.exe /c echo out& echo err 1>&2& exit 7");
    EXPECT_EQ(captured.error, 0u);
    EXPECT_EQ(captured.exitCode, 7u);
    EXPECT_NE(captured.output.find("out"), std::string::npos) << captured.output;
    EXPECT_NE(captured.output.find("err"), std::string::npos) << captured.output;
    EXPECT_LT(captured.output.find("out"), captured.output.find("err")) << captured.output;
    EXPECT_EQ(temp.Files(), std::vector<std::wstring>());
}

TEST(ServerVersion, RunAndCaptureOutputReportsAProgramThatCannotStart)
{
    PrivateTemp temp;
    const CapturedOutput captured =
        RunAndCaptureOutput(Quoted(temp.dir.File(L"missing.exe")) + L" --version");
    EXPECT_EQ(captured.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(captured.exitCode, 0u);
    EXPECT_EQ(temp.Files(), std::vector<std::wstring>());
}

TEST(ServerVersion, VersionFromResourceOrProbe)
{
    PrivateTemp temp;
    TempDir dir;
    const std::wstring answering = PlaceServer(dir.File(L"mysqld.exe"), "");
    const std::wstring multiLine = PlaceServer(dir.File(L"mariadbd.exe"), "text:Ver 11\r\nmore\r\n\r\n");
    const std::wstring silent = PlaceServer(dir.File(L"silent.exe"), "silent");
    const std::wstring versioned = dir.File(L"versioned.exe");
    CopyFileTo(BinPath(L"standin_server_versioned.exe"), versioned);
    const struct {
        std::wstring path;
        std::wstring expected;
        bool probed;
    } cases[] = {
        {versioned, L"10.5.8.0", false},
        {answering, L"Ver 10.5.8 for Win64", true},
        {multiLine, L"Ver 11\r\nmore", true},
        {silent, L"", true},
        {dir.File(L"missing.exe"), L"unknown file version", false},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(GetServerVersion(row.path), row.expected) << Narrow(row.path);
        EXPECT_EQ(FileExists(row.path + L".probed"), row.probed) << Narrow(row.path);
    }
    EXPECT_EQ(temp.Files(), std::vector<std::wstring>());
}

TEST(ServerVersion, HangingServerIsKilledAfterTwoSeconds)
{
    PrivateTemp temp;
    TempDir dir;
    const std::wstring hanging = PlaceServer(dir.File(L"mysqld.exe"), "hang");
    const ULONGLONG begin = GetTickCount64();
    const CapturedOutput captured = RunAndCaptureOutput(Quoted(hanging) + L" --version");
    const ULONGLONG elapsed = GetTickCount64() - begin;
    EXPECT_EQ(captured.error, static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(captured.exitCode, KilledChildExitCode);
    EXPECT_GE(elapsed, 1900u);
    EXPECT_LT(elapsed, 5000u);
    EXPECT_TRUE(FileExists(hanging + L".probed"));
    EXPECT_EQ(GetServerVersion(hanging), L"unknown file version");
    EXPECT_EQ(temp.Files(), std::vector<std::wstring>());
}

TEST(ServerVersion, PathWithBlanksCannotStartAProgramAtAShorterName)
{
    PrivateTemp temp;
    TempDir dir;
    CreateDirectoryW(dir.File(L"my dir").c_str(), nullptr);
    const std::wstring server = PlaceServer(dir.File(L"my dir\\mysqld.exe"), "");
    // Run unquoted, the system would start this one instead, with
    // "dir\mysqld.exe --version" as its arguments; it then answers with a
    // complaint, and the real server is never probed.
    PlaceServer(dir.File(L"my.exe"), "");
    EXPECT_EQ(GetServerVersion(server), L"Ver 10.5.8 for Win64");
    EXPECT_TRUE(FileExists(server + L".probed"));
}
