#include "common/admin_rights.h"

#include <gtest/gtest.h>

namespace {

// The platform gate and loader that this test program supplies.
bool ntPlatform = true;
const wchar_t* securityLibrary = L"Advapi32.DLL";
int libraryLoads = 0;

// True when the calling thread holds an impersonation token.
bool ThreadImpersonates()
{
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        CloseHandle(token);
        return true;
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_TOKEN), GetLastError());
    return false;
}

} // namespace

bool AdminCheckIsNtPlatform()
{
    return ntPlatform;
}

HMODULE AdminCheckLoadSecurityLibrary()
{
    ++libraryLoads;
    return securityLibrary ? LoadLibraryW(securityLibrary) : nullptr;
}

TEST(HasAdminRights, AnswersFromGateLibraryAndAccessCheck)
{
    struct Case {
        const char* name;
        bool nt;
        const wchar_t* library;
        bool expected;
        int loads;
    };
    const Case cases[] = {
        // The Wine user is an administrator: the real access check grants.
        {"access check under Wine", true, L"Advapi32.DLL", true, 1},
        {"no NT security model", false, L"Advapi32.DLL", true, 0},
        {"library missing", true, nullptr, false, 1},
        {"library without the entries", true, L"kernel32.dll", false, 1},
    };
    for (const Case& c : cases) {
        ntPlatform = c.nt;
        securityLibrary = c.library;
        libraryLoads = 0;
        EXPECT_EQ(c.expected, HasAdminRights()) << c.name;
        EXPECT_EQ(c.loads, libraryLoads) << c.name;
        EXPECT_FALSE(ThreadImpersonates()) << c.name;
    }
}

TEST(HasAdminRights, RepeatedCallsLeaveNoTokenBehind)
{
    ntPlatform = true;
    securityLibrary = L"Advapi32.DLL";
    DWORD handlesBefore = 0, handlesAfter = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handlesBefore);
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(HasAdminRights());
    }
    GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
    EXPECT_LT(handlesAfter, handlesBefore + 10);
    EXPECT_FALSE(ThreadImpersonates());
}
