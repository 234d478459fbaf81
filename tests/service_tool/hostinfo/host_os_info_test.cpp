#include "service_tool/hostinfo/host_os_info.h"

#include <gtest/gtest.h>

#include "common/admin_rights.h"

TEST(HostOsInfo, ExtendedRecordOfAnNtSystem)
{
    const OSVERSIONINFOEXW& record = GetHostOsInfo().versionInfo;
    EXPECT_EQ(record.dwOSVersionInfoSize, sizeof(OSVERSIONINFOEXW));
    EXPECT_EQ(record.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_GE(record.dwMajorVersion, 6u);
    EXPECT_NE(record.wProductType, 0);
}

// Wine's user is an administrator; with Quillon's hooks the shared check must
// get as far as the access check to say so.
TEST(HostOsInfo, QuillonsAdminCheckAnswersTrueUnderWine)
{
    EXPECT_TRUE(AdminCheckIsNtPlatform());
    const HMODULE library = AdminCheckLoadSecurityLibrary();
    EXPECT_NE(library, nullptr);
    FreeLibrary(library);
    EXPECT_TRUE(HasAdminRights());
}
