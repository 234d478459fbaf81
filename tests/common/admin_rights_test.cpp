// The test program exports the fourteen security entries under their own
// names and hands its own module to the check as the security library, so
// that each call can be failed on purpose. Each export calls the system's
// entry unless a fault is armed for it. windows.h declares the system's
// entries under other names here, so that the exports can take theirs.
#define ImpersonateSelf SystemImpersonateSelf
#define OpenThreadToken SystemOpenThreadToken
#define OpenProcessToken SystemOpenProcessToken
#define AllocateAndInitializeSid SystemAllocateAndInitializeSid
#define InitializeSecurityDescriptor SystemInitializeSecurityDescriptor
#define GetLengthSid SystemGetLengthSid
#define InitializeAcl SystemInitializeAcl
#define AddAccessAllowedAce SystemAddAccessAllowedAce
#define SetSecurityDescriptorDacl SystemSetSecurityDescriptorDacl
#define SetSecurityDescriptorGroup SystemSetSecurityDescriptorGroup
#define SetSecurityDescriptorOwner SystemSetSecurityDescriptorOwner
#define IsValidSecurityDescriptor SystemIsValidSecurityDescriptor
#define AccessCheck SystemAccessCheck
#define RevertToSelf SystemRevertToSelf
#include "common/admin_rights.h"
#undef ImpersonateSelf
#undef OpenThreadToken
#undef OpenProcessToken
#undef AllocateAndInitializeSid
#undef InitializeSecurityDescriptor
#undef GetLengthSid
#undef InitializeAcl
#undef AddAccessAllowedAce
#undef SetSecurityDescriptorDacl
#undef SetSecurityDescriptorGroup
#undef SetSecurityDescriptorOwner
#undef IsValidSecurityDescriptor
#undef AccessCheck
#undef RevertToSelf

#include <gtest/gtest.h>

#include <map>

namespace {

// The platform gate and loader that this test program supplies.
bool ntPlatform = true;
const wchar_t* securityLibrary = L"Advapi32.DLL"; // null: this program itself
int libraryLoads = 0;

// Armed faults: the entry's name and the error it fails with. For AccessCheck,
// 0 means that the check runs and denies access (a user without the rights).
std::map<std::string, DWORD> faults;
std::map<std::string, int> calls;
// The rights and levels the check asked for, by entry: a standard user's
// token grants only what it needs (query), which Wine would not hold to.
std::map<std::string, DWORD> asked;

bool Failing(const char* name)
{
    ++calls[name];
    const auto fault = faults.find(name);
    if (fault == faults.end()) {
        return false;
    }
    SetLastError(fault->second);
    return true;
}

template <typename Function>
Function System(const char* name)
{
    static const HMODULE advapi = LoadLibraryW(L"Advapi32.DLL");
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(advapi, name)));
}

} // namespace

#define EXPORT extern "C" __declspec(dllexport)
#define CALL_SYSTEM(name, ...) System<decltype(&System##name)>(#name)(__VA_ARGS__)
#define UNLESS_FAILING(name, ...) (!Failing(#name) && CALL_SYSTEM(name, __VA_ARGS__))

EXPORT BOOL WINAPI ImpersonateSelf(SECURITY_IMPERSONATION_LEVEL level)
{
    asked["ImpersonateSelf"] = level;
    return UNLESS_FAILING(ImpersonateSelf, level);
}

EXPORT BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD access, BOOL asSelf, PHANDLE token)
{
    asked["OpenThreadToken"] = access;
    asked["OpenThreadToken as self"] = asSelf;
    return UNLESS_FAILING(OpenThreadToken, thread, access, asSelf, token);
}

EXPORT BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    asked["OpenProcessToken"] = access;
    return UNLESS_FAILING(OpenProcessToken, process, access, token);
}

EXPORT BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD a0, DWORD a1,
                                            DWORD a2, DWORD a3, DWORD a4, DWORD a5, DWORD a6, DWORD a7, PSID* sid)
{
    return UNLESS_FAILING(AllocateAndInitializeSid, authority, count, a0, a1, a2, a3, a4, a5, a6, a7, sid);
}

EXPORT BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision)
{
    return UNLESS_FAILING(InitializeSecurityDescriptor, descriptor, revision);
}

