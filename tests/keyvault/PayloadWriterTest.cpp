// The payload writer: tags it can and cannot write, the byte layouts behind the Base64, and
// the master keys it creates.
#include "lib/keyvault/PayloadWriter.h"

#include "VaultSandbox.h"

#include <gtest/gtest.h>

using namespace keyvault;

namespace {

std::vector<BYTE> DataOf(const std::wstring& payload) {
    std::vector<BYTE> bytes;
    size_t close = payload.find(L'}');
    EXPECT_NE(close, std::wstring::npos);
    EXPECT_TRUE(CORE::Base64Decode(payload.data() + close + 1, payload.size() - close - 1, &bytes));
    return bytes;
}

TEST(PayloadWriter, WritesTagsTheGrammarReadsBackAndRefusesTheRest) {
    const struct {
        const wchar_t* name;
        const wchar_t* scheme;
        const wchar_t* tag;
    } kCases[] = {
        {L"SSO", L"AES", L"{SSO-AES:1}"},
        {L"", L"AES", L"{#-AES:1}"},
        {L"SSO", L"SMSS", L"{SSO-SMSS:1}"},
        {L"pin-key", L"AES", L"{\"pin-key\"-AES:1}"},
        {L"say \"hi\":", L"AES", L"{'say \"hi\":'-AES:1}"},
        {L"#", L"AES", L""},      // would read as the key without a name
        {L"a##b", L"AES", L""},   // would read as base name and key name
        {L"a}b", L"AES", L""},    // would end the tag early
        {L"'\"-", L"AES", L""},   // needs both kinds of quotes
    };
    for (const auto& c : kCases) EXPECT_EQ(WriteTag(c.name, c.scheme), c.tag) << c.tag;
}

TEST(PayloadWriter, LayoutsAndMasterKeysPerScheme) {
    vaulttest::VaultSandbox registry;
    const std::wstring text = L"correct horse";  // 13 bytes, +5 prefix = 18 -> two blocks

    std::wstring aes = BuildProtectedPayload(text);
    ASSERT_EQ(aes.rfind(L"{SSO-AES:1}", 0), 0u) << aes.c_str();
    EXPECT_EQ(DataOf(aes).size(), 8u + 32u);
    EXPECT_TRUE(CheckMasterKey(L"SECURITYMGRSSO").ok());

    std::wstring unnamed = BuildProtectedPayload(text, L"");
    ASSERT_EQ(unnamed.rfind(L"{#-AES:1}", 0), 0u);
    EXPECT_TRUE(CheckMasterKey(L"SECURITYMGRSESS").ok());

    std::wstring smss = BuildProtectedPayload(text, L"PinKey", L"SMSS");
    ASSERT_EQ(smss.rfind(L"{PinKey-SMSS:1}", 0), 0u);
    std::vector<BYTE> layout = DataOf(smss);
    ASSERT_EQ(layout.size(), 2u + 16u + 16u);  // no prefix under SMSS: 13 bytes -> one block
    EXPECT_EQ(layout[0], 1);
    EXPECT_EQ(layout[1], 16);
    EXPECT_TRUE(CheckMasterKey(L"PinKey").ok());

    // Fresh salt each time: the same text never gives the same payload.
    EXPECT_NE(BuildProtectedPayload(text), aes);
}

TEST(PayloadWriter, RefusesWhatItCannotWriteFaithfully) {
    vaulttest::VaultSandbox registry;
    const struct {
        std::wstring text, name, scheme;
    } kCases[] = {
        {L"", L"", L"AES"},            // the key without a name needs a prefix, and a bare one reads as text
        {L"x", L"SSO", L"ASKS"},       // not a scheme this vault writes
        {L"x", L"", L"SMSS"},          // SMSS keys have names
        {L"x\xD800y", L"SSO", L"AES"}, // not valid UTF-16
    };
    for (const auto& c : kCases) {
        std::wstring error;
        EXPECT_TRUE(BuildProtectedPayload(c.text, c.name, c.scheme, &error).empty());
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(BuildProtectedPayload(L"", L"SSO").empty()) << "an empty text under a named key is fine";
}

}  // namespace
