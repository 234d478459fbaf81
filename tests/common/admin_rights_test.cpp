#include "common/admin_rights.h"

#include <gtest/gtest.h>

namespace {

// The platform gate and loader that this test program supplies.
bool ntPlatform = true;
const wchar_t* securityLibrary = L"Advapi32.DLL";
int libraryLoads = 0;

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

// Each case runs many times: afterwards the thread must not impersonate and
// the process must hold no more handles than before (no token left open).
TEST(HasAdminRights, AnswersFromGateLibraryAndAccessCheck)
{
    const struct {
        const char* name;
        bool nt;
        const wchar_t* library;
        bool expected;
        int loads;
    } cases[] = {
        // The Wine user is an administrator: the real access check grants.
        {"access check under Wine", true, L"Advapi32.DLL", true, 1},
        {"no NT security model", false, L"Advapi32.DLL", true, 0},
        {"library missing", true, nullptr, false, 1},
        {"library without the entries", true, L"kernel32.dll", false, 1},
    };
    const int calls = 50;
    for (const auto& c : cases) {
        ntPlatform = c.nt;
        securityLibrary = c.library;
        libraryLoads = 0;
        DWORD handlesBefore = 0, handlesAfter = 0;
        GetProcessHandleCount(GetCurrentProcess(), &handlesBefore);
        for (int i = 0; i < calls; ++i) {
            ASSERT_EQ(c.expected, HasAdminRights()) << c.name;
        }
        GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
        EXPECT_LT(handlesAfter, handlesBefore + 10) << c.name;
        EXPECT_EQ(c.loads * calls, libraryLoads) << c.name;
        HANDLE token = nullptr;
        EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) << c.name;
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_TOKEN), GetLastError()) << c.name;
    }
}
