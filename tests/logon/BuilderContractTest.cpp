// The contract every caller-buffer builder shares: the size query (no buffer, one byte short,
// exact, larger), validation before writing with the logged reason, and length limits.
#include "logon/CertificateLogon.h"
#include "logon/CspInfo.h"
#include "logon/HybridLogon.h"
#include "logon/InteractiveLogon.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using Build = std::function<DWORD(BYTE*, DWORD*)>;
const LUID kLogonId = {7, 0};

struct BuilderCase {
    const char* name;
    Build build;
};

std::vector<BuilderCase> AllBuilders() {
    return {
        {"interactive", [](BYTE* b, DWORD* s) {
             return BuildInteractiveLogonBuffer(7, L"CORP", L"alice", L"pw", &kLogonId, CPUS_UNLOCK_WORKSTATION, b, s);
         }},
        {"csp", [](BYTE* b, DWORD* s) { return BuildCspInfo(1, L"Card", L"Reader", L"K", L"P", b, s); }},
        {"certificate", [](BYTE* b, DWORD* s) {
             return BuildCertificateLogonBuffer(13, L"D", L"U", L"1234", nullptr, 1, L"C", L"R", L"K", L"P", b, s);
         }},
        {"hybrid", [](BYTE* b, DWORD* s) {
             return BuildHybridLogonBuffer(L"local", L"localpw", L"D", L"U", L"pw", CPUS_LOGON, b, s);
         }},
        {"hybrid certificate", [](BYTE* b, DWORD* s) {
             return BuildHybridCertificateLogonBuffer(L"local", L"localpw", nullptr, nullptr, L"1234", 0, nullptr,
                                                      nullptr, L"K", L"P", b, s);
         }},
    };
}

class BuilderContract : public testing::Test {
protected:
    testsupport::FakePlatform os;
    testsupport::LogCapture log;
};

TEST_F(BuilderContract, SizeQueryStoresTheExactSizeAndNeverWritesPastWhatTheCallerOwns) {
    for (const auto& c : AllBuilders()) {
        SCOPED_TRACE(c.name);
        DWORD needed = 12345;
        ASSERT_EQ(c.build(nullptr, &needed), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        ASSERT_GT(needed, 0u);

        // One byte short: 122 with the exact size, the owned part zeroed, the guard byte intact.
        std::vector<BYTE> shortBuffer(needed, 0xCC);
        DWORD size = needed - 1;
        EXPECT_EQ(c.build(shortBuffer.data(), &size), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(size, needed);
        for (DWORD i = 0; i + 1 < needed; ++i) ASSERT_EQ(shortBuffer[i], 0) << "byte " << i;
        EXPECT_EQ(shortBuffer[needed - 1], 0xCC);

        // Exact and larger: success, the size used, the rest of a larger buffer zero.
        std::vector<BYTE> exact(needed, 0xCC);
        size = needed;
        EXPECT_EQ(c.build(exact.data(), &size), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(size, needed);
        std::vector<BYTE> larger(needed + 16, 0xCC);
        size = needed + 16;
        EXPECT_EQ(c.build(larger.data(), &size), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(size, needed);
        EXPECT_TRUE(std::equal(exact.begin(), exact.end(), larger.begin()));
        for (size_t i = needed; i < larger.size(); ++i) ASSERT_EQ(larger[i], 0) << "byte " << i;
    }
}

struct RefusalCase {
    const char* name;
    Build build;
    const wchar_t* logLine;
    int level;
    bool zeroesBuffer;  // refused after the caller's buffer was zeroed
};

TEST_F(BuilderContract, RefusesBadParametersWith87AndTheReasonLogged) {
    const std::wstring tooLong(32768, L'x');  // 65536 bytes: one character past a counted string
    const std::wstring longest(32767, L'x');
    const RefusalCase cases[] = {
        {"interactive without size", [](BYTE* b, DWORD*) {
             return BuildInteractiveLogonBuffer(2, L"D", L"U", L"pw", nullptr, CPUS_LOGON, b, nullptr);
         }, L"BuildInteractiveLogonBuffer: Invalid parameters cbLogon=", CORE::LOG_WARN, false},
        {"interactive message type", [](BYTE* b, DWORD* s) {
             return BuildInteractiveLogonBuffer(13, L"D", L"U", L"pw", &kLogonId, CPUS_LOGON, b, s);
         }, L"BuildInteractiveLogonBuffer: Invalid MessageType = 13", CORE::LOG_WARN, false},
        {"interactive unlock without LogonId", [](BYTE* b, DWORD* s) {
             return BuildInteractiveLogonBuffer(7, L"D", L"U", L"pw", nullptr, CPUS_UNLOCK_WORKSTATION, b, s);
         }, L"BuildInteractiveLogonBuffer: LogonId is mandatory for unlock", CORE::LOG_WARN, false},
        {"interactive domain", [&](BYTE* b, DWORD* s) {
             return BuildInteractiveLogonBuffer(2, tooLong.c_str(), L"U", L"pw", nullptr, CPUS_LOGON, b, s);
         }, L"BuildInteractiveLogonBuffer: Failed invalid domain name.", CORE::LOG_ERROR, true},
        {"interactive protected password", [&](BYTE* b, DWORD* s) {
             // 24000 characters protect to 64007: fine before, too long after protection.
             return BuildInteractiveLogonBuffer(2, L"D", L"U", longest.substr(0, 24000).c_str(), nullptr, CPUS_LOGON,
                                                b, s);
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
             return BuildCertificateLogonBuffer(13, L"D", L"U", tooLong.c_str(), nullptr, 0, L"C", L"R", L"K", L"P", b,
                                                s);
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        std::vector<BYTE> buffer(256, 0xCC);
        DWORD size = 200;
        EXPECT_EQ(c.build(buffer.data(), &size), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_TRUE(log.Contains(c.logLine, c.level)) << log.Dump();
        EXPECT_EQ(buffer[0], c.zeroesBuffer ? 0 : 0xCC);
        EXPECT_EQ(buffer[200], 0xCC);
    }
}

TEST_F(BuilderContract, AcceptsTheLongestCountedStrings) {
    const std::wstring longest(32767, L'x');  // 65534 bytes
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
