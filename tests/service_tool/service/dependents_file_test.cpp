#include "service_tool/service/dependents_file.h"

#include <gtest/gtest.h>

#include <cwctype>

#include "tests/support/output_capture.h"

// The files live beside the test program, as they do beside Quillon.
TEST(DependentsFile, PathLiesInTheProgramDirectory)
{
    const struct {
        std::wstring serviceName;
        std::wstring expected; // empty: no path
    } cases[] = {
        {L"mysql_3306", BinPath(L"mysql_3306.Dependencies")},
        {L"x.y", BinPath(L"x.y")},
        {std::wstring(MAX_PATH - 20, L'n'), L""}, // fits no buffer together with the directory
        {L"..\\x", L""},
        {L"", L""},
        // Near the names Windows rewrites, but kept as written.
        {L"CONSOLE", BinPath(L"CONSOLE.Dependencies")},
        {L"NULL", BinPath(L"NULL.Dependencies")},
        {L"COM10", BinPath(L"COM10.Dependencies")},
        {L"LPT", BinPath(L"LPT.Dependencies")},
        {L"aux_db", BinPath(L"aux_db.Dependencies")},
        {L"x.NUL", BinPath(L"x.NUL")},
        {L" NUL", BinPath(L" NUL.Dependencies")},
        {L"COM\u00B4", BinPath(L"COM\u00B4.Dependencies")},
        {L"mysql ", BinPath(L"mysql .Dependencies")},
        {L"mysql.5", BinPath(L"mysql.5")},
        // A blank ends an extension: the file gets one of its own.
        {L"svc. ", BinPath(L"svc. .Dependencies")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetDependentsFilePath(c.serviceName), c.expected) << Narrow(c.serviceName);
    }
    // Names that Windows maps to a device, in any case, with an extension or
    // blanks before it, and names it trims at the end: the file would be some
    // other file, so there is none.
    const std::wstring superscripts = L"\u00B9\u00B2\u00B3";
    std::vector<std::wstring> devices = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* port : {L"COM", L"LPT"}) {
        for (const wchar_t digit : L"0123456789" + superscripts) {
            devices.push_back(port + std::wstring(1, digit));
        }
    }
    for (const std::wstring& device : devices) {
        std::wstring lower = device, mixed = device;
        for (size_t i = 0; i < device.size(); ++i) {
            lower[i] = towlower(device[i]);
            mixed[i] = i % 2 ? lower[i] : device[i];
        }
        for (const std::wstring& base : {device, lower, mixed}) {
            for (const wchar_t* tail : {L"", L".txt", L".log.x", L" ", L"  .log", L"."}) {
                EXPECT_EQ(GetDependentsFilePath(base + tail), L"") << Narrow(base + tail);
            }
        }
    }
    for (const wchar_t* trimmed : {L"svc_t.", L"svc_t..", L"Kestrin.exe.", L"x. ."}) {
        EXPECT_EQ(GetDependentsFilePath(trimmed), L"") << Narrow(trimmed);
    }
    // Characters no file name may hold: no path, wherever they stand.
    std::wstring refused = L"\\/:<>\"|?*";
    for (wchar_t c = 1; c < L' '; ++c) {
        refused += c;
    }
    for (const wchar_t c : refused) {
        const std::wstring one(1, c);
        for (const std::wstring& name : {one, L"my" + one + L"db", L"db" + one}) {
            EXPECT_EQ(GetDependentsFilePath(name), L"") << int(c);
        }
    }
}

TEST(DependentsFile, WritesNamesAsLineFeedEndedUtf16)
{
    const std::wstring service = L"DependentsFileTest_Write";
    const std::wstring path = GetDependentsFilePath(service);
    const ServiceNameList list{{L"AppSvc", L"Web"}, true};
    ASSERT_TRUE(WriteDependentsFile(service, list));
    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(path, bytes));
    EXPECT_EQ(bytes, std::string("A\0p\0p\0S\0v\0c\0\n\0W\0e\0b\0\n\0", 22));
    EXPECT_EQ(ReadDependentsFile(service).names, list.names);

    // An empty list leaves no file, and no file reads as no dependents.
    ASSERT_TRUE(WriteDependentsFile(service, ServiceNameList{{}, true}));
    EXPECT_FALSE(FileExists(path));
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
        {Utf16Bytes(L"A\nB"), {L"A", L"B"}},
        {Utf16Bytes(L"A\n\nB\n"), {L"A", L"", L"B"}},
        {Utf16Bytes(L"\xFEFF" L"A\r\nB\r\n"), {L"\xFEFF" L"A\r", L"B\r"}},
            {"", {}},
        {Utf16Bytes(L"A\n") + "B", {L"A"}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteFileBytes(GetDependentsFilePath(service), c.bytes));
        const ServiceNameList read = ReadDependentsFile(service);
        EXPECT_TRUE(read.valid);
        EXPECT_EQ(read.names, c.names) << Narrow(ConsoleText(c.bytes));
    }
    DeleteFileW(GetDependentsFilePath(service).c_str());
}

// A path too long for the platform's buffers must not fall back to some other
// file, such as the program directory's own name plus the extension.
TEST(DependentsFile, NameWithoutPathIsRefusedForWritingAndReadsAsNoFile)
{
    const std::wstring service(MAX_PATH - 20, L'n');
    const CapturedRun run = Capture([&] { return int(WriteDependentsFile(service, ServiceNameList{{L"A"}, true})); });
    EXPECT_EQ(run.text, L"Failed to open file '" + service + L".Dependencies' Errormessage " +
                            TrimWhiteSpace(GetSystemErrorText(ERROR_FILENAME_EXCED_RANGE)) + L"\n");
    EXPECT_EQ(run.code, 0);
    EXPECT_FALSE(FileExists(BinDir() + L".Dependencies"));
    const ServiceNameList read = ReadDependentsFile(service);
    EXPECT_TRUE(read.valid);
    EXPECT_TRUE(read.names.empty());
}
