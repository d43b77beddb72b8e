// Every builder's bytes against expectations written out by hand: literal offsets, lengths,
// message types and LogonId rules. The protected form is the fake's "@@TCSIM" + Base64, given
// here as literal text.
#include "ByteView.h"

#include "logon/CertificateLogon.h"
#include "logon/CspInfo.h"
#include "logon/HybridLogon.h"
#include "logon/InteractiveLogon.h"

#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <functional>

using namespace logontest;

namespace {

const std::wstring kPw = L"@@TCSIMcAB3AA==";  // "pw" protected: 15 characters
const std::wstring kKsp = L"Velmora Zephral SSO Key Storage Provider";
const LUID kLogonId = {0x11223344, 0x55667788};
const uint64_t kLogonIdBytes = 0x5566778811223344ull;
const uint32_t kKspCsp = 56 + 2 * static_cast<uint32_t>(1 + kKsp.size());

// Runs a caller-buffer builder twice (size query, then build) and returns what it wrote.
Bytes Sized(const std::function<DWORD(BYTE*, DWORD*)>& build) {
    DWORD size = 0;
    EXPECT_EQ(build(nullptr, &size), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    Bytes buffer(size, 0xCC);
    DWORD used = size;
    EXPECT_EQ(build(buffer.data(), &used), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(used, size);
    return buffer;
}

Bytes Packed(PCWSTR user, CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario) {
    BYTE* raw = nullptr;
    DWORD size = 0;
    EXPECT_EQ(PackInteractiveLogon(L"CORP", user, L"pw", scenario, &raw, &size), S_OK);
    Bytes b(raw, raw + size);
    ::CoTaskMemFree(raw);
    return b;
}

struct LayoutCase {
    const char* name;
    std::function<Bytes()> build;
    Layout layout;
    bool protects;
};

std::vector<LayoutCase> Cases() {
    const uint32_t hybridEmbedded = 64 + 2 + 2 + 30, e = 54;
    return {
        {"interactive logon: no LogonId even when one is passed", [] { return Sized([](BYTE* b, DWORD* s) {
             return BuildInteractiveLogonBuffer(2, L"CORP", L"alice", L"pw", &kLogonId, CPUS_LOGON, b, s); }); },
         64 + 8 + 10 + 30, {{0, 2, 4}, {4, 0, 4}, {56, 0, 8}}, {{8, 8, 64}, {24, 10, 72}, {40, 30, 82}},
         {{64, L"CORP"}, {72, L"alice"}, {82, kPw}}, true},
        {"interactive unlock: LogonId, empty domain has length and offset 0", [] { return Sized([](BYTE* b, DWORD* s) {
             return BuildInteractiveLogonBuffer(7, nullptr, L"bob", L"pw", &kLogonId, CPUS_UNLOCK_WORKSTATION, b, s); }); },
         64 + 6 + 30, {{0, 7, 4}, {56, kLogonIdBytes, 8}}, {{8, 0, 0}, {24, 6, 64}, {40, 30, 70}}, {}, true},
        // A UPN logon carries no domain, its offset still 64.
        {"pack logon", [] { return Packed(L"alice@corp.example", CPUS_LOGON); }, 64 + 36 + 30, {{0, 2, 4}, {56, 0, 8}},
         {{8, 0, 64}, {24, 36, 64}, {40, 30, 100}}, {{64, L"alice@corp.example"}, {100, kPw}}, true},
        {"pack unlock", [] { return Packed(L"alice@corp.example", CPUS_UNLOCK_WORKSTATION); }, 64 + 36 + 30,
         {{0, 7, 4}, {56, 0, 8}}, {{8, 0, 64}, {24, 36, 64}, {40, 30, 100}}, {{100, kPw}}, true},
        {"pack credential UI: password as given", [] { return Packed(L"alice@corp.example", CPUS_CREDUI); },
         64 + 36 + 4, {{0, 0, 4}}, {{8, 0, 64}, {24, 36, 64}, {40, 4, 100}}, {{100, L"pw"}}, false},
        {"CSP information, one-character names: offsets 4 to 10 in characters from byte 40",
         [] { return Sized([](BYTE* b, DWORD* s) { return BuildCspInfo(kSignature, L"C", L"R", L"K", L"P", b, s); }); },
         64, {{0, 64, 4}, {4, 1, 4}, {8, 0, 8}, {16, 0, 4}, {20, 2, 4}, {24, 4, 4}, {28, 6, 4}, {32, 8, 4},
              {36, 10, 4}, {40, 0, 8}}, {}, {{48, std::wstring(L"C\0R\0K\0P\0", 8)}}, false},
        {"CSP information stores absent names as one zero character", [] { return Sized([](BYTE* b, DWORD* s) {
             return BuildCspInfo(0, nullptr, L"", L"K1", L"Prov", b, s); }); },
         56 + 2 * 6, {{0, 68, 4}, {24, 4, 4}, {28, 5, 4}, {32, 6, 4}, {36, 9, 4}}, {},
         {{48, std::wstring(L"\0\0K1\0Prov\0", 10)}}, false},
        {"certificate unlock goes as logon with the LogonId at 72, PIN as given", [] { return Sized([](BYTE* b, DWORD* s) {
             return BuildCertificateLogonBuffer(15, L"D", L"U", L"1234", &kLogonId, kKeyExchange, L"C", L"R", L"K", L"P",
                                                b, s); }); },
         80 + 2 + 2 + 8 + 64, {{0, 13, 4}, {56, 0, 4}, {60, 64, 4}, {64, 92, 8}, {72, kLogonIdBytes, 8}, {92, 64, 4},
                               {92 + 20, kKeyExchange, 4}}, {{8, 2, 80}, {24, 2, 82}, {40, 8, 84}},
         {{84, L"1234"}, {92 + 48, std::wstring(L"C\0R\0", 4)}}, false},
        {"hybrid password frame embeds the interactive logon, self-relative, after the local strings",
         [] { return Sized([](BYTE* b, DWORD* s) {
             return BuildHybridLogonBuffer(L"u", L"", L"D", L"U", L"pw", CPUS_LOGON, b, s); }); },
         48 + 2 + hybridEmbedded, {{0, 2, 4}, {4, 0, 4}, {40, hybridEmbedded, 4}, {44, 50, 4}, {50, 2, 4}, {50 + 56, 0, 8}},
         {{8, 2, 48}, {24, 0, 0}, {50 + 8, 2, 64}, {50 + 24, 2, 66}, {50 + 40, 30, 68}}, {{48, L"u"}, {50 + 68, kPw}},
         true},
        {"hybrid certificate frame: local password as given, provider after card, reader and container",
         [] { return Sized([](BYTE* b, DWORD* s) {
             return BuildHybridCertificateLogonBuffer(L"u", L"pw", nullptr, nullptr, L"1234", 0, nullptr, nullptr, L"K",
                                                      kKsp.c_str(), b, s); }); },
         48 + 2 + 4 + 80 + 8 + kKspCsp, {{40, 80 + 8 + kKspCsp, 4}, {44, 54, 4}, {e, 13, 4}, {e + 60, kKspCsp, 4},
                                         {e + 64, 88, 8}, {e + 72, 0, 8}, {e + 88 + 36, 8, 4}},
         {{8, 2, 48}, {24, 4, 50}, {e + 8, 0, 0}, {e + 24, 0, 0}, {e + 40, 8, 80}},
         {{50, L"pw"}, {e + 88 + 40 + 2 * 8, kKsp}}, false},
    };
}

TEST(LogonLayout, EveryBuilderWritesItsDocumentedOffsets) {
    for (const LayoutCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        testsupport::FakePlatform os;
        ExpectLayout(c.build(), c.layout);
        EXPECT_EQ(os.protectCalls > 0, c.protects);
    }
}

}  // namespace
