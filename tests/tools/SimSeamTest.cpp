// The simulated seam logonsim's end-to-end runs rely on: the reversible protection and the
// documented package ids, each steerable from the simulation's registry key.
#include "logon/AuthPackage.h"
#include "logon/PasswordProtection.h"

#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kSimKey[] = L"Software\\TcfiltrSim";

TEST(SimSeam, ProtectsReversiblyAndAnswersTheDocumentedPackageIdsUnlessToldOtherwise) {
    testsupport::RegistrySandbox registry;
    CORE::SecureWString out;
    EXPECT_TRUE(ProtectPassword(L"secret", &out) == S_OK && out == L"@@TCSIMcwBlAGMAcgBlAHQA");
    registry.SetDword(kSimKey, L"CredProtectError", ERROR_ACCESS_DENIED);
    EXPECT_EQ(ProtectPassword(L"secret", &out), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    ULONG id = 99;
    const std::pair<const char*, ULONG> table[] = {{"Negotiate", 0}, {"NTLM", 1}, {"Kerberos", 2}, {"kerberos", 2},
                                                   {"CloudAP", 4}, {"LUMO_AUTHENTICATION_PACKAGE_V1_0", 7}};
    for (const auto& [name, expected] : table)
        EXPECT_TRUE(LookupAuthPackage(name, &id) == S_OK && id == expected) << name;
    EXPECT_EQ(LookupAuthPackage("MICROSOFT_AUTHENTICATION_PACKAGE_V1_0", &id), static_cast<HRESULT>(0xD00000FEL));
    registry.SetDword(kSimKey, L"AuthPackage.Kerberos", 12);
    registry.SetDword(kSimKey, L"AuthPackageStatus.NTLM", 0xC0000022);
    EXPECT_EQ(std::make_pair(LookupAuthPackage("Kerberos", &id), id), std::make_pair(S_OK, 12ul));
    EXPECT_EQ(std::make_pair(LookupAuthPackage("NTLM", &id), id), std::make_pair(static_cast<HRESULT>(0xD0000022L), 12ul));  // id untouched
}

}  // namespace
