#include "service_tool/service/service_list.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "tests/support/run_process.h"
#include "tests/support/scm_model.h"
#include "tests/support/test_services.h"

namespace {

using Names = std::vector<std::wstring>;

TEST(ServiceList, RecognisesServerExecutables)
{
    const struct {
        const wchar_t* path;
        bool candidate;
        bool supported;
    } cases[] = {
        {L"C:\\Program Files\\MariaDB 10.5\\bin\\mariadbd.exe", true, true},
        {L"C:\\mysql\\bin\\mysqld.exe", true, true},
        {L"C:\\mysql\\bin\\mysqld-nt.exe", true, true},
        {L"C:\\MYSQL\\BIN\\MYSQLD.EXE", true, true},
        {L"D:\\MariaDB\\MariaDBD.Exe", true, true},
        {L"C:\\mysqld-data\\backup.exe", true, false},
        {L"mysqld.exe", true, false},
        {L"mariadbd.exe", true, false},
        {L"C:\\bin\\mysqld", true, false},
        {L"C:\\bin\\mysql.exe", false, false},
        {L"C:\\bin\\mariadb.exe", false, false},
        {L"", false, false},
        // Only A to Z are lowered, nothing else turns into them: not U+014D,
        // whose low byte is an "M", nor U+000E, which OR 0x20 makes a dot.
        {L"C:\\bin\\\u014DYSQLD.EXE", false, false},
        {L"C:\\bin\\MYSQLD\x0E" L"EXE", true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.candidate, IsCandidateBinary(c.path)) << Narrow(c.path);
        EXPECT_EQ(c.supported, IsSupportedBinary(c.path)) << Narrow(c.path);
    }
}

TEST(ServiceList, LoadFollowsTheResumeHandleAcrossPasses)
{
    ScmModel scm;
    scm.entriesPerPass = 2;
    scm.Add(L"MariaDB", L"\"C:\\Program Files\\MariaDB 10.5\\bin\\mariadbd.exe\" \"--defaults-file=x\" MariaDB");
    scm.Add(L"Spooler", L"C:\\Windows\\spoolsv.exe", SERVICE_RUNNING);
    scm.Add(L"backup", L"C:\\mysqld-data\\backup.exe --all");
    scm.Add(L"broken", L"C:\\db\\mysqld.exe").configError = ERROR_ACCESS_DENIED;
    scm.Add(L"MySQL80", L"C:\\MySQL\\BIN\\MYSQLD.EXE --defaults-file=y MySQL80", SERVICE_RUNNING);

    ServiceList list;
    list.lastError = 99;
    ASSERT_TRUE(list.Load());
    EXPECT_EQ(0u, list.lastError);
    EXPECT_EQ((Names{L"MariaDB", L"backup", L"MySQL80"}), list.names);
    EXPECT_EQ((Names{L"C:\\Program Files\\MariaDB 10.5\\bin\\mariadbd.exe", L"C:\\mysqld-data\\backup.exe",
                     L"C:\\MySQL\\BIN\\MYSQLD.EXE"}),
              list.binaryPaths);
    EXPECT_EQ(0, scm.OpenHandles());
    EXPECT_EQ(0, scm.badCloses);
    EXPECT_EQ(0, list.NextSupported(0));
    EXPECT_EQ(2, list.NextSupported(1));
    EXPECT_EQ(-1, list.NextSupported(3));

    // A second load starts afresh.
    scm.Find(L"backup")->commandLine = L"C:\\tools\\backup.exe";
    ASSERT_TRUE(list.Load());
    EXPECT_EQ((Names{L"MariaDB", L"MySQL80"}), list.names);

    scm.enumError = ERROR_INVALID_PARAMETER;
    EXPECT_FALSE(list.Load());
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), list.lastError);
    EXPECT_TRUE(list.names.empty());
    EXPECT_EQ(0, scm.OpenHandles());

    // No service at all: the sizing call succeeds at once.
    ScmModel empty;
    ASSERT_TRUE(list.Load());
    EXPECT_TRUE(list.names.empty());
    EXPECT_EQ(0, empty.OpenHandles());
}

TEST(ServiceListWine, LoadListsExactlyTheCandidateServices)
{
    TempDir dir;
    const std::wstring server = dir.File(L"bin\\mysqld.exe");
    const std::wstring backup = dir.File(L"mysqld-data\\backup.exe");
    const std::wstring app = dir.File(L"app.exe");
    TestService db(L"qsl_db", Quoted(server));
    TestService data(L"qsl_backup", backup);
    TestService bare(L"qsl_bare", L"mysqld.exe");
    TestService other(L"qsl_app", Quoted(app));
    for (const TestService* s : {&db, &data, &bare, &other}) {
        ASSERT_TRUE(s->Registered()) << Narrow(s->Name()) << " " << s->error;
    }

    ServiceList list;
    ASSERT_TRUE(list.Load()) << list.lastError;
    std::vector<std::pair<std::wstring, std::wstring>> found;
    for (size_t i = 0; i < list.names.size(); ++i) {
        found.emplace_back(list.names[i], list.binaryPaths.at(i));
    }
    std::sort(found.begin(), found.end());
    const std::vector<std::pair<std::wstring, std::wstring>> expected = {
        {L"qsl_backup", backup}, {L"qsl_bare", L"mysqld.exe"}, {L"qsl_db", server}};
    EXPECT_EQ(expected, found);
    const int first = list.NextSupported(0);
    ASSERT_GE(first, 0);
    EXPECT_EQ(L"qsl_db", list.names[first]);
    EXPECT_EQ(-1, list.NextSupported(first + 1));
}

} // namespace
