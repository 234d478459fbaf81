// Kestrin run as a black box: each case copies the shipped program (or one of
// the two test builds beside this test) into a directory of its own and runs
// it there.
#include <gtest/gtest.h>

#include "common/handles.h"
#include "tests/support/run_process.h"

namespace {

const std::wstring iniName = L"WindowsVersion.ini";

std::string IniText(const char* major, const char* minor, const char* build, const char* productType)
{
    return std::string("[Version]\r\nVersionMajor=") + major + "\r\nVersionMinor=" + minor + "\r\nBuild=" + build +
           "\r\nProductType=" + productType + "\r\n";
}

const std::string oldIni = "; note\r\n[Setup]\r\nPath=C:\\x\r\n\r\n[Version]\r\nVersionMajor=5\r\nServicePack=3\r\n"
                           "[Later]\r\nkey=1\r\n";

// Copies the program into the directory under the given name and runs
// it with the arguments (which start with a blank), from another directory.
// A Wine version given is set for that file name only, in
// HKCU\Software\Wine\AppDefaults\<file name>\Version; a file name of its own
// per case keeps the setting away from every other program in the prefix.
ProcessResult RunCopy(const std::wstring& program, const std::wstring& directory, const std::wstring& name,
                      const std::wstring& arguments = L"", const std::wstring& wineVersion = L"")
{
    const std::wstring copy = directory + L"\\" + name;
    const std::wstring key = L"Software\\Wine\\AppDefaults\\" + name;
    const std::wstring source = program == L"Kestrin.exe" ? ShippedPath(program) : BinPath(program);
    EXPECT_TRUE(CopyFileTo(source, copy)) << Narrow(source);
    if (!wineVersion.empty()) {
        RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Version", REG_SZ, wineVersion.c_str(),
                        static_cast<DWORD>((wineVersion.size() + 1) * sizeof(wchar_t)));
    }
    TempDir elsewhere;
    RunOptions options;
    options.currentDirectory = elsewhere.Path();
    ProcessResult result = RunProcess(Quoted(copy) + arguments, options);
    if (!wineVersion.empty()) {
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    }
    EXPECT_TRUE(result.started) << Narrow(copy) << " error " << result.startError;
    EXPECT_FALSE(FileExists(elsewhere.File(iniName))) << "written into the current directory";
    EXPECT_EQ(result.err, "");
    return result;
}

std::string IniIn(const std::wstring& directory)
{
    std::string bytes;
    return ReadFileBytes(directory + L"\\" + iniName, bytes) ? bytes : "(no file)";
}