// It has no failure of its own; a failed one is taken to answer 0.
EXPORT DWORD WINAPI GetLengthSid(PSID sid)
{
    return Failing("GetLengthSid") ? 0 : CALL_SYSTEM(GetLengthSid, sid);
}

EXPORT BOOL WINAPI InitializeAcl(PACL acl, DWORD length, DWORD revision)
{
    return UNLESS_FAILING(InitializeAcl, acl, length, revision);
}

EXPORT BOOL WINAPI AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid)
{
    return UNLESS_FAILING(AddAccessAllowedAce, acl, revision, mask, sid);
}

EXPORT BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL acl, BOOL defaulted)
{
    return UNLESS_FAILING(SetSecurityDescriptorDacl, descriptor, present, acl, defaulted);
}

EXPORT BOOL WINAPI SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR descriptor, PSID group, BOOL defaulted)
{
    return UNLESS_FAILING(SetSecurityDescriptorGroup, descriptor, group, defaulted);
}

EXPORT BOOL WINAPI SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID owner, BOOL defaulted)
{
    return UNLESS_FAILING(SetSecurityDescriptorOwner, descriptor, owner, defaulted);
}

EXPORT BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor)
{
    return UNLESS_FAILING(IsValidSecurityDescriptor, descriptor);
}

EXPORT BOOL WINAPI AccessCheck(PSECURITY_DESCRIPTOR descriptor, HANDLE token, DWORD desired, PGENERIC_MAPPING mapping,
                               PPRIVILEGE_SET privileges, LPDWORD privilegesLength, LPDWORD granted, LPBOOL status)
{
    if (Failing("AccessCheck")) {
        if (GetLastError() != 0) {
            return FALSE;
        }
        *granted = 0;
        *status = FALSE;
        return TRUE;
    }
    return CALL_SYSTEM(AccessCheck, descriptor, token, desired, mapping, privileges, privilegesLength, granted, status);
}

EXPORT BOOL WINAPI RevertToSelf()
{
    return UNLESS_FAILING(RevertToSelf);
}

bool AdminCheckIsNtPlatform()
{
    return ntPlatform;
}

HMODULE AdminCheckLoadSecurityLibrary()
{
    ++libraryLoads;
    if (!securityLibrary) {
        HMODULE self = nullptr;
        GetModuleHandleExW(0, nullptr, &self); // counted: the check frees it
        return self;
    }
    return LoadLibraryW(securityLibrary);
}

namespace {

// Whether the calling thread still impersonates (it must not after a check).
bool Impersonating()
{
    HANDLE token = nullptr;
    if (!CALL_SYSTEM(OpenThreadToken, GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        return GetLastError() != ERROR_NO_TOKEN;
    }
    CloseHandle(token);
    return true;
}

} // namespace

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
        {"library missing", true, L"no_such_library.dll", false, 1},
        {"library without the entries", true, L"kernel32.dll", false, 1},
        {"every entry passed through", true, nullptr, true, 1},
    };
    const int checks = 50;
    for (const auto& c : cases) {
        ntPlatform = c.nt;
        securityLibrary = c.library;
        libraryLoads = 0;
        DWORD handlesBefore = 0, handlesAfter = 0;
        GetProcessHandleCount(GetCurrentProcess(), &handlesBefore);
        for (int i = 0; i < checks; ++i) {
            ASSERT_EQ(c.expected, HasAdminRights()) << c.name;
        }
        GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
        EXPECT_LT(handlesAfter, handlesBefore + 10) << c.name;
        EXPECT_EQ(c.loads * checks, libraryLoads) << c.name;
        EXPECT_FALSE(Impersonating()) << c.name;
    }
    ntPlatform = true;
    securityLibrary = L"Advapi32.DLL";
}

