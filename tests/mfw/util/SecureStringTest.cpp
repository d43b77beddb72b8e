#include "lib/mfw/common/util/SecureString.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using CORE::SecureWString;

bool Contains(const void* memory, size_t bytes, const wchar_t* text) {
    const size_t textBytes = wcslen(text) * sizeof(wchar_t);
    const BYTE* p = static_cast<const BYTE*>(memory);
    for (size_t i = 0; i + textBytes <= bytes; ++i)
        if (std::memcmp(p + i, text, textBytes) == 0) return true;
    return false;
}

TEST(SecureWString, WipeClearsTheInlineBuffer) {
    SecureWString pin(std::wstring_view(L"1234"));
    const wchar_t* storage = pin.c_str();  // inline: lives inside the object
    pin.Wipe();
    EXPECT_TRUE(pin.empty());
    EXPECT_FALSE(Contains(storage, 8 * sizeof(wchar_t), L"1234"));
}

TEST(SecureWString, GrowingOutOfTheInlineBufferLeavesNoCopyBehind) {
    SecureWString secret(std::wstring_view(L"abcd"));
    const BYTE* object = reinterpret_cast<const BYTE*>(&secret);
    secret.append(L"efghijklmnopqrstuvwxyz");
    EXPECT_TRUE(secret == L"abcdefghijklmnopqrstuvwxyz");
    EXPECT_FALSE(Contains(object, sizeof(secret), L"abcd"));
}

TEST(SecureWString, MovingWipesTheSource) {
    SecureWString source(std::wstring_view(L"9876"));
    const BYTE* object = reinterpret_cast<const BYTE*>(&source);
    SecureWString target(std::move(source));
    EXPECT_TRUE(target == L"9876");
    EXPECT_FALSE(Contains(object, sizeof(source), L"9876"));
    SecureWString assigned;
    assigned = std::move(target);
    EXPECT_TRUE(assigned == L"9876");
    EXPECT_TRUE(target.empty());
}

}  // namespace
