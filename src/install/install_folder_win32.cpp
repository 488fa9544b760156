#include "install/install_folder.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "common/unique_handle.h"

namespace brinvale {

namespace {

// The running user's SID, as the process token names it.
std::vector<BYTE> UserSid()
{
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened))
        return {};
    const UniqueHandle token(opened);
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> info(size);
    if (size == 0 || !GetTokenInformation(token.Get(), TokenUser, info.data(), size, &size))
        return {};
    const PSID sid = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
    const auto* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type)
{
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size))
        return {};
    sid.resize(size);
    return sid;
}

// The three who may hold anything of the install folder.
class TrustedSids {
public:
    TrustedSids()
        : m_sids{UserSid(), WellKnownSid(WinLocalSystemSid), WellKnownSid(WinBuiltinAdministratorsSid)}
    {
    }
    bool Complete() const { return !m_sids[0].empty() && !m_sids[1].empty() && !m_sids[2].empty(); }
    bool IsUser(PSID sid) const { return Matches(m_sids[0], sid); }
    bool Contains(PSID sid) const
    {
        for (const std::vector<BYTE>& trusted : m_sids) {
            if (Matches(trusted, sid))
                return true;
        }
        return false;
    }

private:
    static bool Matches(const std::vector<BYTE>& trusted, PSID sid)
    {
        return !trusted.empty() && sid && IsValidSid(sid) &&
               EqualSid(const_cast<BYTE*>(trusted.data()), sid);
    }
    std::vector<BYTE> m_sids[3];
};

// Every entry that grants something, to anybody but the trusted three, opens
// the folder: to the folder itself or, when inherited, to what it holds.
bool OnlyTrustedHaveAccess(PACL dacl, const TrustedSids& trusted)
{
    if (!dacl)
        return false;  // no DACL at all: everybody has every right
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry))
            return false;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE)
            continue;  // a denial only takes away
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return false;  // a kind this check does not read: not private
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if (allowed->Mask != 0 && !trusted.Contains(&allowed->SidStart))
            return false;
    }
    return true;
}

bool CreatePrivateFolder(const std::wstring& folder)
{
    SecurityDescriptor security = PrivateFolderSecurity();
    if (!security)
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security.get(), FALSE};
    return CreateDirectoryW(folder.c_str(), &attributes) != FALSE;
}

// The user's own folder, left open by an earlier version or by the drive's
// inherited permissions: it gets the private DACL, which also reaches every
// file inside.
bool MakeFolderPrivate(const std::wstring& folder)
{
    SecurityDescriptor security = PrivateFolderSecurity();
    if (!security)
        return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(security.get(), &present, &dacl, &defaulted) || !present)
        return false;
    std::wstring path = folder;  // the call takes a writable text
    return SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 dacl, nullptr) == ERROR_SUCCESS;
}

}  // namespace

SecurityDescriptor PrivateFolderSecurity()
{
    const std::vector<BYTE> user = UserSid();
    LPWSTR userText = nullptr;
    if (user.empty() || !ConvertSidToStringSidW(const_cast<BYTE*>(user.data()), &userText))
        return nullptr;
    // P: protected, nothing inherited from the drive; OICI: every file and
    // folder inside inherits it; FA: full access.
    const std::wstring sddl =
        std::wstring(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;") + userText + L")";
    LocalFree(userText);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return nullptr;
    return SecurityDescriptor(descriptor);
}

FolderOwnership JudgeFolderSecurity(PSECURITY_DESCRIPTOR descriptor)
{
    const TrustedSids trusted;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!trusted.Complete() || !descriptor || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted))
        return FolderOwnership::Foreign;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        return FolderOwnership::Foreign;
    if (!present)
        dacl = nullptr;
    if (trusted.Contains(owner) && OnlyTrustedHaveAccess(dacl, trusted))
        return FolderOwnership::Private;
    return trusted.IsUser(owner) ? FolderOwnership::UsersOwnOpen : FolderOwnership::Foreign;
}

bool PrepareInstallFolder(const std::wstring& folder)
{
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND && CreatePrivateFolder(folder);
    // A link or junction leads wherever its maker chose: not a place to
    // trust, whatever the target's permissions say.
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;

    PSECURITY_DESCRIPTOR read = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &read) != ERROR_SUCCESS)
        return false;
    const SecurityDescriptor security(read);
    switch (JudgeFolderSecurity(security.get())) {
    case FolderOwnership::Private:
        return true;
    case FolderOwnership::UsersOwnOpen:
        return MakeFolderPrivate(folder);
    case FolderOwnership::Foreign:
        return false;
    }
    return false;
}

}  // namespace brinvale