TEST(Kestrin, WritesTheVersionTheProgramSeesOrWithAnyParameterTheUsage)
{
    const std::wstring refused1 = L"Kestrin::DetectWindowsVersion GetVersionEx() 1 failed.\n";
    const std::wstring refused2 = L"Kestrin::DetectWindowsVersion GetVersionEx() 2 failed.\n";
    const auto usage = [](const std::wstring& name) {
        return L"How to call " + name + L":\n\nThe program should be started without parameters.\n"
               L"It writes in its directory a file \"WindowsVersion.ini\",\n"
               L"which contains information about the running Windows version.\n";
    };
    const struct {
        const wchar_t* program;
        const wchar_t* runAs;
        const wchar_t* arguments;
        const wchar_t* wineVersion;
        bool acceptBasic;  // Kestrin_refused: only the extended record is refused
        bool oldFile;      // oldIni is there before
        std::wstring output;
        std::string ini;
    } cases[] = {
        {L"Kestrin.exe", L"KestrinWin10.exe", L"", L"win10", false, false, L"", IniText("10", "0", "18362", "1")},
        {L"Kestrin.exe", L"KestrinReplace.exe", L"", L"win10", false, true, L"", IniText("10", "0", "18362", "1")},
        // Without the manifest's Windows 10 entry the platform answers as
        // Windows 8.1, the newest release the manifest still names.
        {L"Kestrin_no_win10.exe", L"KestrinNoWin10Entry.exe", L"", L"win10", false, false, L"",
         IniText("6", "3", "9600", "1")},
        {L"Kestrin.exe", L"KestrinServer2008.exe", L"", L"win2008", false, false, L"", IniText("6", "0", "6002", "3")},
        {L"Kestrin_refused.exe", L"KestrinRefused.exe", L"", L"win81", false, true, refused1 + refused2,
         IniText("0", "0", "0", "0")},
        {L"Kestrin_refused.exe", L"KestrinBasicOnly.exe", L"", L"win81", true, false, refused1,
         IniText("6", "3", "9600", "0")},
        {L"Kestrin.exe", L"Kestrin.exe", L" -h", L"", false, false, usage(L"Kestrin"), "(no file)"},
        {L"Kestrin.exe", L"Kestrin.exe", L" /?", L"", false, true, usage(L"Kestrin"), oldIni},
        {L"Kestrin.exe", L"Kestrin.exe", L" x", L"", false, false, usage(L"Kestrin"), "(no file)"},
        {L"Kestrin.exe", L"Kestrin.exe", L" \"\"", L"", false, true, usage(L"Kestrin"), oldIni},
        {L"Kestrin.exe", L"Setup.Kestrin.exe", L" -? x", L"", false, false, usage(L"Setup.Kestrin"), "(no file)"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(Narrow(test.runAs + std::wstring(test.arguments)));
        TempDir dir;
        ASSERT_TRUE(!test.oldFile || WriteFileBytes(dir.File(iniName), oldIni));
        SetEnvironmentVariableW(L"KESTRIN_ACCEPT_BASIC", test.acceptBasic ? L"1" : nullptr);
        const ProcessResult result = RunCopy(test.program, dir.Path(), test.runAs, test.arguments, test.wineVersion);
        SetEnvironmentVariableW(L"KESTRIN_ACCEPT_BASIC", nullptr);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(ConsoleText(result.out), test.output);
        EXPECT_EQ(IniIn(dir.Path()), test.ini);
    }
}

// A file that cannot be replaced stays as it was: one that cannot be deleted
// (read-only, or held open without delete sharing), and one whose place
// cannot be written (a link to a folder that does not exist).
TEST(Kestrin, FileThatCannotBeReplacedStaysUnchanged)
{
    enum Obstacle { readOnly, heldOpen, unwritable };
    for (const Obstacle obstacle : {readOnly, heldOpen, unwritable}) {
        SCOPED_TRACE(obstacle == readOnly ? "read-only" : obstacle == heldOpen ? "held open" : "unwritable");
        TempDir dir;
        const std::wstring ini = dir.File(iniName);
        FileHandle holder;
        std::wstring output = L"WriteIniFile::DeleteFile " + ini + L" failed.\n";
        std::string after = oldIni;
        if (obstacle == unwritable) {
            ASSERT_TRUE(LinkToLinuxFile(ini, "/nonexistent/WindowsVersion.ini")) << "only under Wine";
            output = L"WriteIniFile::WritePrivateProfileSection failed.\n";
            after = "(no file)";
        } else {
            ASSERT_TRUE(WriteFileBytes(ini, oldIni));
        }
        if (obstacle == heldOpen) {
            holder.Reset(CreateFileW(ini.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(holder.IsValid());
        } else if (obstacle == readOnly) {
            ASSERT_TRUE(SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        const ProcessResult result = RunCopy(L"Kestrin.exe", dir.Path(), L"Kestrin.exe");
        SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(result.exitCode, 2u);
        EXPECT_EQ(ConsoleText(result.out), output);
        EXPECT_EQ(IniIn(dir.Path()), after);
        if (obstacle == unwritable) {
            EXPECT_TRUE(RemoveLinuxLink(ini));
        }
    }
}

// A directory with room for "\Kestrin.exe" but not for "\WindowsVersion.ini"
// within 260 characters: nothing is written anywhere, and the run fails.
TEST(Kestrin, DirectoryTooLongForTheFileNameWritesNothing)
{
    TempDir parent;
    const size_t directoryLength = 245;
    ASSERT_LT(parent.Path().size() + 1, directoryLength);
    const std::wstring directory = parent.Path() + L"\\" + std::wstring(directoryLength - parent.Path().size() - 1, L'd');
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    const ProcessResult result = RunCopy(L"Kestrin.exe", directory, L"Kestrin.exe");
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(ConsoleText(result.out), L"WriteIniFile::PathAppend failed.\n");
    EXPECT_EQ(IniIn(directory), "(no file)");
    EXPECT_EQ(IniIn(parent.Path()), "(no file)");
}

} // namespace