// Every security call failed in turn, with errors that call can give: any
// failure answers "no rights", except those of the calls whose outcome the
// check leaves aside. The check stops at the failure (no access check runs
// after it) and takes the process token only when the thread has none, which
// the access check then refuses, since it needs an impersonation token.
TEST(HasAdminRights, AnySecurityCallThatFailsAnswersNoRights)
{
    const struct {
        const char* call;
        std::vector<DWORD> errors;
        bool withoutThreadToken; // the self-impersonation failed as well
        bool answer;
        int processTokenOpens;
        int accessChecks;
    } cases[] = {
        {"ImpersonateSelf", {ERROR_NOT_ENOUGH_MEMORY, ERROR_ACCESS_DENIED}, false, false, 1, 1},
        {"OpenThreadToken", {ERROR_NO_TOKEN}, false, false, 1, 1},
        {"OpenThreadToken",
         {ERROR_ACCESS_DENIED, ERROR_BAD_IMPERSONATION_LEVEL, ERROR_CANT_OPEN_ANONYMOUS, ERROR_NOT_ENOUGH_MEMORY},
         false, false, 0, 0},
        {"OpenThreadToken", {ERROR_ACCESS_DENIED}, true, false, 0, 0},
        {"OpenProcessToken", {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY}, false, true, 0, 1}, // not asked
        {"OpenProcessToken", {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY}, true, false, 1, 0},
        {"AllocateAndInitializeSid", {ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_PARAMETER}, false, false, 0, 0},
        {"InitializeSecurityDescriptor", {ERROR_UNKNOWN_REVISION, ERROR_INVALID_PARAMETER}, false, false, 0, 0},
        // A length of 0 leaves no room for the entry.
        {"GetLengthSid", {ERROR_INVALID_SID}, false, false, 0, 0},
        {"InitializeAcl", {ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_PARAMETER}, false, false, 0, 0},
        {"AddAccessAllowedAce", {ERROR_ALLOTTED_SPACE_EXCEEDED, ERROR_INVALID_SID, ERROR_REVISION_MISMATCH}, false,
         false, 0, 0},
        {"SetSecurityDescriptorDacl", {ERROR_UNKNOWN_REVISION, ERROR_INVALID_SECURITY_DESCR}, false, false, 0, 0},
        // Not looked at: the access check refuses a descriptor without them.
        {"SetSecurityDescriptorGroup", {ERROR_INVALID_SECURITY_DESCR}, false, false, 0, 1},
        {"SetSecurityDescriptorOwner", {ERROR_INVALID_SECURITY_DESCR}, false, false, 0, 1},
        {"IsValidSecurityDescriptor", {ERROR_INVALID_SECURITY_DESCR}, false, false, 0, 0},
        // 0: the check runs and denies access, as for a user without the rights.
        {"AccessCheck", {0, ERROR_INVALID_SECURITY_DESCR, ERROR_NO_IMPERSONATION_TOKEN, ERROR_ACCESS_DENIED}, false,
         false, 0, 1},
        // The answer is made by then.
        {"RevertToSelf", {ERROR_ACCESS_DENIED}, false, true, 0, 1},
        {"RevertToSelf", {ERROR_ACCESS_DENIED}, true, false, 1, 1},
    };
    const std::map<std::string, DWORD> expectedAsked = {
        {"ImpersonateSelf", SecurityImpersonation},
        {"OpenThreadToken", TOKEN_QUERY},
        {"OpenThreadToken as self", FALSE},
        {"OpenProcessToken", TOKEN_QUERY},
    };
    securityLibrary = nullptr;
    DWORD handlesBefore = 0, handlesAfter = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handlesBefore);
    for (const auto& c : cases) {
        for (const DWORD error : c.errors) {
            faults.clear();
            calls.clear();
            if (c.withoutThreadToken) {
                faults["ImpersonateSelf"] = ERROR_ACCESS_DENIED;
            }
            faults[c.call] = error;
            asked.clear();
            const std::string row = std::string(c.call) + " " + std::to_string(error) +
                                    (c.withoutThreadToken ? ", thread without token" : "");
            EXPECT_EQ(HasAdminRights(), c.answer) << row;
            EXPECT_EQ(calls["OpenProcessToken"], c.processTokenOpens) << row;
            EXPECT_EQ(calls["AccessCheck"], c.accessChecks) << row;
            EXPECT_EQ(calls["RevertToSelf"], 1) << row;
            for (const auto& entry : asked) {
                EXPECT_EQ(entry.second, expectedAsked.at(entry.first)) << row << ": " << entry.first;
            }
            if (c.call == std::string("RevertToSelf")) {
                CALL_SYSTEM(RevertToSelf);
            }
            EXPECT_FALSE(Impersonating()) << row;
        }
    }
    faults.clear();
    GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
    EXPECT_LT(handlesAfter, handlesBefore + 10);
    securityLibrary = L"Advapi32.DLL";
}
