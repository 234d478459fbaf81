#include "service_tool/service/dependents_file.h"

#include <gtest/gtest.h>

#include <cwctype>

#include "common/handles.h"

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
    // A new file carries no attributes but the archive flag (not hidden,
    // system or read-only, which would keep the next stop from replacing it);
    // an older, longer file is replaced whole.
    for (const bool older : {false, true}) {
        DeleteFileW(path.c_str());
        if (older) {
            ASSERT_TRUE(WriteFileBytes(path, Utf16Bytes(L"OlderAndLonger\nList\n")));
        }
        ASSERT_TRUE(WriteDependentsFile(service, list));
        std::string bytes;
        ASSERT_TRUE(ReadFileBytes(path, bytes));
        EXPECT_EQ(bytes, std::string("A\0p\0p\0S\0v\0c\0\n\0W\0e\0b\0\n\0", 22)) << older;
        EXPECT_EQ(ReadDependentsFile(service).names, list.names) << older;
        if (!older) {
            EXPECT_EQ(GetFileAttributesW(path.c_str()), DWORD(FILE_ATTRIBUTE_ARCHIVE));
        }
    }

    // An empty list leaves no file, and no file reads as no dependents (and
    // the reading makes none).
    ASSERT_TRUE(WriteDependentsFile(service, ServiceNameList{{}, true}));
    EXPECT_FALSE(FileExists(path));
    const ServiceNameList none = ReadDependentsFile(service);
    EXPECT_TRUE(none.valid);
    EXPECT_TRUE(none.names.empty());
    EXPECT_FALSE(FileExists(path));
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
        // The largest file that is read.
        {std::string(DependentsFileLimit, 'A'), {std::wstring(DependentsFileLimit / 2, L'\x4141')}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteFileBytes(GetDependentsFilePath(service), c.bytes));
        const ServiceNameList read = ReadDependentsFile(service);
        EXPECT_TRUE(read.valid);
        EXPECT_EQ(read.names, c.names) << Narrow(ConsoleText(c.bytes));
    }
    DeleteFileW(GetDependentsFilePath(service).c_str());
}

