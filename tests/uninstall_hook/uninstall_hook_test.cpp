// Black-box tests of Tolvane.dll through the stand-in uninstaller, which calls
// the exports as the installer engine does and reports every message box.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/run_process.h"

namespace {

const char caption[] = "Brelkin MySQL-Deinstallation";
const char* const messages[] = {
    "Für die Deinstallation benötigen Sie Administratorenrechte.",
    "Ungültiger Deinstallationseintrag.",
    "Die Datei \"stop_mysql.bat\" existiert nicht im MySQL-Programmverzeichnis.",
    "Die Deinstallation des MySQL-Dienstes ist fehlgeschlagen.",
};

const std::string succeeded = "result: 0\nuninit: 0\n";

std::string Failed(int id, bool owned = false)
{
    return std::string("box: ") + caption + " | " + messages[id - 101] + " | owned " + (owned ? "yes" : "no")
         + "\nresult: -1\nuninit: 0\n";
}

std::wstring Replace(std::wstring text, const std::wstring& from, const std::wstring& to)
{
    for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The environment of this process without comspec, plus extra ("NAME=value").
std::wstring EnvironmentWithComspec(const std::wstring& extra)
{
    std::wstring block;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry; entry += wcslen(entry) + 1) {
        if (_wcsnicmp(entry, L"COMSPEC=", 8) != 0) {
            block.append(entry).push_back(L'\0');
        }
    }
    FreeEnvironmentStringsW(strings);
    if (!extra.empty()) {
        block.append(extra).push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

// Wine hands this process's standard error (the test runner's pipe) down to
// every process it starts; one that outlives the test (a console host, the
// slow program of a batch) would keep the runner waiting. A job that ends them
// all when this process goes.
const bool descendantsEndWithTheTest = [] {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    return job && SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))
        && AssignProcessToJobObject(job, GetCurrentProcess());
}();

// Program directories in one temporary folder, each with a copy of the
// library: "mysql" and "My SQL" with a batch that leaves a marker file,
// "empty" without a batch.
class UninstallHookTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(descendantsEndWithTheTest);
        for (const wchar_t* name : {L"mysql", L"My SQL", L"empty"}) {
            ASSERT_TRUE(CreateDirectoryW(temp.File(name).c_str(), nullptr));
            ASSERT_TRUE(CopyFileTo(BinPath(L"Tolvane.dll"), temp.File(name) + L"\\Tolvane.dll"));
        }
        WriteBatch(L"mysql", "");
        WriteBatch(L"My SQL", "");
    }

    std::wstring Dir(const wchar_t* name) const { return temp.File(name); }
    bool Marked(const wchar_t* name) const { return FileExists(Dir(name) + L"\\marker.txt"); }

    // A batch that runs the lines before and then leaves the marker.
    void WriteBatch(const wchar_t* name, const std::string& before)
    {
        ASSERT_TRUE(WriteFileBytes(Dir(name) + L"\\stop_mysql.bat",
                                   "@echo off\r\n" + before + "echo ran> \"" + Narrow(Dir(name)) + "\\marker.txt\"\r\n"));
    }

    // Runs the stand-in with Tolvane.dll from "mysql"; {dir}, {blank} and
    // {empty} in the arguments name the three directories.
    std::string Run(const std::wstring& arguments, const RunOptions& options = {})
    {
        std::wstring line = Quoted(BinPath(L"standin_uninstaller.exe")) + L" --library="
                          + Quoted(Dir(L"mysql") + L"\\Tolvane.dll") + L" " + arguments;
        line = Replace(line, L"{dir}", Dir(L"mysql"));
        line = Replace(line, L"{blank}", Dir(L"My SQL"));
        line = Replace(line, L"{empty}", Dir(L"empty"));
        ProcessResult result = RunProcess(line, options);
        EXPECT_EQ(0u, result.exitCode) << result.out;
        result.out.erase(std::remove(result.out.begin(), result.out.end(), '\r'), result.out.end());
        return result.out;
    }

    TempDir temp;
};

} // namespace

