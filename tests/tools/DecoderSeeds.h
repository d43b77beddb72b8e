// Buffers of every kind logonsim can receive, built by the module's own builders with the
// scriptable seam (whose protection is the simulation's reversible form).
#pragma once
#include "logon/AuthPackage.h"
#include "logon/CertificateLogon.h"
#include "logon/HybridLogon.h"
#include "logon/InteractiveLogon.h"
#include "logon/KerbCertificateLogon.h"
#include "logon/PasswordProtection.h"

#include <windows.h>

#include <string>
#include <vector>

namespace decodertest {

struct Seed {
    const char* name;
    ULONG packageId;
    std::vector<BYTE> bytes;
    size_t contentEnd;  // bytes past this are slack the builder adds (zero)
};

inline std::vector<BYTE> Take(BYTE* raw, DWORD size) {
    std::vector<BYTE> bytes(raw, raw + size);
    ::CoTaskMemFree(raw);
    return bytes;
}

inline const LUID kUnlockId = {0x01020304, 0x05060708};

// Needs a FakePlatform installed (protection and package ids).
inline std::vector<Seed> BuildSeeds() {
    std::vector<Seed> seeds;
    auto package = [](const char* name) {
        ULONG id = 0xFFFF;
        (void)LookupAuthPackage(name, &id);
        return id;
    };
    BYTE* raw = nullptr;
    DWORD size = 0;

    if (SUCCEEDED(PackInteractiveLogon(L"CORP", L"alice", L"secret", CPUS_LOGON, &raw, &size)))
        seeds.push_back({"password logon", package("Negotiate"), Take(raw, size), size});
    if (SUCCEEDED(PackInteractiveLogon(L"", L"local", L"secret", CPUS_CREDUI, &raw, &size)))
        seeds.push_back({"credential UI", package("NTLM"), Take(raw, size), size});

    // Size query, then the build.
    auto built = [](auto build) {
        DWORD needed = 0;
        (void)build(nullptr, &needed);
        std::vector<BYTE> bytes(needed);
        return build(bytes.data(), &needed) == 0 ? bytes : std::vector<BYTE>();
    };
    auto unlock = built([](BYTE* b, DWORD* s) {
        return BuildInteractiveLogonBuffer(7, L"CORP", L"alice", L"secret", &kUnlockId, CPUS_UNLOCK_WORKSTATION, b, s);
    });
    seeds.push_back({"password unlock", package("Negotiate"), unlock, unlock.size()});
    auto certificate = built([](BYTE* b, DWORD* s) {
        return BuildCertificateLogonBuffer(15, L"CORP", L"alice", L"1234", &kUnlockId, 1, L"Card", L"Reader", L"Cont",
                                           L"Prov", b, s);
    });
    seeds.push_back({"certificate with LogonId", package("Kerberos"), certificate, certificate.size()});

    CORE::SecureWString pin;
    ProtectSecretCopy(L"1234", &pin);
    raw = nullptr;
    if (BuildKerbCertificateLogon({CPUS_UNLOCK_WORKSTATION, L"corp.example", L"CORP", L"alice", L"", {}, L"Reader", L"Card", L"Cont", L"Prov", pin.c_str(), 1, false}, &raw, &size) == S_OK)
        seeds.push_back({"smart card unlock", package("Kerberos"), Take(raw, size), size - 32});

    if (SUCCEEDED(CredFilterBuildHybridLogonBuffer(L"guest", L"guestpw", L"CORP", L"alice", L"secret", CPUS_LOGON,
                                                   &raw, &size)))
        seeds.push_back({"hybrid password", package("LUMO_AUTHENTICATION_PACKAGE_V1_0"), Take(raw, size), size});
    if (SUCCEEDED(CredFilterBuildHybridCertificateLogonBuffer(L"guest", L"guestpw", nullptr, nullptr, L"1234", 0,
                                                              nullptr, nullptr, L"Cont",
                                                              L"Velmora Zephral SSO Key Storage Provider", &raw,
                                                              &size)))
        seeds.push_back({"hybrid certificate", package("LUMO_AUTHENTICATION_PACKAGE_V1_0"), Take(raw, size), size});
    return seeds;
}

}  // namespace decodertest
