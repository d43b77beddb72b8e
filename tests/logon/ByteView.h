// Test-side reading of built buffers at literal offsets, written apart from the builders so a
// layout slip in them cannot hide in a shared helper.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
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
inline uint32_t U16(const Bytes& b, size_t offset) { return static_cast<uint32_t>(Le(b, offset, 2)); }
inline uint32_t U32(const Bytes& b, size_t offset) { return static_cast<uint32_t>(Le(b, offset, 4)); }
inline uint64_t U64(const Bytes& b, size_t offset) { return Le(b, offset, 8); }

// `bytes` bytes of UTF-16LE at `offset`.
inline std::wstring Text(const Bytes& b, size_t offset, size_t bytes) {
    std::wstring text;
    for (size_t i = 0; i < bytes; i += 2) text.push_back(static_cast<wchar_t>(U16(b, offset + i)));
    return text;
}

// The UTF-16LE bytes of a text, optionally with its terminator.
inline Bytes Utf16(const std::wstring& text, bool terminator = false) {
    Bytes out;
    for (wchar_t c : text) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>((c >> 8) & 0xFF));
    }
    if (terminator) out.insert(out.end(), {0, 0});
    return out;
}

inline Bytes Slice(const Bytes& b, size_t offset, size_t count) {
    return Bytes(b.begin() + static_cast<ptrdiff_t>(offset), b.begin() + static_cast<ptrdiff_t>(offset + count));
}

// A counted string header at `field`: Length, MaximumLength, padding, offset.
struct Counted {
    uint32_t length;
    uint32_t maximum;
    uint32_t padding;
    uint64_t offset;
    bool operator==(const Counted&) const = default;
};
inline void PrintTo(const Counted& c, std::ostream* os) {
    *os << "{Length " << c.length << ", MaximumLength " << c.maximum << ", pad " << c.padding << ", Buffer "
        << c.offset << "}";
}
inline Counted CountedAt(const Bytes& b, size_t field) {
    return Counted{U16(b, field), U16(b, field + 2), U32(b, field + 4), U64(b, field + 8)};
}

// Expected fields of a buffer: little-endian words, counted string headers (Length equal to
// MaximumLength, no padding) and UTF-16 texts, each at its literal offset.
struct Word {
    size_t at;
    uint64_t value;
    size_t width;
};
struct Str {
    size_t at;
    uint32_t length;
    uint64_t offset;
};
struct TextAt {
    size_t at;
    std::wstring text;
};
struct Layout {
    size_t size;
    std::vector<Word> words;
    std::vector<Str> strings;
    std::vector<TextAt> texts;
};
inline void ExpectLayout(const Bytes& b, const Layout& l) {
    ASSERT_EQ(b.size(), l.size);
    for (const Word& w : l.words) EXPECT_EQ(Le(b, w.at, w.width), w.value) << "at " << w.at;
    for (const Str& s : l.strings) EXPECT_EQ(CountedAt(b, s.at), (Counted{s.length, s.length, 0, s.offset})) << s.at;
    for (const TextAt& t : l.texts) EXPECT_EQ(Text(b, t.at, 2 * t.text.size()), t.text) << "at " << t.at;
}

}  // namespace logontest