TEST_F(UninstallHookTest, FindsTheHookTokenAndRunsTheBatchBesideIt)
{
    struct Case {
        std::wstring arguments;
        std::string expected;
        const wchar_t* ranIn;  // directory whose batch must have run, or none
    };
    const Case cases[] = {
        {L"/S -c{dir}\\Tolvane.dll", succeeded, L"mysql"},
        {L"\"-c{blank}\\Tolvane.dll\"", succeeded, L"My SQL"},
        {L"/S -c\"{blank}\\Tolvane.dll\"", succeeded, L"My SQL"},
        {L"-c{empty}\\setup.exe -c{empty}\\Tolvane -c{dir}\\Tolvane.Dll", succeeded, L"mysql"},
        {L"-C{empty}\\Tolvane.dll -c{dir}\\TOLVANE.DLL", succeeded, L"mysql"},
        {L"-c{dir}\\Tolvane.dll -c{empty}\\Tolvane.dll", succeeded, L"mysql"},
        {L"-c{empty}\\Tolvane.dll -c{dir}\\Tolvane.dll", Failed(103), nullptr},
        {L"-c {dir}\\Tolvane.dll", Failed(102), nullptr},
        {L"-C{dir}\\Tolvane.dll", Failed(102), nullptr},
        {L"x-c{dir}\\Tolvane.dll", Failed(102), nullptr},
        {L"-c{dir}\\Tolvane", Failed(102), nullptr},
        {L"", Failed(102), nullptr},
        {L"--owner -c {dir}\\Tolvane.dll", Failed(102, true), nullptr},
        {L"--linked --no-admin -c{dir}\\Tolvane.dll", Failed(101), nullptr},
        {L"-c{dir}\\Tolvane.dll\\..\\" + std::wstring(300, L'x') + L"\\Tolvane.dll", Failed(103), nullptr},
    };
    for (const Case& c : cases) {
        for (const wchar_t* name : {L"mysql", L"My SQL"}) {
            DeleteFileW((Dir(name) + L"\\marker.txt").c_str());
        }
        EXPECT_EQ(c.expected, Run(c.arguments)) << Narrow(c.arguments);
        EXPECT_EQ(c.ranIn != nullptr, c.ranIn && Marked(c.ranIn)) << Narrow(c.arguments);
        if (!c.ranIn) {
            EXPECT_FALSE(Marked(L"mysql") || Marked(L"My SQL")) << Narrow(c.arguments);
        }
    }
}

TEST_F(UninstallHookTest, BatchEndingWithAnErrorCodeStillSucceeds)
{
    WriteBatch(L"mysql", "echo ran> \"" + Narrow(Dir(L"mysql")) + "\\before.txt\"\r\nexit /b 7\r\n");
    EXPECT_EQ(succeeded, Run(L"-c{dir}\\Tolvane.dll"));
    EXPECT_TRUE(FileExists(Dir(L"mysql") + L"\\before.txt"));
    EXPECT_FALSE(Marked(L"mysql"));
}

TEST_F(UninstallHookTest, InterpreterThatCannotStartIsReported)
{
    for (const wchar_t* comspec : {L"", L"COMSPEC=C:\\nowhere\\cmd.exe"}) {
        const std::wstring environment = EnvironmentWithComspec(comspec);
        RunOptions options;
        options.environment = environment.c_str();
        EXPECT_EQ(Failed(104), Run(L"-c{dir}\\Tolvane.dll", options)) << Narrow(comspec);
        EXPECT_FALSE(Marked(L"mysql"));
    }
}

// The batch's slow program outlasts the limit: the interpreter is ended (the
// batch's line after that program never runs) and the failure shown.
TEST_F(UninstallHookTest, BatchLongerThan45SecondsFails)
{
    const DWORD limitMs = 45000;
    WriteBatch(L"mysql", "\"" + Narrow(BinPath(L"standin_uninstaller.exe")) + "\" --sleep=" +
                             std::to_string(limitMs + 2000) + "\r\n");
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(Failed(104), Run(L"-c{dir}\\Tolvane.dll"));
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_GE(elapsed, limitMs);
    EXPECT_LT(elapsed, limitMs + 2000);
    Sleep(static_cast<DWORD>(limitMs + 3000 - std::min<ULONGLONG>(elapsed, limitMs + 3000)));
    EXPECT_FALSE(Marked(L"mysql"));
}
