#include "service_tool/hostinfo/host_os_info.h"

#include <gtest/gtest.h>

#include "common/admin_rights.h"

// Wine's user is an administrator; with Quillon's hooks the shared check must
// get as far as the access check to say so.
TEST(HostOsInfo, QuillonsAdminCheckAnswersTrueUnderWine)
{
    EXPECT_EQ(GetHostOsInfo().versionInfo.dwOSVersionInfoSize, sizeof(OSVERSIONINFOEXW));
    EXPECT_TRUE(AdminCheckIsNtPlatform());
    EXPECT_TRUE(HasAdminRights());
}
