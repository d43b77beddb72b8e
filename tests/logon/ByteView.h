// Test-side reading of built buffers at literal offsets, written apart from the builders so a
// layout slip in them cannot hide in a shared helper.
#pragma once
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace logontest {

using Bytes = std::vector<BYTE>;

// Key kinds (wincrypt.h's AT_KEYEXCHANGE and AT_SIGNATURE).
inline constexpr DWORD kKeyExchange = 1;
inline constexpr DWORD kSignature = 2;

inline uint64_t Le(const Bytes& b, size_t offset, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(b.at(offset + i)) << (8 * i);
    return value;
}
inline uint32_t U32(const Bytes& b, size_t offset) { return static_cast<uint32_t>(Le(b, offset, 4)); }
inline uint64_t U64(const Bytes& b, size_t offset) { return Le(b, offset, 8); }

// `bytes` bytes of UTF-16LE at `offset`.
inline std::wstring Text(const Bytes& b, size_t offset, size_t bytes) {
    std::wstring text;
    for (size_t i = 0; i < bytes; i += 2) text.push_back(static_cast<wchar_t>(Le(b, offset + i, 2)));
    return text;
}

// The text a counted string header at `field` (Length, MaximumLength, padding, offset) points to.
inline std::wstring CountedText(const Bytes& b, size_t field) { return Text(b, Le(b, field + 8, 8), Le(b, field, 2)); }

// A buffer the builder allocated with CoTaskMemAlloc, copied and freed.
inline Bytes Take(BYTE* raw, DWORD size) {
    Bytes b(raw, raw + size);
    ::CoTaskMemFree(raw);
    return b;
}

// Expected fields of a buffer: little-endian words, counted string headers (Length equal to
// MaximumLength, no padding) and UTF-16 texts, each at its literal offset.
struct Word { size_t at; uint64_t value; size_t width; };
struct Str { size_t at; uint64_t length, offset; };
struct TextAt { size_t at; std::wstring text; };
struct Layout { size_t size; std::vector<Word> words; std::vector<Str> strings; std::vector<TextAt> texts; };
inline void ExpectLayout(const Bytes& b, const Layout& l) {
    ASSERT_EQ(b.size(), l.size);
    for (const Word& w : l.words) EXPECT_EQ(Le(b, w.at, w.width), w.value) << "at " << w.at;
    for (const Str& s : l.strings)
        EXPECT_EQ(std::make_tuple(Le(b, s.at, 2), Le(b, s.at + 2, 2), Le(b, s.at + 4, 4), Le(b, s.at + 8, 8)),
                  std::make_tuple(s.length, s.length, uint64_t{0}, s.offset)) << "string header at " << s.at;
    for (const TextAt& t : l.texts) EXPECT_EQ(Text(b, t.at, 2 * t.text.size()), t.text) << "at " << t.at;
}

}  // namespace logontest
