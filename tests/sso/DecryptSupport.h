// What the decryption tests share: a private HKLM, the log, instant pauses between key vault
// attempts (counted), fixed master keys and small payload builders.
#pragma once
#include "lib/keyvault/KeyVault.h"
#include "sso/UtilSM.h"

#include "support/LogCapture.h"
#include "keyvault/VaultSandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <initializer_list>

namespace secmgrtest {

// The master key of the openssl vectors.
inline const BYTE kVectorKey[32] = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae,
                                    0xf0, 0x85, 0x7d, 0x77, 0x81, 0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61,
                                    0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
inline const BYTE kOtherKey[32] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb,
                                   0xcc, 0xdd, 0xee, 0xff, 0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60,
                                   0x70, 0x80, 0x90, 0xa0, 0xb0, 0xc0, 0xd0, 0xe0, 0xf0, 0x01};

inline std::atomic<int> g_sleeps{0};
inline std::atomic<DWORD> g_sleptMs{0};

class DecryptFixture : public testing::Test {
protected:
    void SetUp() override {
        g_sleeps = 0;
        g_sleptMs = 0;
        hooks_.sleep = [](DWORD ms) {
            ++g_sleeps;
            g_sleptMs += ms;
        };
        UtilSM::SetHooksForTest(&hooks_);
    }
    void TearDown() override { UtilSM::SetHooksForTest(nullptr); }

    static void ImportKey(const wchar_t* name, const BYTE (&key)[32]) {
        ASSERT_TRUE(keyvault::ImportMasterKey(name, key, sizeof(key)).ok());
    }
    static std::string Narrow(const std::wstring& text) {
        std::string out;
        for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        return out;
    }
    // Base64 of `header` followed by zero bytes up to `total` bytes.
    static std::wstring Base64Header(std::initializer_list<BYTE> header, size_t total) {
        std::vector<BYTE> bytes(header);
        bytes.resize(total, 0);
        return CORE::Base64Encode(bytes.data(), bytes.size());
    }
    static std::wstring Base64(size_t total, BYTE first = 0) { return Base64Header({first}, total); }

    vaulttest::VaultSandbox registry;
    testsupport::LogCapture log;
    UtilSM::Hooks hooks_;
};

}  // namespace secmgrtest