// Every failure is reported with the path, and none leaves a list behind: a
// path too long for the platform's buffers (which must not fall back to some
// other file, such as the program directory's own name plus the extension),
// a file that another program holds open, a full disk (a link to /dev/full;
// the file is gone afterwards), a failing read (a link to /proc/self/mem,
// whose first page is not mapped) and a file larger than any list. Only a name without a path reads as no file. Another run's open
// (read or write, sharing read only) and one that shares writing keep a
// writer out, and any open for writing keeps a reader out; a viewer that lets
// writers in does not stop the write. Windows decides sharing per open, so an
// open of this process stands for another process's.
TEST(DependentsFile, FailuresAreReportedWithThePath)
{
    const std::wstring tooLong(MAX_PATH - 20, L'n');
    const std::wstring held = L"DependentsFileTest_Held";
    const std::wstring full = L"DependentsFileTest_Full";
    const std::wstring broken = L"DependentsFileTest_Broken";
    const std::wstring large = L"DependentsFileTest_Large";
    // Its first write takes two bytes, the next fails: "A" stays written.
    const std::wstring partWay = L"DependentsFileTest_PartWay";
    static int writes;
    writes = 0;
    const auto writeTwoBytesThenFail = [](HANDLE file, LPCVOID bytes, DWORD, LPDWORD written, LPOVERLAPPED) -> BOOL {
        if (writes++ == 0) {
            return WriteFile(file, bytes, 2, written, nullptr);
        }
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    };
    const auto report = [](const wchar_t* what, const std::wstring& path, DWORD code) {
        return L"Failed to " + std::wstring(what) + L" file '" + path + L"' Errormessage " +
               (code ? TrimWhiteSpace(GetSystemErrorText(code)) + L"\n" : L"");
    };
    const std::wstring shared = report(L"open", BinPath(held + L".Dependencies"), ERROR_SHARING_VIOLATION);
    const DWORD forReading = GENERIC_READ, forWriting = GENERIC_WRITE, shareRead = FILE_SHARE_READ;
    const DWORD shareBoth = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const struct {
        std::wstring service;
        bool write;
        DWORD heldAccess; // 0: the file is not held open
        DWORD heldShare;
        const char* linkTo;    // the file is a link to this Linux file
        std::wstring expected; // the whole output; without the system's text, its start
        bool succeeds;
        size_t size = 0; // the file is made with this many bytes
    } cases[] = {
        {tooLong, true, 0, 0, nullptr, report(L"open", tooLong + L".Dependencies", ERROR_FILENAME_EXCED_RANGE), false},
        {tooLong, false, 0, 0, nullptr, L"", true},
        {held, true, forReading, 0, nullptr, shared, false},
        {held, false, forReading, 0, nullptr, shared, false},
        {held, true, forReading, shareRead, nullptr, shared, false},
        {held, false, forWriting, shareRead, nullptr, shared, false},
        {held, true, forWriting, shareBoth, nullptr, shared, false},
        {held, false, forWriting, shareBoth, nullptr, shared, false},
        {held, true, forReading, shareBoth, nullptr, L"", true},
        {full, true, 0, 0, "/dev/full", report(L"write", BinPath(full + L".Dependencies"), 0), false},
        {broken, false, 0, 0, "/proc/self/mem", report(L"read from", BinPath(broken + L".Dependencies"), 0), false},
        {partWay, true, 0, 0, nullptr, report(L"write", BinPath(partWay + L".Dependencies"), ERROR_DISK_FULL), false},
        {large, false, 0, 0, nullptr,
         report(L"read from", BinPath(large + L".Dependencies"), ERROR_FILE_TOO_LARGE), false,
         DependentsFileLimit + 2},
    };
    for (const auto& c : cases) {
        const std::wstring path = BinPath(c.service + L".Dependencies");
        const std::string before = Utf16Bytes(L"Old\n");
        FileHandle holder;
        if (c.heldAccess) {
            ASSERT_TRUE(WriteFileBytes(path, before));
            holder.Reset(CreateFileW(path.c_str(), c.heldAccess, c.heldShare, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(holder);
        }
        if (c.linkTo) {
            ASSERT_TRUE(LinkToLinuxFile(path, c.linkTo));
        }
        if (c.size) {
            ASSERT_TRUE(WriteFileBytes(path, Utf16Bytes(L"A\n") + std::string(c.size - 4, 'B')));
        }
        ServiceNameList read;
        DependentsFileWrite = c.service == partWay ? +writeTwoBytesThenFail : WriteFile;
        const CapturedRun run = Capture([&] {
            if (c.write) {
                return int(WriteDependentsFile(c.service, ServiceNameList{{L"A", L"B"}, true}));
            }
            read = ReadDependentsFile(c.service);
            return int(read.valid);
        });
        const std::string title = Narrow(c.service.substr(0, 30)) + (c.write ? " written" : " read") +
                                  (c.heldAccess == forWriting ? ", held for writing" : "") +
                                  (c.heldAccess == forReading ? ", held for reading" : "") +
                                  ", sharing " + std::to_string(c.heldShare);
        EXPECT_EQ(run.code, int(c.succeeds)) << title;
        if (c.expected.empty() || c.expected.back() == L'\n') {
            EXPECT_EQ(run.text, c.expected) << title;
        } else {
            EXPECT_EQ(run.text.substr(0, c.expected.size()), c.expected) << title;
            EXPECT_GT(run.text.size(), c.expected.size() + 1) << title;
            EXPECT_EQ(run.text.back(), L'\n') << title;
        }
        DependentsFileWrite = WriteFile;
        EXPECT_TRUE(read.names.empty()) << title;
        holder.Reset();
        if (c.heldAccess) {
            std::string after;
            EXPECT_TRUE(ReadFileBytes(path, after)) << title;
            EXPECT_EQ(after, c.succeeds ? Utf16Bytes(L"A\nB\n") : before) << title;
        }
        // A list that could not be written whole is not left behind. (The
        // directory is asked: Wine gives no attributes for a link to a
        // device, and cannot delete such a link.)
        WIN32_FIND_DATAW found;
        const HANDLE listed = FindFirstFileW(path.c_str(), &found);
        EXPECT_EQ(listed != INVALID_HANDLE_VALUE, c.heldAccess || c.linkTo || (!c.write && c.size)) << title;
        if (listed != INVALID_HANDLE_VALUE) {
            FindClose(listed);
        }
        if (c.linkTo) {
            EXPECT_TRUE(RemoveLinuxLink(path));
        }
        DeleteFileW(path.c_str());
    }
    EXPECT_FALSE(FileExists(BinDir() + L".Dependencies"));
}
