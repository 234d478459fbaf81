// Black-box tests of the shipped Tolvane.dll through the 32-bit stand-in
// uninstaller, which calls the exports as the installer engine does and
// reports every message box.
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
         + " | icon error, buttons 1\nresult: -1\nuninit: 0\n";
}

// What the stand-in interpreter records when it is started as program for the
// batch in dir: the line byte for byte (the outer pair of quotes is the one
// that cmd /c strips), started as that program, from the uninstaller's current
// directory, with a console but without its window, with zeroed start-up
// flags.
std::wstring Interpreted(const std::wstring& program, const std::wstring& dir)
{
    return program + L" /c \"\"" + dir + L"\\stop_mysql.bat\"\"\nprogram " + program +
           L"\ndirectory {cwd}\nconsole without window\nstartup flags 0\n";
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
    return extra.empty() ? block + L'\0' : block + extra + L'\0' + L'\0';
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
// library: "mysql", "My SQL", "Program Files (x86)\A & B" and "failing" with a
// batch that leaves a marker file (the last one then ends with an error code),
// "empty" without a batch. Copies of the stand-in interpreter: one in
// "Program Files\x" as "cmd.exe", one as "Program.exe" where Windows would
// look first for the former if the line alone named the program. The stand-in
// records into "interpreter.txt".
class UninstallHookTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(descendantsEndWithTheTest);
        for (const wchar_t* name : {L"Program Files (x86)", L"Program Files", L"Program Files\\x"}) {
            ASSERT_TRUE(CreateDirectoryW(Dir(name).c_str(), nullptr));
        }
        for (const wchar_t* name : {L"mysql", L"My SQL", L"Program Files (x86)\\A & B", L"failing", L"empty"}) {
            ASSERT_TRUE(CreateDirectoryW(Dir(name).c_str(), nullptr));
            ASSERT_TRUE(CopyFileTo(ShippedPath(L"Tolvane.dll"), Dir(name) + L"\\Tolvane.dll"));
        }
        WriteBatch(L"mysql", "");
        WriteBatch(L"My SQL", "");
        WriteBatch(L"Program Files (x86)\\A & B", "");
        WriteBatch(L"failing", "", "exit /b 7\r\n");
        for (const wchar_t* copy : {L"Program Files\\x\\cmd.exe", L"Program.exe"}) {
            ASSERT_TRUE(CopyFileTo(BinPath(L"standin_uninstaller.exe"), Dir(copy)));
        }
        ASSERT_TRUE(SetEnvironmentVariableW(L"STANDIN_RECORD", Dir(L"interpreter.txt").c_str()));
    }

    void TearDown() override { SetEnvironmentVariableW(L"STANDIN_RECORD", nullptr); }

    std::wstring Dir(const wchar_t* name) const { return temp.File(name); }
    bool Marked(const wchar_t* name) const { return FileExists(Dir(name) + L"\\marker.txt"); }

    void WriteBatch(const wchar_t* name, const std::string& before, const std::string& after = "")
    {
        ASSERT_TRUE(WriteFileBytes(Dir(name) + L"\\stop_mysql.bat", "@echo off\r\n" + before + "echo ran> \"" +
                                                                        Narrow(Dir(name)) + "\\marker.txt\"\r\n" + after));
    }

    // The text with {dir}, {blank}, {x86}, {failing} and {empty} replaced by
    // the directories' paths, {interpreter} and {spaced} by the stand-in
    // interpreter's own path and its copy in "Program Files\x", {cwd} by the
    // current directory.
    std::wstring Expand(std::wstring text) const
    {
        wchar_t cwd[MAX_PATH] = L"";
        GetCurrentDirectoryW(MAX_PATH, cwd);
        const std::pair<const wchar_t*, std::wstring> names[] = {
            {L"{dir}", Dir(L"mysql")},
            {L"{blank}", Dir(L"My SQL")},
            {L"{x86}", Dir(L"Program Files (x86)\\A & B")},
            {L"{failing}", Dir(L"failing")},
            {L"{empty}", Dir(L"empty")},
            {L"{interpreter}", BinPath(L"standin_uninstaller.exe")},
            {L"{spaced}", Dir(L"Program Files\\x\\cmd.exe")},
            {L"{cwd}", cwd}};
        for (const auto& [key, path] : names) {
            for (size_t at; (at = text.find(key)) != std::wstring::npos;) {
                text.replace(at, wcslen(key), path);
            }
        }
        return text;
    }

    // Runs the stand-in with Tolvane.dll from "mysql", the arguments expanded.
    std::string Run(const std::wstring& arguments, const RunOptions& options = {})
    {
        ProcessResult result = RunProcess(Quoted(BinPath(L"standin_uninstaller.exe")) + L" --library=" +
                                              Quoted(Dir(L"mysql") + L"\\Tolvane.dll") + L" " + Expand(arguments),
                                          options);
        EXPECT_TRUE(result.started) << "start error " << result.startError;
        EXPECT_EQ(0u, result.exitCode) << result.out << result.err;
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
        const wchar_t* ranIn;    // directory whose batch must have run, or none
        const wchar_t* comspec;  // replaces the inherited one ("" removes it); null: inherited
        std::wstring interpreted = L""; // what the stand-in interpreter records; empty: it never runs
    };
    const Case cases[] = {
        {L"/S -c{dir}\\Tolvane.dll", succeeded, L"mysql", nullptr},
        {L"\"-c{blank}\\Tolvane.dll\"", succeeded, L"My SQL", nullptr},
        {L"/S -c\"{blank}\\Tolvane.dll\"", succeeded, L"My SQL", nullptr},
        {L"-c{failing}\\Tolvane.dll", succeeded, L"failing", nullptr},
        {L"-c{empty}\\setup.exe -c{empty}\\Tolvane -c{dir}\\Tolvane.Dll", succeeded, L"mysql", nullptr},
        {L"-C{empty}\\Tolvane.dll -c{dir}\\TOLVANE.DLL", succeeded, L"mysql", nullptr},
        {L"-c{dir}\\Tolvane.dll -c{empty}\\Tolvane.dll", succeeded, L"mysql", nullptr},
        {L"-c{empty}\\Tolvane.dll -c{dir}\\Tolvane.dll", Failed(103), nullptr, nullptr},
        {L"-c {dir}\\Tolvane.dll", Failed(102), nullptr, nullptr},
        {L"-C{dir}\\Tolvane.dll", Failed(102), nullptr, nullptr},
        {L"x-c{dir}\\Tolvane.dll", Failed(102), nullptr, nullptr},
        {L"-c{dir}\\Tolvane", Failed(102), nullptr, nullptr},
        {L"", Failed(102), nullptr, nullptr},
        {L"--owner -c {dir}\\Tolvane.dll", Failed(102, true), nullptr, nullptr},
        {L"--linked --no-admin -c{dir}\\Tolvane.dll", Failed(101), nullptr, nullptr},
        {L"-c{dir}\\Tolvane.dll\\..\\" + std::wstring(300, L'x') + L"\\Tolvane.dll", Failed(103), nullptr, nullptr},
        // The library's path fits a path buffer, the batch's beside it not.
        {L"-c{dir}\\" + std::wstring(245 - Dir(L"mysql").size(), L'x') + L"\\Tolvane.dll", Failed(103), nullptr, nullptr},
        {L"-c{dir}\\Tolvane.dll", Failed(104), nullptr, L""},
        {L"-c{dir}\\Tolvane.dll", Failed(104), nullptr, L"COMSPEC=C:\\nowhere\\cmd.exe"},
        // Parentheses and an ampersand: Windows' interpreter strips the outer
        // pair of quotes from such a line.
        {L"\"-c{x86}\\Tolvane.dll\"", succeeded, L"Program Files (x86)\\A & B", nullptr},
        {L"-c{dir}\\Tolvane.dll", succeeded, nullptr, L"COMSPEC={interpreter}", Interpreted(L"{interpreter}", L"{dir}")},
        {L"\"-c{blank}\\Tolvane.dll\"", succeeded, nullptr, L"COMSPEC={interpreter}",
         Interpreted(L"{interpreter}", L"{blank}")},
        {L"/S -c\"{x86}\\Tolvane.dll\"", succeeded, nullptr, L"COMSPEC={interpreter}",
         Interpreted(L"{interpreter}", L"{x86}")},
        // An interpreter path with a blank starts that program, not "Program.exe".
        {L"-c{dir}\\Tolvane.dll", succeeded, nullptr, L"COMSPEC={spaced}", Interpreted(L"{spaced}", L"{dir}")},
    };
    const wchar_t* const batchDirs[] = {L"mysql", L"My SQL", L"Program Files (x86)\\A & B", L"failing"};
    for (const Case& c : cases) {
        const std::string trace = Narrow(c.arguments) + (c.comspec ? " with [" + Narrow(c.comspec) + "]" : "");
        SCOPED_TRACE(trace);
        for (const wchar_t* name : batchDirs) {
            DeleteFileW((Dir(name) + L"\\marker.txt").c_str());
        }
        DeleteFileW(Dir(L"interpreter.txt").c_str());
        const std::wstring environment = EnvironmentWithComspec(c.comspec ? Expand(c.comspec) : L"");
        RunOptions options;
        options.environment = c.comspec ? environment.c_str() : nullptr;
        EXPECT_EQ(c.expected, Run(c.arguments, options));
        for (const wchar_t* name : batchDirs) {
            EXPECT_EQ(c.ranIn && wcscmp(c.ranIn, name) == 0, Marked(name)) << Narrow(name);
        }
        std::string recorded;
        ReadFileBytes(Dir(L"interpreter.txt"), recorded);
        EXPECT_EQ(Narrow(Expand(c.interpreted)), recorded);
    }
}

