// Every builder's bytes against expectations written out by hand (literal offsets, lengths,
// message types and LogonId rules), and the contract the caller-buffer builders share: the
// size query (no buffer, one byte short, exact, larger), validation before writing with the
// logged reason, and length limits. Then the tile's certificate logon with account resolution
// not available: the direct case with its domain choice and switch, unlock, the 32 trailing
// bytes, and what goes out when resolution fails or has nothing to work with. The protected form is the fake's "@@TCSIM" + Base64, given
// here as literal text.
#include "ByteView.h"

#include "logon/CertificateLogon.h"
#include "logon/CspInfo.h"
#include "logon/HybridLogon.h"
#include "logon/InteractiveLogon.h"
#include "logon/KerbCertificateLogon.h"

#include "support/CoTaskFreeWatch.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

using namespace logontest;

namespace {

using Build = std::function<DWORD(BYTE*, DWORD*)>;
#define BUILD(call) [&]([[maybe_unused]] BYTE* b, [[maybe_unused]] DWORD* s) -> DWORD { return call; }

const std::wstring kPw = L"@@TCSIMcAB3AA==";  // "pw" protected: 15 characters
const std::wstring kKsp = L"Velmora Zephral SSO Key Storage Provider";
const LUID kLogonId = {0x11223344, 0x55667788};
const uint64_t kLogonIdBytes = 0x5566778811223344ull;
const uint32_t kKspCsp = 56 + 2 * static_cast<uint32_t>(1 + kKsp.size());

// The size query and the calls with a short, exact and larger buffer; answers what was built.
Bytes BuildChecked(const Build& build) {
    DWORD needed = 0;
    if (build(nullptr, &needed) != ERROR_INSUFFICIENT_BUFFER || needed == 0) return ADD_FAILURE() << "size query", Bytes{};
    // One byte short: 122 with the exact size, the owned part zeroed, the guard byte intact.
    Bytes shortBuffer(needed, 0xCC);
    DWORD size = needed - 1, result = build(shortBuffer.data(), &size);
    EXPECT_EQ(std::make_tuple(result, size, std::count(shortBuffer.begin(), shortBuffer.end(), 0), shortBuffer.back()),
              std::make_tuple(DWORD{ERROR_INSUFFICIENT_BUFFER}, needed, static_cast<ptrdiff_t>(needed - 1), BYTE{0xCC}));
    // Larger: success, the size used, the rest zero; the exact size gives the same bytes.
    Bytes larger(needed + 16, 0xCC), exact(needed, 0xCC);
    size = needed + 16, result = build(larger.data(), &size);
    EXPECT_EQ(std::make_tuple(result, size, std::count(larger.begin() + needed, larger.end(), 0)),
              std::make_tuple(DWORD{ERROR_SUCCESS}, needed, ptrdiff_t{16}));
    result = build(exact.data(), &size);
    EXPECT_TRUE(result == ERROR_SUCCESS && size == needed && std::equal(exact.begin(), exact.end(), larger.begin()));
    return exact;
}

TEST(LogonBuilders, WriteTheirDocumentedOffsetsAndKeepTheSizeContract) {
    const uint32_t hybridEmbedded = 64 + 2 + 2 + 30, e = 54;
    // A caller-buffer builder, or with none, PackInteractiveLogon of a UPN for scenario `packed`.
    const struct { Build build; CREDENTIAL_PROVIDER_USAGE_SCENARIO packed; Layout layout; } kCases[] = {
        // Interactive logon: no LogonId even when one is passed.
        {BUILD(BuildInteractiveLogonBuffer(2, L"CORP", L"alice", L"pw", &kLogonId, CPUS_LOGON, b, s)), CPUS_INVALID,
         {64 + 8 + 10 + 30, {{0, 2, 4}, {4, 0, 4}, {56, 0, 8}}, {{8, 8, 64}, {24, 10, 72}, {40, 30, 82}}, {{82, kPw}}}},
        // Interactive unlock: the LogonId; an empty domain has length and offset 0.
        {BUILD(BuildInteractiveLogonBuffer(7, nullptr, L"bob", L"pw", &kLogonId, CPUS_UNLOCK_WORKSTATION, b, s)), CPUS_INVALID,
         {64 + 6 + 30, {{0, 7, 4}, {56, kLogonIdBytes, 8}}, {{8, 0, 0}, {24, 6, 64}, {40, 30, 70}}, {{70, kPw}}}},
        // A UPN logon carries no domain, its offset still 64; credential UI gets the password as given.
        {nullptr, CPUS_LOGON, {64 + 36 + 30, {{0, 2, 4}, {56, 0, 8}}, {{8, 0, 64}, {24, 36, 64}, {40, 30, 100}}, {{100, kPw}}}},
        {nullptr, CPUS_CREDUI, {64 + 36 + 4, {{0, 0, 4}}, {{8, 0, 64}, {24, 36, 64}, {40, 4, 100}}, {{100, L"pw"}}}},
        // CSP information, one-character names: offsets 4 to 10 in characters from byte 40.
        {BUILD(BuildCspInfo(kSignature, L"C", L"R", L"K", L"P", b, s)), CPUS_INVALID, {64, {{0, 64, 4}, {4, 1, 4}, {8, 0, 8},
         {16, 0, 4}, {20, 2, 4}, {24, 4, 4}, {28, 6, 4}, {32, 8, 4}, {36, 10, 4}, {40, 0, 8}}, {}, {{48, std::wstring(L"C\0R\0K\0P\0", 8)}}}},
        // CSP information stores absent names as one zero character.
        {BUILD(BuildCspInfo(0, nullptr, L"", L"K1", L"Prov", b, s)), CPUS_INVALID, {56 + 2 * 6, {{0, 68, 4}, {24, 4, 4}, {28, 5, 4},
         {32, 6, 4}, {36, 9, 4}}, {}, {{48, std::wstring(L"\0\0K1\0Prov\0", 10)}}}},
        // Certificate unlock goes as logon with the LogonId at 72, the PIN as given.
        {BUILD(BuildCertificateLogonBuffer(15, L"D", L"U", L"1234", &kLogonId, kKeyExchange, L"C", L"R", L"K", L"P", b, s)),
         CPUS_INVALID, {80 + 2 + 2 + 8 + 64, {{0, 13, 4}, {56, 0, 4}, {60, 64, 4}, {64, 92, 8}, {72, kLogonIdBytes, 8},
                                              {92, 64, 4}, {92 + 20, kKeyExchange, 4}}, {{8, 2, 80}, {24, 2, 82}, {40, 8, 84}},
                        {{84, L"1234"}}}},
        // The hybrid password frame embeds the interactive logon, self-relative, after the local strings.
        {BUILD(BuildHybridLogonBuffer(L"u", L"", L"D", L"U", L"pw", CPUS_LOGON, b, s)), CPUS_INVALID,
         {48 + 2 + hybridEmbedded, {{0, 2, 4}, {4, 0, 4}, {40, hybridEmbedded, 4}, {44, 50, 4}, {50, 2, 4}, {50 + 56, 0, 8}},
          {{8, 2, 48}, {24, 0, 0}, {50 + 8, 2, 64}, {50 + 24, 2, 66}, {50 + 40, 30, 68}}, {{50 + 68, kPw}}}},
        // The hybrid certificate frame: the local password as given, the provider after card, reader and container.
        {BUILD(BuildHybridCertificateLogonBuffer(L"u", L"pw", nullptr, nullptr, L"1234", 0, nullptr, nullptr, L"K", kKsp.c_str(),
                                                 b, s)), CPUS_INVALID,
         {48 + 2 + 4 + 80 + 8 + kKspCsp, {{40, 80 + 8 + kKspCsp, 4}, {44, 54, 4}, {e, 13, 4}, {e + 60, kKspCsp, 4},
                                          {e + 64, 88, 8}, {e + 72, 0, 8}, {e + 88 + 36, 8, 4}},
          {{8, 2, 48}, {24, 4, 50}, {e + 8, 0, 0}, {e + 24, 0, 0}, {e + 40, 8, 80}}, {{e + 88 + 40 + 2 * 8, kKsp}}}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.layout.size);
        testsupport::FakePlatform os;
        BYTE* raw = nullptr;
        DWORD size = 0;
        EXPECT_EQ(c.build ? S_OK : PackInteractiveLogon(L"CORP", L"alice@corp.example", L"pw", c.packed, &raw, &size), S_OK);
        ExpectLayout(c.build ? BuildChecked(c.build) : Take(raw, size), c.layout);
        // Only a password is protected, and only for logon and unlock.
        bool protectedText = std::any_of(c.layout.texts.begin(), c.layout.texts.end(), [](const TextAt& t) { return t.text == kPw; });
        EXPECT_EQ(os.protectCalls > 0, protectedText);
    }
}

// Parameters are checked before the caller's buffer is touched (a warning); lengths, after it
// was zeroed (an error).
TEST(LogonBuilders, RefuseBadParametersWith87AndTheReasonLogged) {
    testsupport::FakePlatform os;
    testsupport::LogCapture log;
    const std::wstring tooLong(32768, L'x');  // 65536 bytes: one character past a counted string
    const std::wstring protectsTooLong(24000, L'x');  // protects to 64007: fine before, too long after
    const PCWSTR x = tooLong.c_str();
    const LUID id = {7, 0};
    const int warn = CORE::LOG_WARN, error = CORE::LOG_ERROR;
    // logLine: one line of each family, logged at `level`.
    const struct { Build build; int level; const wchar_t* logLine = nullptr; } kCases[] = {
        {BUILD(BuildInteractiveLogonBuffer(2, L"D", L"U", L"pw", nullptr, CPUS_LOGON, b, nullptr)), warn,
         L"BuildInteractiveLogonBuffer: Invalid parameters cbLogon="},
        {BUILD(BuildInteractiveLogonBuffer(13, L"D", L"U", L"pw", &id, CPUS_LOGON, b, s)), warn,
         L"BuildInteractiveLogonBuffer: Invalid MessageType = 13"},
        {BUILD(BuildInteractiveLogonBuffer(7, L"D", L"U", L"pw", nullptr, CPUS_UNLOCK_WORKSTATION, b, s)), warn,
         L"BuildInteractiveLogonBuffer: LogonId is mandatory for unlock"},
        {BUILD(BuildInteractiveLogonBuffer(2, x, L"U", L"pw", nullptr, CPUS_LOGON, b, s)), error,
         L"BuildInteractiveLogonBuffer: Failed invalid domain name."},
        {BUILD(BuildInteractiveLogonBuffer(2, L"D", L"U", protectsTooLong.c_str(), nullptr, CPUS_LOGON, b, s)), error},
        {BUILD(BuildCspInfo(0, L"C", L"R", L"", L"P", b, s)), warn},
        {BUILD(BuildCspInfo(0, L"C", L"R", L"K", nullptr, b, s)), warn},
        {BUILD(BuildCertificateLogonBuffer(2, L"D", L"U", L"1", nullptr, 0, L"C", L"R", L"K", L"P", b, s)), warn},
        {BUILD(BuildCertificateLogonBuffer(15, L"D", L"U", L"1", nullptr, 0, L"C", L"R", L"K", L"P", b, s)), warn},
        {BUILD(BuildCertificateLogonBuffer(13, L"D", L"U", x, nullptr, 0, L"C", L"R", L"K", L"P", b, s)), error},
        {BUILD(BuildHybridLogonBuffer(nullptr, L"", L"D", L"U", L"pw", CPUS_LOGON, b, s)), warn},
        {BUILD(BuildHybridLogonBuffer(L"u", x, L"D", L"U", L"pw", CPUS_LOGON, b, s)), error},
        {BUILD(BuildHybridLogonBuffer(L"u", L"", x, L"U", L"pw", CPUS_LOGON, b, s)), error},  // the embedded logon's domain
        {BUILD(BuildHybridCertificateLogonBuffer(x, L"", nullptr, nullptr, L"1", 0, nullptr, nullptr, L"K", L"P", b, s)), error},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(&c - kCases);
        log.Clear();
        Bytes buffer(256, 0xCC);
        DWORD size = 200;
        EXPECT_EQ(c.build(buffer.data(), &size), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_TRUE(log.Contains(c.logLine ? c.logLine : L"", c.level)) << log.Dump();
        EXPECT_EQ(buffer[0] + 0x100 * buffer[200], (c.level == CORE::LOG_ERROR ? 0 : 0xCC) + 0x100 * 0xCC)
            << "the first byte zeroed only by a length check, none past the size";
    }
    // The longest counted strings (65534 bytes) still go.
    const std::wstring longest(32767, L'x');
    const PCWSTR l = longest.c_str();
    DWORD size = 0, certificateSize = 0;
    const DWORD interactive = BuildInteractiveLogonBuffer(2, l, l, L"", nullptr, CPUS_LOGON, nullptr, &size),
                certificate = BuildCertificateLogonBuffer(13, l, l, l, nullptr, 0, nullptr, nullptr, L"K", L"P", nullptr, &certificateSize);
    EXPECT_EQ(std::make_tuple(interactive, certificate, size, certificateSize),
              std::make_tuple(DWORD{ERROR_INSUFFICIENT_BUFFER}, DWORD{ERROR_INSUFFICIENT_BUFFER}, 64ul + 2 * 65534, 80ul + 3 * 65534 + 56 + 4));
}

// --- The tile's certificate logon.

struct DirectCase { CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario; PCWSTR user, domain, dnsDomain, sid, pin;
                    std::vector<std::wstring> upns; bool disableDomainHint; Layout layout; };

// 168 fixed bytes: header 80, CSP block 56 before its names, 32 trailing zero bytes.
const Layout kUnresolved = {168 + 2 * (4 + 4), {{64, 88, 8}}, {{8, 0, 0}, {24, 0, 0}, {40, 8, 80}}, {}};
const DirectCase kDirectCases[] = {
    // User and the DNS domain, then PIN, CSP block (card before reader) and 32 zero bytes.
    {CPUS_LOGON, L"alice", L"CORP", L"corp.example", L"", L"1234", {}, false,
     {168 + 2 * (12 + 5 + 4 + 4), {{0, 13, 4}, {56, 0, 4}, {60, 64, 4}, {64, 122, 8}, {72, 0, 8}, {122, 64, 4}, {126, 1, 4},
                                   {122 + 20, kKeyExchange, 4}, {146, 4, 4}, {150, 6, 4}, {154, 8, 4}, {158, 10, 4},
                                   {186, 0, 8}, {194, 0, 8}, {202, 0, 8}, {210, 0, 8}}, {{8, 24, 80}, {24, 10, 104}, {40, 8, 114}},
      {{80, L"corp.example"}, {104, L"alice"}, {114, L"1234"}, {170, std::wstring(L"C\0R\0K\0P\0", 8)}}}},
    // Unlock falls back to the NetBIOS domain and keeps the LogonId zero.
    {CPUS_UNLOCK_WORKSTATION, L"alice", L"CORP", nullptr, L"", L"1234", {}, false,
     {168 + 2 * (5 + 4 + 4 + 4), {{0, 15, 4}, {72, 0, 8}}, {}, {{80, L"CORP"}}}},
    // The domain hint switch leaves the domain out.
    {CPUS_LOGON, L"alice", L"CORP", L"corp.example", L"", L"1234", {}, true, {168 + 2 * (5 + 4 + 4), {}, {{8, 0, 0}, {24, 10, 80}}, {}}},
    // An empty PIN still gets its offset.
    {CPUS_LOGON, L"alice", L"CORP", nullptr, nullptr, nullptr, {}, false, {168 + 2 * (5 + 4 + 4), {{64, 98, 8}}, {{40, 0, 98}}, {}}},
    // Without account resolution an account it would need goes without user and domain: a UPN
    // user, or no user at all (whether a SID reaches the resolution is the resolution test's).
    {CPUS_LOGON, L"alice@corp.example", L"CORP", nullptr, L"", L"1234", {L"alice@corp.example"}, false, kUnresolved},
    {CPUS_LOGON, L"", L"CORP", nullptr, L"", L"1234", {}, false, kUnresolved},
};

TEST(KerbCertificateLogon, WritesTheDirectAndUnresolvedCases) {
    testsupport::FakePlatform os;
    for (const DirectCase& c : kDirectCases) {
        SCOPED_TRACE(&c - kDirectCases);
        testsupport::RegistrySandbox registry;
        if (c.disableDomainHint) registry.SetAgentConfig(L"DisableSmartcardDomainHint", L"true");
        BYTE* raw = nullptr;
        DWORD size = 0;
        ASSERT_EQ(BuildKerbCertificateLogon({c.scenario, c.dnsDomain, c.domain, c.user, c.sid, c.upns, L"R", L"C", L"K",
                                             L"P", c.pin, kKeyExchange, false}, &raw, &size), S_OK);
        ExpectLayout(Take(raw, size), c.layout);
    }
}

// The held buffer carries the last logon's PIN: it is wiped before it goes back to the heap.
TEST(KerbCertificateLogon, ReplacesTheBufferTheCallerHeldAndLeavesItOnFailure) {
    testsupport::FakePlatform os;
    testsupport::RegistrySandbox registry;
    testsupport::CoTaskFreeWatch watch(L"OLDPIN-7531");
    ASSERT_TRUE(watch.Registered());
    for (const std::wstring& pin : {std::wstring(L"1"), std::wstring(32768, L'1')}) {
        BYTE* const held = static_cast<BYTE*>(::CoTaskMemAlloc(32));
        std::memcpy(held, L"OLDPIN-7531", 24);
        BYTE* buffer = held;
        DWORD size = 32;
        HRESULT hr = BuildKerbCertificateLogon({CPUS_LOGON, nullptr, L"CORP", L"alice", nullptr, {}, nullptr, nullptr,
                                                L"K", L"P", pin.c_str(), 0, false}, &buffer, &size);
        if (pin.size() == 1)
            EXPECT_EQ(std::make_tuple(hr, buffer != held, size), std::make_tuple(S_OK, true, 168ul + 2 * (5 + 1 + 4 + 1 + 1)));
        else
            EXPECT_EQ(std::make_tuple(hr, buffer, size), std::make_tuple(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), held, 32ul));
        EXPECT_EQ(watch.ReadableFrees(), 0);
        if (buffer == held) ::SecureZeroMemory(held, 32);
        ::CoTaskMemFree(buffer);
    }
}

}  // namespace
