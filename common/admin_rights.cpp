#include "common/admin_rights.h"

#include "common/handles.h"
#include "common/system_library.h"

namespace {

// Group identifiers from AllocateAndInitializeSid are freed with FreeSid.
struct SidTraits {
    using Value = PSID;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value sid) noexcept { ::FreeSid(sid); }
};
using SidOwner = UniqueHandle<SidTraits>;

// The security entries, looked up by name so that the check runs on systems
// whose Advapi32 lacks one of them (the answer is then false).
struct SecurityApi {
    decltype(&::ImpersonateSelf) impersonateSelf = nullptr;
    decltype(&::OpenThreadToken) openThreadToken = nullptr;
    decltype(&::OpenProcessToken) openProcessToken = nullptr;
    decltype(&::AllocateAndInitializeSid) allocateAndInitializeSid = nullptr;
    decltype(&::InitializeSecurityDescriptor) initializeSecurityDescriptor = nullptr;
    decltype(&::GetLengthSid) getLengthSid = nullptr;
    decltype(&::InitializeAcl) initializeAcl = nullptr;
    decltype(&::AddAccessAllowedAce) addAccessAllowedAce = nullptr;
    decltype(&::SetSecurityDescriptorDacl) setSecurityDescriptorDacl = nullptr;
    decltype(&::SetSecurityDescriptorGroup) setSecurityDescriptorGroup = nullptr;
    decltype(&::SetSecurityDescriptorOwner) setSecurityDescriptorOwner = nullptr;
    decltype(&::IsValidSecurityDescriptor) isValidSecurityDescriptor = nullptr;
    decltype(&::AccessCheck) accessCheck = nullptr;
    decltype(&::RevertToSelf) revertToSelf = nullptr;
};

bool LookupAll(HMODULE library, SecurityApi& api)
{
    return FindLibraryFunction(library, "ImpersonateSelf", api.impersonateSelf)
        && FindLibraryFunction(library, "OpenThreadToken", api.openThreadToken)
        && FindLibraryFunction(library, "OpenProcessToken", api.openProcessToken)
        && FindLibraryFunction(library, "AllocateAndInitializeSid", api.allocateAndInitializeSid)
        && FindLibraryFunction(library, "InitializeSecurityDescriptor", api.initializeSecurityDescriptor)
        && FindLibraryFunction(library, "GetLengthSid", api.getLengthSid)
        && FindLibraryFunction(library, "InitializeAcl", api.initializeAcl)
        && FindLibraryFunction(library, "AddAccessAllowedAce", api.addAccessAllowedAce)
        && FindLibraryFunction(library, "SetSecurityDescriptorDacl", api.setSecurityDescriptorDacl)
        && FindLibraryFunction(library, "SetSecurityDescriptorGroup", api.setSecurityDescriptorGroup)
        && FindLibraryFunction(library, "SetSecurityDescriptorOwner", api.setSecurityDescriptorOwner)
        && FindLibraryFunction(library, "IsValidSecurityDescriptor", api.isValidSecurityDescriptor)
        && FindLibraryFunction(library, "AccessCheck", api.accessCheck)
        && FindLibraryFunction(library, "RevertToSelf", api.revertToSelf);
}

// Ends the self-impersonation on every way out of the check.
class ImpersonationEnd {
public:
    explicit ImpersonationEnd(decltype(&::RevertToSelf) revertToSelf) : revertToSelf(revertToSelf) {}
    ~ImpersonationEnd() { revertToSelf(); }
    ImpersonationEnd(const ImpersonationEnd&) = delete;
    ImpersonationEnd& operator=(const ImpersonationEnd&) = delete;

private:
    decltype(&::RevertToSelf) revertToSelf;
};

// Rights of the check's own private descriptor; they mean nothing elsewhere.
constexpr DWORD accessRead = 1;
constexpr DWORD accessWrite = 2;

} // namespace

bool HasAdminRights()
{
    if (!AdminCheckIsNtPlatform()) {
        return true;
    }

    Library advapi(AdminCheckLoadSecurityLibrary());
    if (!advapi) {
        return false;
    }
    SecurityApi api;
    if (!LookupAll(advapi.Get(), api)) {
        return false;
    }

    // Gives the thread a token of its own; if this fails the process token is
    // used below and the access check answers for it.
    api.impersonateSelf(SecurityImpersonation);
    ImpersonationEnd impersonationEnd(api.revertToSelf);

    HANDLE rawToken = nullptr;
    if (!api.openThreadToken(::GetCurrentThread(), TOKEN_QUERY, FALSE, &rawToken)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_NO_TOKEN) {
            return false;
        }
        if (!api.openProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
            return false;
        }
    }
    KernelHandle token(rawToken);

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID rawSid = nullptr;
    if (!api.allocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                      DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &rawSid)) {
        return false;
    }
    SidOwner adminsGroup(rawSid);

    LocalMemory descriptor(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!descriptor) {
        return false;
    }
    if (!api.initializeSecurityDescriptor(descriptor.Get(), SECURITY_DESCRIPTOR_REVISION)) {
        return false;
    }

    // List header and the entry's fixed part, less the identifier's first
    // DWORD that the fixed part already counts.
    const DWORD aclSize = api.getLengthSid(adminsGroup.Get())
                        + sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
    LocalMemory aclMemory(::LocalAlloc(LPTR, aclSize));
    if (!aclMemory) {
        return false;
    }
    const auto acl = static_cast<PACL>(aclMemory.Get());
    if (!api.initializeAcl(acl, aclSize, ACL_REVISION2)) {
        return false;
    }
    if (!api.addAccessAllowedAce(acl, ACL_REVISION2, accessRead | accessWrite, adminsGroup.Get())) {
        return false;
    }
    if (!api.setSecurityDescriptorDacl(descriptor.Get(), TRUE, acl, FALSE)) {
        return false;
    }
    // Owner and group only complete the descriptor; the answer rests on the list.
    api.setSecurityDescriptorGroup(descriptor.Get(), adminsGroup.Get(), FALSE);
    api.setSecurityDescriptorOwner(descriptor.Get(), adminsGroup.Get(), FALSE);
    if (!api.isValidSecurityDescriptor(descriptor.Get())) {
        return false;
    }

    GENERIC_MAPPING mapping = {accessRead, accessWrite, 0, accessRead | accessWrite};
    // Room for one privilege entry.
    BYTE privilegeBuffer[sizeof(PRIVILEGE_SET)] = {};
    DWORD privilegeLength = sizeof(privilegeBuffer);
    DWORD grantedAccess = 0;
    BOOL accessStatus = FALSE;
    if (!api.accessCheck(descriptor.Get(), token.Get(), accessRead, &mapping,
                         reinterpret_cast<PPRIVILEGE_SET>(privilegeBuffer), &privilegeLength,
                         &grantedAccess, &accessStatus)) {
        return false;
    }
    return accessStatus != FALSE;
}
