// The payload tag: where it is found, how it splits and which key vault name it stands for
// (mutated tags: the fuzz driver's payload target).
#include "sso/Key.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

auto Fields(const Key& k) { return std::make_tuple(k.name, k.baseName, k.scheme, k.number, k.version); }

TEST(PayloadTag, IsFoundOnlyInTheProtectedForm) {
    const size_t kNone = std::string::npos;  // not protected; the brace must follow the hyphen
    const struct { const char* text; size_t brace; } kCases[] = {
        {"{SSO-AES:1}QUJD", 10}, {"{a}-b}", 5}, {"{-}", 2}, {"{SSO-AES:1", kNone}, {"SSO-AES:1}", kNone},
        {" {SSO-AES:1}", kNone}, {"{SSO}", kNone}, {"{", kNone}, {"", kNone}};
    for (const auto& c : kCases) {
        size_t brace = std::string::npos;
        EXPECT_TRUE(FindPayloadTag(c.text, &brace) == (c.brace != std::string::npos) && brace == c.brace) << c.text;
    }
}

const struct { const char* tag; int components; bool valid; const char *name, *baseName, *scheme; uint64_t number;
               uint32_t version; } kTags[] = {
    {"{SSO-AES:0", 3, true, "SSO", "", "AES", 0, 0}, {"{SSO-AES:1}", 3, true, "SSO", "", "AES", 0, 1},
    {"{#-AES:1", 3, true, "", "", "AES", 0, 1},
    {"{vault##SSO-SMSS:1", 3, true, "SSO", "vault", "SMSS", 0, 1},
    {"{vault###-AES:2", 3, true, "", "vault", "AES", 0, 2}, {"{a##b##c-AES:1", 3, true, "b##c", "a", "AES", 0, 1},
    {"{user-ASKS=18446744073709551615:4294967295", 4, true, "user", "", "ASKS", UINT64_MAX, UINT32_MAX},
    {"{\"pin-key\"-AES:1", 3, true, "pin-key", "", "AES", 0, 1},
    {"{'say \"hi\"'-AES:1", 3, true, "say \"hi\"", "", "AES", 0, 1},
    {"{\"a\"'b'c-AES:1", 3, true, "abc", "", "AES", 0, 1},        // quoted pieces join
    {"{\"\"-AES:1", 3, true, "", "", "AES", 0, 1},                // a quoted empty name still counts
    {"{SSO--AES::1", 3, true, "SSO", "", "AES", 0, 1},            // empty pieces are skipped
    {"{SSO:AES=1", 3, true, "SSO", "", "AES", 0, 1},              // every separator splits alike
    {"{SSO-AES", 2, false, "", "", "", 0, 0}, {"{a-b-c-d-e", 5, false, "", "", "", 0, 0},
    {"{\"SSO-AES:1", 1, false, "", "", "", 0, 0},                 // an open quote runs to the end
    {"{SSO-AES:x", 3, false, "", "", "", 0, 0},
    {"{SSO-AES:-1", 3, true, "SSO", "", "AES", 0, 1},             // '-' is a separator, not a sign
    {"{SSO-AES:4294967296", 3, false, "", "", "", 0, 0},          // version is 32 bits
    {"{u-ASKS=18446744073709551616:1", 4, false, "", "", "", 0, 0},
    {"{u-ASKS= 1:1", 4, false, "", "", "", 0, 0},
};

TEST(PayloadTag, SplitsIntoThreeOrFourComponents) {
    for (const auto& c : kTags) {
        Key key;
        const bool valid = key.parseTag(c.tag);
        EXPECT_EQ(std::tuple_cat(std::make_tuple(valid, key.components), Fields(key)),
                  std::make_tuple(c.valid, c.components, std::string(c.name), std::string(c.baseName),
                                  std::string(c.scheme), c.number, c.version)) << c.tag;
    }
}

TEST(PayloadTag, KeyspecPerSchemeAndName) {
    // The names the openssl vectors use (SSO, SMSS SSO, the key without a name) are proven by
    // the decryption tests.
    const struct { const char* tag; const char* keyspec; } kCases[] = {  // names are exact
        {"{sso-AES:0", "sso"}, {"{base##Custom-AES:1", "Custom"}, {"{SSO-LSEK:1", "local storage cipher key"},
        {"{vault##SSO-SMSS:1", "vault##SSO"}, {"{#-AES:1", "SECURITYMGRSESS"}};
    for (const auto& c : kCases) {
        Key key;
        EXPECT_TRUE(key.parseTag(c.tag) && key.createKeyspec() == c.keyspec) << c.tag;
    }
}

}  // namespace