// The batch's slow program outlasts the limit: the interpreter is ended, with
// exit code 0 (the batch's line after that program never runs), and the
// failure shown.
TEST_F(UninstallHookTest, BatchLongerThan45SecondsFails)
{
    const DWORD limitMs = 45000;
    WriteBatch(L"mysql", "\"" + Narrow(BinPath(L"standin_uninstaller.exe")) + "\" --sleep=" +
                             std::to_string(limitMs + 2000) + "\r\n");
    // The uninstaller's own start and end count too: a tenth of a second
    // natively, one to two seconds where qemu-i386 runs the 32-bit programs (a
    // kernel that runs no 32-bit code), which would leave the 2 s margin
    // little room. A run that starts no interpreter (no batch) measures that
    // cost; the bound allows it on top of the margin, so the limit, counted
    // from the interpreter's start, is held as tightly on either machine.
    ULONGLONG start = GetTickCount64();
    EXPECT_EQ(Failed(103), Run(L"-c{empty}\\Tolvane.dll"));
    const ULONGLONG hostMs = GetTickCount64() - start;
    start = GetTickCount64();
    EXPECT_EQ(Failed(104), Run(L"-c{dir}\\Tolvane.dll"));
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_GE(elapsed, limitMs);
    EXPECT_LT(elapsed, limitMs + 2000 + hostMs);
    Sleep(static_cast<DWORD>(limitMs + 3000 - std::min<ULONGLONG>(elapsed, limitMs + 3000)));
    EXPECT_FALSE(Marked(L"mysql"));
    std::string record;
    ReadFileBytes(Dir(L"interpreter.txt"), record);
    EXPECT_EQ("interpreter ended with 0\n", record);
}
