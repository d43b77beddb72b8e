// Robustness of the payload parsers: thousands of mutated tags and payloads from fixed seeds.
// Nothing may crash or read out of bounds (the containers check their indexes in test builds),
// failures must be clean (one reason logged, empty secret), and what is accepted must be
// well-formed.
#include "DecryptSupport.h"

#include "lib/mfw/common/bag/PropertyBag.h"
#include "sso/Key.h"
#include "sso/SecurityManager.h"

#include "support/Mutator.h"

#include <gtest/gtest.h>

namespace {

using secmgrtest::DecryptFixture;

// Fixed payloads, so every run mutates the same bytes (openssl vectors, see DecryptTest.cpp;
// the unnamed one protects 11 22 11 22 00 "7391" with salt 0102030405060708).
const wchar_t* const kSeeds[] = {
    L"{SSO-AES:1}obLD1OX2BxhUap2tzq8DrfWbcqoWilshd+O/5+aRaspTAHO6iV44/A==",
    L"{SSO-SMSS:1}ARDw4dLDtKWWh3hpWks8LR4P1AwkEF2lS5PAn7bAqjbCfA==",
    L"{#-AES:1}AQIDBAUGBwi7NtEceEW7Pry4bTZdBY2/",
};
const wchar_t* const kSecrets[] = {L"Pa$$w0rd-\u00dcn\u00efc\u00f8d\u00e9", L"482913", L"7391"};

TEST(PayloadTagFuzz, MutatedTagsParseCleanlyAndAcceptedOnesRoundTrip) {
    const std::string seeds[] = {"{SSO-AES:1}", "{vault##SSO-SMSS:1}", "{\"a-b\"-ASKS=42:3}", "{#-AES:0}",
                                 "{'x\"y'-AES:7}"};
    testsupport::Mutator mutator(0x7A65ED01);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        const std::string& seed = seeds[round % std::size(seeds)];
        std::vector<char> bytes = mutator.Mutate(std::vector<char>(seed.begin(), seed.end()));
        std::string tag(bytes.begin(), bytes.end());
        size_t brace = 0;
        if (FindPayloadTag(tag, &brace)) {
            ASSERT_LT(brace, tag.size());
            ASSERT_EQ(tag[brace], '}');
        }
        Key key;
        if (!key.parseTag(tag)) {
            ASSERT_TRUE(key.name.empty() && key.scheme.empty() && key.baseName.empty()) << tag;
            continue;
        }
        ++accepted;
        ASSERT_TRUE(key.components == 3 || key.components == 4) << tag;
        Key again;
        std::string canonical = key.createTag();
        ASSERT_TRUE(again.parseTag(canonical)) << tag << " -> " << canonical;
        ASSERT_EQ(again.name, key.name) << tag << " -> " << canonical;
        ASSERT_EQ(again.baseName, key.baseName) << tag << " -> " << canonical;
        ASSERT_EQ(again.scheme, key.scheme) << tag << " -> " << canonical;
        ASSERT_EQ(again.number, key.number) << tag << " -> " << canonical;
        ASSERT_EQ(again.version, key.version) << tag << " -> " << canonical;
    }
    EXPECT_GT(accepted, 1000) << "the mutations should keep many tags valid";
}

class PayloadFuzz : public DecryptFixture {
protected:
    void SetUp() override {
        DecryptFixture::SetUp();
        ImportKey(L"SECURITYMGRSSO", secmgrtest::kVectorKey);
        ImportKey(L"SECURITYMGRSESS", secmgrtest::kVectorKey);
        ImportKey(L"SSO", secmgrtest::kVectorKey);
    }

    // An accepted payload must carry one of the two layouts: independent of the schemes' code,
    // it catches a scheme that deciphers data it should have refused.
    static bool WellFormed(const std::wstring& payload) {
        size_t hyphen = payload.find(L'-', 1);
        size_t brace = payload.find(L'}', hyphen + 1);
        std::vector<BYTE> data;
        if (!CORE::Base64Decode(payload.data() + brace + 1, payload.size() - brace - 1, &data)) return false;
        bool aes = data.size() >= 24 && (data.size() - 8) % 16 == 0;
        bool smss = data.size() >= 34 && data[0] <= 1 && data[1] == 16 && (data.size() - 18) % 16 == 0;
        return aes || smss;
    }

    // One mutated payload through the module's entry point; counts what happened.
    void Check(const std::wstring& payload, size_t seed) {
        log.Clear();
        CORE::SecureWString result = DecryptProtectedPayload(payload);
        CORE::FlushLog();
        size_t failures = log.Count(L"SecurityManager::DecryptEx FAILED: ", CORE::LOG_ERROR);
        ASSERT_LE(failures, 1u);
        if (!IsProtectedPayload(payload)) {
            ASSERT_EQ(result.view(), payload);
            ++passedThrough;
        } else if (failures) {
            ASSERT_TRUE(result.empty());
            ++rejected;
        } else {
            ASSERT_TRUE(WellFormed(payload)) << Narrow(payload);
            if (result.view() == kSecrets[seed]) ++intact; else ++garbled;
        }
    }

    int passedThrough = 0, rejected = 0, intact = 0, garbled = 0;
};

TEST_F(PayloadFuzz, MutatedPayloadsAreRejectedCleanly) {
    // Half the rounds mutate the text; the other half mutate the decoded bytes and encode them
    // again, which reaches the schemes' length and version checks and the key vault far more
    // often than mutated Base64 does.
    testsupport::Mutator mutator(0x5EC0DE01);
    for (int round = 0; round < 4800; ++round) {
        size_t seed = static_cast<size_t>(round) % std::size(kSeeds);
        std::wstring text = kSeeds[seed];
        if (round % 2 == 0) {
            std::vector<wchar_t> chars = mutator.Mutate(std::vector<wchar_t>(text.begin(), text.end()));
            ASSERT_NO_FATAL_FAILURE(Check(std::wstring(chars.begin(), chars.end()), seed));
            continue;
        }
        size_t brace = text.find(L'}');
        std::vector<BYTE> layout;
        ASSERT_TRUE(CORE::Base64Decode(text.data() + brace + 1, text.size() - brace - 1, &layout));
        std::vector<BYTE> mutated = mutator.Mutate(layout);
        ASSERT_NO_FATAL_FAILURE(
            Check(text.substr(0, brace + 1) + CORE::Base64Encode(mutated.data(), mutated.size()), seed));
    }
    EXPECT_GT(rejected, 3000);
    EXPECT_GT(passedThrough, 10);
    // CBC carries no integrity check: a damaged early block could decipher to other text.
    RecordProperty("garbled", garbled);
    RecordProperty("intact", intact);
}

}  // namespace
