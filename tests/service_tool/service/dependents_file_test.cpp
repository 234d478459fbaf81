#include "service_tool/service/dependents_file.h"

#include <gtest/gtest.h>

#include "common/handles.h"
#include "service_tool/front/console.h"
#include "tests/support/output_capture.h"
#include "tests/support/run_process.h"

namespace {

// The files live beside the test program, as they do beside Quillon.
std::wstring FileOf(const std::wstring& serviceName)
{
    return BinPath(serviceName + L".Dependencies");
}

std::string Utf16(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::wstring SystemText(DWORD code)
{
    return TrimWhiteSpace(GetSystemErrorText(code));
}

} // namespace

TEST(DependentsFile, PathLiesInTheProgramDirectory)
{
    const std::wstring tooLong(MAX_PATH - 20, L'n');
    const struct {
        std::wstring serviceName;
        std::wstring expected; // empty: no path
    } cases[] = {
        {L"mysql_3306", BinPath(L"mysql_3306.Dependencies")},
        {L"x.y", BinPath(L"x.y")},
        {tooLong, L""},
        {std::wstring(300, L'n'), L""},
        {L"..\\x", L""},
        {L"../x", L""},
        {L"..", L""},
        {L".", L""},
        {L"C:x", L""},
        {L"", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetDependentsFilePath(c.serviceName), c.expected) << Narrow(c.serviceName);
    }
}

TEST(DependentsFile, WritesNamesAsLineFeedEndedUtf16)
{
    const std::wstring service = L"DependentsFileTest_Write";
    ServiceNameList list;
    list.names = {L"AppSvc", L"Web"};
    list.valid = true;
    ASSERT_TRUE(WriteDependentsFile(service, list));

    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(FileOf(service), bytes));
    const char expected[] = "A\0p\0p\0S\0v\0c\0\n\0W\0e\0b\0\n\0";
    EXPECT_EQ(bytes, std::string(expected, 22));

    const ServiceNameList read = ReadDependentsFile(service);
    EXPECT_TRUE(read.valid);
    EXPECT_EQ(read.names, list.names);

    // An empty list leaves no file, and that reads as no dependents.
    ASSERT_TRUE(WriteDependentsFile(service, ServiceNameList{{}, true}));
    EXPECT_FALSE(FileExists(FileOf(service)));
    const ServiceNameList none = ReadDependentsFile(service);
    EXPECT_TRUE(none.valid);
    EXPECT_TRUE(none.names.empty());
}

TEST(DependentsFile, ReadsEveryLineAsOneName)
{
    const std::wstring service = L"DependentsFileTest_Read";
    const struct {
        std::string bytes;
        std::vector<std::wstring> names;
    } cases[] = {
        {Utf16(L"A\nB"), {L"A", L"B"}},
        {Utf16(L"A\n\nB\n"), {L"A", L"", L"B"}},
        {Utf16(L"\xFEFF" L"A\r\nB\r\n"), {L"\xFEFF" L"A\r", L"B\r"}},
        {Utf16(L"\n"), {L""}},
        {"", {}},
        {Utf16(L"A\n") + "B", {L"A"}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteFileBytes(FileOf(service), c.bytes));
        const ServiceNameList read = ReadDependentsFile(service);
        EXPECT_TRUE(read.valid);
        EXPECT_EQ(read.names, c.names) << Narrow(ConsoleText(c.bytes));
    }
    DeleteFileW(FileOf(service).c_str());
}

TEST(DependentsFile, LockedFileIsReportedAndKept)
{
    const std::wstring service = L"DependentsFileTest_Locked";
    const std::wstring path = FileOf(service);
    ASSERT_TRUE(WriteFileBytes(path, Utf16(L"Old\n")));
    ServiceNameList list{{L"New"}, true};
    {
        const FileHandle holder(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        const std::wstring message =
            L"Failed to open file '" + path + L"' Errormessage " + SystemText(ERROR_SHARING_VIOLATION) + L"\n";

        OutputCapture readCapture;
        const ServiceNameList read = ReadDependentsFile(service);
        EXPECT_EQ(readCapture.Finish(), ConsoleBytes(message));
        EXPECT_FALSE(read.valid);
        EXPECT_TRUE(read.names.empty());

        OutputCapture writeCapture;
        const bool written = WriteDependentsFile(service, list);
        EXPECT_EQ(writeCapture.Finish(), ConsoleBytes(message));
        EXPECT_FALSE(written);
    }
    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(path, bytes));
    EXPECT_EQ(bytes, Utf16(L"Old\n"));
    DeleteFileW(path.c_str());
}

// A path too long for the platform's buffers must not fall back to some
// other file: the program directory's own name plus the extension, say.
TEST(DependentsFile, NameWithoutPathIsRefusedForWritingAndReadsAsNoFile)
{
    const std::wstring service(MAX_PATH - 20, L'n');
    std::wstring directory = BinDir();
    const std::wstring stray = directory + L".Dependencies";

    OutputCapture capture;
    const bool written = WriteDependentsFile(service, ServiceNameList{{L"A"}, true});
    EXPECT_EQ(capture.Finish(), ConsoleBytes(L"Failed to open file '" + service + L".Dependencies' Errormessage " +
                                             SystemText(ERROR_FILENAME_EXCED_RANGE) + L"\n"));
    EXPECT_FALSE(written);
    EXPECT_FALSE(FileExists(stray));

    const ServiceNameList read = ReadDependentsFile(service);
    EXPECT_TRUE(read.valid);
    EXPECT_TRUE(read.names.empty());
    EXPECT_TRUE(WriteDependentsFile(service, ServiceNameList{{}, true}));
}
