// Kestrin run as a black box: each case copies a built program into a
// directory of its own and runs it there.
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

// Wine takes the version an executable sees from
// HKCU\Software\Wine\AppDefaults\<file name>\Version. A file name of its own
// per case keeps the setting away from every other program in the prefix.
class WineVersionSetting {
public:
    WineVersionSetting(const std::wstring& exeName, const std::wstring& version)
        : key(L"Software\\Wine\\AppDefaults\\" + exeName)
    {
        RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Version", REG_SZ, version.c_str(),
                        static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
    }
    ~WineVersionSetting() { RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str()); }

private:
    std::wstring key;
};

// Copies the built program into the directory under the given name and runs
// it with the arguments (which start with a blank), from another directory.
ProcessResult RunCopy(const std::wstring& program, const std::wstring& directory, const std::wstring& name,
                      const std::wstring& arguments = L"")
{
    const std::wstring copy = directory + L"\\" + name;
    if (!CopyFileTo(BinPath(program), copy)) {
        ADD_FAILURE() << "cannot copy " << Narrow(program) << " to " << Narrow(copy);
        return ProcessResult{};
    }
    TempDir elsewhere;
    RunOptions options;
    options.currentDirectory = elsewhere.Path();
    ProcessResult result = RunProcess(Quoted(copy) + arguments, options);
    EXPECT_TRUE(result.started) << Narrow(copy);
    EXPECT_FALSE(FileExists(elsewhere.File(iniName))) << "written into the current directory";
    EXPECT_EQ(result.err, "");
    return result;
}

std::string ReadIni(const TempDir& dir)
{
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(dir.File(iniName), bytes)) << "no " << Narrow(dir.File(iniName));
    return bytes;
}

struct VersionCase {
    const wchar_t* program;
    const wchar_t* runAs;
    const wchar_t* wineVersion;
    bool acceptBasic;  // Kestrin_refused: only the extended record is refused
    bool oldFile;      // an older file with other sections is there before
    std::wstring output;
    std::string ini;
};

TEST(Kestrin, WritesTheVersionTheProgramSees)
{
    const wchar_t* refused1 = L"Kestrin::DetectWindowsVersion GetVersionEx() 1 failed.\n";
    const wchar_t* refused2 = L"Kestrin::DetectWindowsVersion GetVersionEx() 2 failed.\n";
    const VersionCase cases[] = {
        {L"Kestrin.exe", L"KestrinWin10.exe", L"win10", false, false, L"", IniText("10", "0", "18362", "1")},
        {L"Kestrin.exe", L"KestrinReplace.exe", L"win10", false, true, L"", IniText("10", "0", "18362", "1")},
        // Without the manifest's Windows 10 entry the platform answers as
        // Windows 8.1, the newest release the manifest still names.
        {L"Kestrin_no_win10.exe", L"KestrinNoWin10Entry.exe", L"win10", false, false, L"",
         IniText("6", "3", "9600", "1")},
        {L"Kestrin.exe", L"KestrinServer2008.exe", L"win2008", false, false, L"", IniText("6", "0", "6002", "3")},
        {L"Kestrin_refused.exe", L"KestrinRefused.exe", L"win81", false, true, std::wstring(refused1) + refused2,
         IniText("0", "0", "0", "0")},
        {L"Kestrin_refused.exe", L"KestrinBasicOnly.exe", L"win81", true, false, refused1,
         IniText("6", "3", "9600", "0")},
    };
    for (const VersionCase& test : cases) {
        SCOPED_TRACE(Narrow(test.runAs));
        TempDir dir;
        if (test.oldFile) {
            ASSERT_TRUE(WriteFileBytes(dir.File(iniName), "; note\r\n[Setup]\r\nPath=C:\\x\r\n\r\n[Version]\r\n"
                                                          "VersionMajor=5\r\nServicePack=3\r\n[Later]\r\nkey=1\r\n"));
        }
        WineVersionSetting setting(test.runAs, test.wineVersion);
        SetEnvironmentVariableW(L"KESTRIN_ACCEPT_BASIC", test.acceptBasic ? L"1" : nullptr);
        const ProcessResult result = RunCopy(test.program, dir.Path(), test.runAs);
        SetEnvironmentVariableW(L"KESTRIN_ACCEPT_BASIC", nullptr);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(ConsoleText(result.out), test.output);
        EXPECT_EQ(ReadIni(dir), test.ini);
    }
}

TEST(Kestrin, FileThatCannotBeDeletedStaysUnchanged)
{
    const std::string old = "[Version]\r\nVersionMajor=5\r\n[Other]\r\nkey=1\r\n";
    for (const bool heldOpen : {false, true}) {
        SCOPED_TRACE(heldOpen ? "held open without delete sharing" : "read-only");
        TempDir dir;
        const std::wstring ini = dir.File(iniName);
        ASSERT_TRUE(WriteFileBytes(ini, old));
        FileHandle holder;
        if (heldOpen) {
            holder.Reset(CreateFileW(ini.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(holder.IsValid());
        } else {
            ASSERT_TRUE(SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        const ProcessResult result = RunCopy(L"Kestrin.exe", dir.Path(), L"Kestrin.exe");
        holder.Reset();
        SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(result.exitCode, 2u);
        EXPECT_EQ(ConsoleText(result.out), L"WriteIniFile::DeleteFile " + ini + L" failed.\n");
        EXPECT_EQ(ReadIni(dir), old);
    }
}

TEST(Kestrin, AnyParameterPrintsUsageAndWritesNothing)
{
    const struct {
        const wchar_t* runAs;
        const wchar_t* arguments;
        bool oldFile;
        const wchar_t* name;
    } cases[] = {
        {L"Kestrin.exe", L" -h", false, L"Kestrin"},
        {L"Kestrin.exe", L" /?", true, L"Kestrin"},
        {L"Kestrin.exe", L" x", false, L"Kestrin"},
        {L"Kestrin.exe", L" \"\"", true, L"Kestrin"},
        {L"Setup.Kestrin.exe", L" -? x", false, L"Setup.Kestrin"},
    };
    const std::string old = "[Version]\r\nVersionMajor=5\r\n";
    for (const auto& test : cases) {
        SCOPED_TRACE(Narrow(test.runAs + std::wstring(test.arguments)));
        TempDir dir;
        if (test.oldFile) {
            ASSERT_TRUE(WriteFileBytes(dir.File(iniName), old));
        }
        const ProcessResult result = RunCopy(L"Kestrin.exe", dir.Path(), test.runAs, test.arguments);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(ConsoleText(result.out), L"How to call " + std::wstring(test.name) +
                                               L":\n\n"
                                               L"The program should be started without parameters.\n"
                                               L"It writes in its directory a file \"WindowsVersion.ini\",\n"
                                               L"which contains information about the running Windows version.\n");
        if (test.oldFile) {
            EXPECT_EQ(ReadIni(dir), old);
        } else {
            EXPECT_FALSE(FileExists(dir.File(iniName)));
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
    EXPECT_FALSE(FileExists(directory + L"\\" + iniName));
    EXPECT_FALSE(FileExists(parent.File(iniName)));
}

} // namespace
