// Who the install folder belongs to: the security the program gives it, and
// how it judges a folder it finds already there. (A folder created with that
// security is read back end to end under Wine; Wine keeps no descriptor set
// on an existing folder, so the descriptor itself is checked here.)
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <string>

#include "install/install_folder.h"

namespace brinvale {
namespace {

std::wstring Sddl(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts)
{
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &text, nullptr))
        return L"(none)";
    std::wstring out = text;
    LocalFree(text);
    return out;
}

std::wstring UserSidText()
{
    // The private descriptor names the user in its last entry.
    const SecurityDescriptor own = PrivateFolderSecurity();
    const std::wstring dacl = Sddl(own.get(), DACL_SECURITY_INFORMATION);
    const std::size_t at = dacl.rfind(L";;;");
    return dacl.substr(at + 3, dacl.size() - at - 4);
}

TEST(InstallFolder, GetsAProtectedDaclForSystemAdministratorsAndTheUserInheritedByAllInside)
{
    const SecurityDescriptor security = PrivateFolderSecurity();
    ASSERT_TRUE(security);
    const std::wstring user = UserSidText();
    EXPECT_TRUE(user.starts_with(L"S-1-5-")) << user;
    EXPECT_EQ(Sddl(security.get(), DACL_SECURITY_INFORMATION),
              L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + user + L")");
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(security.get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing inherited from the drive";
}

TEST(InstallFolder, AnExistingFolderIsJudgedByItsOwnerAndByWhoElseHasAccess)
{
    const std::wstring me = UserSidText();
    const struct {
        const char* what;
        std::wstring sddl;
        FolderOwnership judged;
    } cases[] = {
        {"made by this program", L"O:" + me + L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + me + L")",
         FolderOwnership::Private},
        {"made for the user by an administrator", L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + me + L")",
         FolderOwnership::Private},
        {"a denial only takes away", L"O:" + me + L"D:(D;;FA;;;WD)(A;;FA;;;" + me + L")", FolderOwnership::Private},
        {"everybody may read the log", L"O:" + me + L"D:(A;OICI;FA;;;" + me + L")(A;OICI;0x1200a9;;;WD)",
         FolderOwnership::UsersOwnOpen},
        {"the drive's modify right for new files",
         L"O:" + me + L"D:(A;OICI;FA;;;" + me + L")(A;OICIIO;0x1301bf;;;AU)", FolderOwnership::UsersOwnOpen},
        {"another account's, open", L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;S-1-5-21-1-2-3-1001)(A;;FA;;;" + me + L")",
         FolderOwnership::Foreign},
        {"the anonymous account's", L"O:AND:(A;;FA;;;SY)(A;;FA;;;AN)", FolderOwnership::Foreign},
    };
    for (const auto& c : cases) {
        PSECURITY_DESCRIPTOR made = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl.c_str(), SDDL_REVISION_1, &made,
                                                                         nullptr));
        const SecurityDescriptor descriptor(made);
        EXPECT_EQ(JudgeFolderSecurity(descriptor.get()), c.judged) << c.what;
    }

    // No DACL at all gives everybody every right. (Made by hand: Wine reads
    // "D:NO_ACCESS_CONTROL" as an empty DACL, which is the opposite.)
    PSECURITY_DESCRIPTOR own = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW((L"O:" + me).c_str(), SDDL_REVISION_1, &own,
                                                                     nullptr));
    const SecurityDescriptor owner(own);
    PSID sid = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(owner.get(), &sid, &defaulted));
    SECURITY_DESCRIPTOR open{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&open, sid, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    EXPECT_EQ(JudgeFolderSecurity(&open), FolderOwnership::UsersOwnOpen);
}

}  // namespace
}  // namespace brinvale
