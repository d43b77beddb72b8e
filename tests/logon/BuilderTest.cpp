// Every builder's bytes against expectations written out by hand (literal offsets, lengths,
// message types and LogonId rules), and the contract the caller-buffer builders share: the
// size query (no buffer, one byte short, exact, larger), validation before writing with the
// logged reason, and length limits. The protected form is the fake's "@@TCSIM" + Base64, given
// here as literal text.
#include "ByteView.h"

#include "logon/CertificateLogon.h"
#include "logon/CspInfo.h"
#include "logon/HybridLogon.h"
#include "logon/InteractiveLogon.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace logontest;

namespace {

using Build = std::function<DWORD(BYTE*, DWORD*)>;

const std::wstring kPw = L"@@TCSIMcAB3AA==";  // "pw" protected: 15 characters
const std::wstring kKsp = L"Velmora Zephral SSO Key Storage Provider";
const LUID kLogonId = {0x11223344, 0x55667788};
const uint64_t kLogonIdBytes = 0x5566778811223344ull;
const uint32_t kKspCsp = 56 + 2 * static_cast<uint32_t>(1 + kKsp.size());

// The size query and the calls with a short, exact and larger buffer; answers what was built.
Bytes BuildChecked(const Build& build) {
    DWORD needed = 12345;
    EXPECT_EQ(build(nullptr, &needed), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_GT(needed, 0u);
    if (needed == 0) return {};
    // One byte short: 122 with the exact size, the owned part zeroed, the guard byte intact.
    Bytes shortBuffer(needed, 0xCC);
    DWORD size = needed - 1;
    EXPECT_EQ(build(shortBuffer.data(), &size), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, needed);
    EXPECT_EQ(std::count(shortBuffer.begin(), shortBuffer.end() - 1, 0), static_cast<ptrdiff_t>(needed - 1));
    EXPECT_EQ(shortBuffer.back(), 0xCC);
    // Larger: success, the size used, the rest zero; the exact size gives the same bytes.
    Bytes larger(needed + 16, 0xCC), exact(needed, 0xCC);
    size = needed + 16;
    EXPECT_EQ(build(larger.data(), &size), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(size, needed);
    EXPECT_EQ(std::count(larger.begin() + needed, larger.end(), 0), 16);
    EXPECT_EQ(build(exact.data(), &size), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(size, needed);
    EXPECT_TRUE(std::equal(exact.begin(), exact.end(), larger.begin()));
    return exact;
}

Bytes Packed(CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario) {
    BYTE* raw = nullptr;
    DWORD size = 0;
    EXPECT_EQ(PackInteractiveLogon(L"CORP", L"alice@corp.example", L"pw", scenario, &raw, &size), S_OK);
    return Take(raw, size);
}

TEST(LogonBuilders, WriteTheirDocumentedOffsetsAndKeepTheSizeContract) {
    const uint32_t hybridEmbedded = 64 + 2 + 2 + 30, e = 54;
    const struct {
        const char* name;
        Build build;                  // a caller-buffer builder, or
        std::function<Bytes()> pack;  // an allocating one
        Layout layout;
        bool protects;
    } kCases[] = {
        {"interactive logon: no LogonId even when one is passed", [](BYTE* b, DWORD* s) {
             return BuildInteractiveLogonBuffer(2, L"CORP", L"alice", L"pw", &kLogonId, CPUS_LOGON, b, s); }, nullptr,
         {64 + 8 + 10 + 30, {{0, 2, 4}, {4, 0, 4}, {56, 0, 8}}, {{8, 8, 64}, {24, 10, 72}, {40, 30, 82}},
          {{64, L"CORP"}, {72, L"alice"}, {82, kPw}}}, true},
        {"interactive unlock: LogonId, empty domain has length and offset 0", [](BYTE* b, DWORD* s) {
             return BuildInteractiveLogonBuffer(7, nullptr, L"bob", L"pw", &kLogonId, CPUS_UNLOCK_WORKSTATION, b, s); },
         nullptr, {64 + 6 + 30, {{0, 7, 4}, {56, kLogonIdBytes, 8}}, {{8, 0, 0}, {24, 6, 64}, {40, 30, 70}}, {}}, true},
        // A UPN logon carries no domain, its offset still 64.
        {"pack logon", nullptr, [] { return Packed(CPUS_LOGON); }, {64 + 36 + 30, {{0, 2, 4}, {56, 0, 8}},
         {{8, 0, 64}, {24, 36, 64}, {40, 30, 100}}, {{64, L"alice@corp.example"}, {100, kPw}}}, true},
        {"pack unlock", nullptr, [] { return Packed(CPUS_UNLOCK_WORKSTATION); }, {64 + 36 + 30, {{0, 7, 4}, {56, 0, 8}},
         {{8, 0, 64}, {24, 36, 64}, {40, 30, 100}}, {{100, kPw}}}, true},
        {"pack credential UI: password as given", nullptr, [] { return Packed(CPUS_CREDUI); },
         {64 + 36 + 4, {{0, 0, 4}}, {{8, 0, 64}, {24, 36, 64}, {40, 4, 100}}, {{100, L"pw"}}}, false},
        {"CSP information, one-character names: offsets 4 to 10 in characters from byte 40",
         [](BYTE* b, DWORD* s) { return BuildCspInfo(kSignature, L"C", L"R", L"K", L"P", b, s); }, nullptr,
         {64, {{0, 64, 4}, {4, 1, 4}, {8, 0, 8}, {16, 0, 4}, {20, 2, 4}, {24, 4, 4}, {28, 6, 4}, {32, 8, 4},
               {36, 10, 4}, {40, 0, 8}}, {}, {{48, std::wstring(L"C\0R\0K\0P\0", 8)}}}, false},
        {"CSP information stores absent names as one zero character", [](BYTE* b, DWORD* s) {
             return BuildCspInfo(0, nullptr, L"", L"K1", L"Prov", b, s); }, nullptr,
         {56 + 2 * 6, {{0, 68, 4}, {24, 4, 4}, {28, 5, 4}, {32, 6, 4}, {36, 9, 4}}, {},
          {{48, std::wstring(L"\0\0K1\0Prov\0", 10)}}}, false},
        {"certificate unlock goes as logon with the LogonId at 72, PIN as given", [](BYTE* b, DWORD* s) {
             return BuildCertificateLogonBuffer(15, L"D", L"U", L"1234", &kLogonId, kKeyExchange, L"C", L"R", L"K", L"P",
                                                b, s); }, nullptr,
         {80 + 2 + 2 + 8 + 64, {{0, 13, 4}, {56, 0, 4}, {60, 64, 4}, {64, 92, 8}, {72, kLogonIdBytes, 8}, {92, 64, 4},
                                {92 + 20, kKeyExchange, 4}}, {{8, 2, 80}, {24, 2, 82}, {40, 8, 84}},
          {{84, L"1234"}, {92 + 48, std::wstring(L"C\0R\0", 4)}}}, false},
        {"hybrid password frame embeds the interactive logon, self-relative, after the local strings",
         [](BYTE* b, DWORD* s) { return BuildHybridLogonBuffer(L"u", L"", L"D", L"U", L"pw", CPUS_LOGON, b, s); },
         nullptr, {48 + 2 + hybridEmbedded, {{0, 2, 4}, {4, 0, 4}, {40, hybridEmbedded, 4}, {44, 50, 4}, {50, 2, 4},
                   {50 + 56, 0, 8}}, {{8, 2, 48}, {24, 0, 0}, {50 + 8, 2, 64}, {50 + 24, 2, 66}, {50 + 40, 30, 68}},
                   {{48, L"u"}, {50 + 68, kPw}}}, true},
        {"hybrid certificate frame: local password as given, provider after card, reader and container",
         [](BYTE* b, DWORD* s) {
             return BuildHybridCertificateLogonBuffer(L"u", L"pw", nullptr, nullptr, L"1234", 0, nullptr, nullptr, L"K",
                                                      kKsp.c_str(), b, s); }, nullptr,
         {48 + 2 + 4 + 80 + 8 + kKspCsp, {{40, 80 + 8 + kKspCsp, 4}, {44, 54, 4}, {e, 13, 4}, {e + 60, kKspCsp, 4},
                                          {e + 64, 88, 8}, {e + 72, 0, 8}, {e + 88 + 36, 8, 4}},
          {{8, 2, 48}, {24, 4, 50}, {e + 8, 0, 0}, {e + 24, 0, 0}, {e + 40, 8, 80}},
          {{50, L"pw"}, {e + 88 + 40 + 2 * 8, kKsp}}}, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        testsupport::FakePlatform os;
        ExpectLayout(c.build ? BuildChecked(c.build) : c.pack(), c.layout);
        EXPECT_EQ(os.protectCalls > 0, c.protects);
    }
}

TEST(LogonBuilders, RefuseBadParametersWith87AndTheReasonLogged) {
    testsupport::FakePlatform os;
    testsupport::LogCapture log;
    const std::wstring tooLong(32768, L'x');  // 65536 bytes: one character past a counted string
    const std::wstring protectsTooLong(24000, L'x');  // protects to 64007: fine before, too long after
    const LUID id = {7, 0};
    const struct {
        const char* name;
        Build build;
        const wchar_t* logLine;
        int level;
        bool zeroesBuffer;  // refused after the caller's buffer was zeroed
    } kCases[] = {
        {"interactive without size", [](BYTE* b, DWORD*) {
             return BuildInteractiveLogonBuffer(2, L"D", L"U", L"pw", nullptr, CPUS_LOGON, b, nullptr);
         }, L"BuildInteractiveLogonBuffer: Invalid parameters cbLogon=", CORE::LOG_WARN, false},
        {"interactive message type", [&](BYTE* b, DWORD* s) {
             return BuildInteractiveLogonBuffer(13, L"D", L"U", L"pw", &id, CPUS_LOGON, b, s);
         }, L"BuildInteractiveLogonBuffer: Invalid MessageType = 13", CORE::LOG_WARN, false},
        {"interactive unlock without LogonId", [](BYTE* b, DWORD* s) {
             return BuildInteractiveLogonBuffer(7, L"D", L"U", L"pw", nullptr, CPUS_UNLOCK_WORKSTATION, b, s);
         }, L"BuildInteractiveLogonBuffer: LogonId is mandatory for unlock", CORE::LOG_WARN, false},
        {"interactive domain", [&](BYTE* b, DWORD* s) {
             return BuildInteractiveLogonBuffer(2, tooLong.c_str(), L"U", L"pw", nullptr, CPUS_LOGON, b, s);
         }, L"BuildInteractiveLogonBuffer: Failed invalid domain name.", CORE::LOG_ERROR, true},
        {"interactive protected password", [&](BYTE* b, DWORD* s) {
             return BuildInteractiveLogonBuffer(2, L"D", L"U", protectsTooLong.c_str(), nullptr, CPUS_LOGON, b, s);
         }, L"BuildInteractiveLogonBuffer: Failed invalid password.", CORE::LOG_ERROR, true},
        {"csp empty container", [](BYTE* b, DWORD* s) { return BuildCspInfo(0, L"C", L"R", L"", L"P", b, s); },
         L"BuildCspInfo: Invalid parameters cbCspInfo=", CORE::LOG_WARN, false},
        {"csp null provider", [](BYTE* b, DWORD* s) { return BuildCspInfo(0, L"C", L"R", L"K", nullptr, b, s); },
         L"*CSPName=0", CORE::LOG_WARN, false},
        {"certificate message type", [](BYTE* b, DWORD* s) {
             return BuildCertificateLogonBuffer(2, L"D", L"U", L"1", nullptr, 0, L"C", L"R", L"K", L"P", b, s);
         }, L"BuildCertificateLogonBuffer: Invalid MessageType = 2", CORE::LOG_WARN, false},
        {"certificate unlock without LogonId", [](BYTE* b, DWORD* s) {
             return BuildCertificateLogonBuffer(15, L"D", L"U", L"1", nullptr, 0, L"C", L"R", L"K", L"P", b, s);
         }, L"BuildCertificateLogonBuffer: LogonId is mandatory for unlock", CORE::LOG_WARN, false},
        {"certificate pin", [&](BYTE* b, DWORD* s) {
             return BuildCertificateLogonBuffer(13, L"D", L"U", tooLong.c_str(), nullptr, 0, L"C", L"R", L"K", L"P", b, s);
         }, L"BuildCertificateLogonBuffer: Failed invalid pin.", CORE::LOG_ERROR, true},
        {"hybrid without local user", [](BYTE* b, DWORD* s) {
             return BuildHybridLogonBuffer(nullptr, L"", L"D", L"U", L"pw", CPUS_LOGON, b, s);
         }, L"BuildHybridLogonBuffer: Invalid parameters LocalUserName=", CORE::LOG_WARN, false},
        {"hybrid local password", [&](BYTE* b, DWORD* s) {
             return BuildHybridLogonBuffer(L"u", tooLong.c_str(), L"D", L"U", L"pw", CPUS_LOGON, b, s);
         }, L"BuildHybridLogonBuffer: Failed invalid password.", CORE::LOG_ERROR, true},
        {"hybrid embedded domain", [&](BYTE* b, DWORD* s) {
             return BuildHybridLogonBuffer(L"u", L"", tooLong.c_str(), L"U", L"pw", CPUS_LOGON, b, s);
         }, L"BuildInteractiveLogonBuffer: Failed invalid domain name.", CORE::LOG_ERROR, true},
        {"hybrid certificate local user", [&](BYTE* b, DWORD* s) {
             return BuildHybridCertificateLogonBuffer(tooLong.c_str(), L"", nullptr, nullptr, L"1", 0, nullptr, nullptr,
                                                      L"K", L"P", b, s);
         }, L"BuildHybridCertificateLogonBuffer: Failed invalid username.", CORE::LOG_ERROR, true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        Bytes buffer(256, 0xCC);
        DWORD size = 200;
        EXPECT_EQ(c.build(buffer.data(), &size), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_TRUE(log.Contains(c.logLine, c.level)) << log.Dump();
        EXPECT_EQ(buffer[0], c.zeroesBuffer ? 0 : 0xCC);
        EXPECT_EQ(buffer[200], 0xCC);
    }
    // The longest counted strings (65534 bytes) still go.
    const std::wstring longest(32767, L'x');
    DWORD size = 0;
    EXPECT_EQ(BuildInteractiveLogonBuffer(2, longest.c_str(), longest.c_str(), L"", nullptr, CPUS_LOGON, nullptr, &size),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 64u + 2 * 65534);
    EXPECT_EQ(BuildCertificateLogonBuffer(13, longest.c_str(), longest.c_str(), longest.c_str(), nullptr, 0, nullptr,
                                          nullptr, L"K", L"P", nullptr, &size),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 80u + 3 * 65534 + 56 + 4);
}

}  // namespace
