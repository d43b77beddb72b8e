// The simulation's stand-in for CredProtectW output: "@@TCSIM" followed by the standard Base64
// of the text's UTF-16LE bytes. Reversible on purpose, so logonsim can check the secret it got.
#pragma once
#include <cstddef>
#include <cstdint>

namespace platform::sim {

inline constexpr wchar_t kSimProtectPrefix[] = L"@@TCSIM";
inline constexpr size_t kSimProtectPrefixLength = sizeof(kSimProtectPrefix) / sizeof(wchar_t) - 1;

namespace detail {
inline constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

inline int Base64Value(wchar_t c) noexcept {
    if (c >= L'A' && c <= L'Z') return c - L'A';
    if (c >= L'a' && c <= L'z') return c - L'a' + 26;
    if (c >= L'0' && c <= L'9') return c - L'0' + 52;
    if (c == L'+') return 62;
    if (c == L'/') return 63;
    return -1;
}
}  // namespace detail

// Characters of the protected form of a text of `chars` characters (no terminator); 0 when
// that would not fit in a size_t.
inline size_t SimProtectedLength(size_t chars) noexcept {
    if (chars > (SIZE_MAX - kSimProtectPrefixLength) / 4 / 2) return 0;
    size_t bytes = chars * 2;
    return kSimProtectPrefixLength + (bytes + 2) / 3 * 4;
}

// Writes the protected form (SimProtectedLength(chars) characters, no terminator) to out.
inline void SimProtect(const wchar_t* text, size_t chars, wchar_t* out) noexcept {
    for (size_t i = 0; i < kSimProtectPrefixLength; ++i) *out++ = kSimProtectPrefix[i];
    const size_t bytes = chars * 2;
    auto byteAt = [text](size_t i) -> uint32_t {
        uint16_t c = static_cast<uint16_t>(text[i / 2]);
        return (i % 2 == 0) ? (c & 0xFFu) : (c >> 8);
    };
    for (size_t i = 0; i < bytes; i += 3) {
        size_t left = bytes - i;
        uint32_t group = byteAt(i) << 16;
        if (left > 1) group |= byteAt(i + 1) << 8;
        if (left > 2) group |= byteAt(i + 2);
        *out++ = static_cast<wchar_t>(detail::kBase64Alphabet[(group >> 18) & 63]);
        *out++ = static_cast<wchar_t>(detail::kBase64Alphabet[(group >> 12) & 63]);
        *out++ = left > 1 ? static_cast<wchar_t>(detail::kBase64Alphabet[(group >> 6) & 63]) : L'=';
        *out++ = left > 2 ? static_cast<wchar_t>(detail::kBase64Alphabet[group & 63]) : L'=';
    }
}

inline bool HasSimProtectPrefix(const wchar_t* text, size_t chars) noexcept {
    if (!text || chars < kSimProtectPrefixLength) return false;
    for (size_t i = 0; i < kSimProtectPrefixLength; ++i)
        if (text[i] != kSimProtectPrefix[i]) return false;
    return true;
}

// Recovers the text from its protected form. False (and nothing trustworthy in out) when the
// input is not exactly what SimProtect writes or the text needs more than `capacity` characters.
inline bool SimUnprotect(const wchar_t* text, size_t chars, wchar_t* out, size_t capacity, size_t* outChars) noexcept {
    if (!HasSimProtectPrefix(text, chars) || !outChars) return false;
    const wchar_t* data = text + kSimProtectPrefixLength;
    const size_t dataChars = chars - kSimProtectPrefixLength;
    if (dataChars % 4 != 0) return false;
    size_t written = 0;
    bool haveLow = false;
    uint16_t low = 0;
    for (size_t i = 0; i < dataChars; i += 4) {
        const bool last = i + 4 == dataChars;
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            wchar_t c = data[i + k];
            if (c == L'=' && last && k >= 2) {
                v[k] = 0;
                ++padding;
                continue;
            }
            if (padding > 0) return false;  // a digit after padding
            v[k] = detail::Base64Value(c);
            if (v[k] < 0) return false;
        }
        uint32_t group = (static_cast<uint32_t>(v[0]) << 18) | (static_cast<uint32_t>(v[1]) << 12) |
                         (static_cast<uint32_t>(v[2]) << 6) | static_cast<uint32_t>(v[3]);
        // Bits below the last byte must be zero: one text has exactly one protected form.
        if ((padding == 1 && (group & 0xFF) != 0) || (padding == 2 && (group & 0xFFFF) != 0)) return false;
        const int count = 3 - padding;
        for (int k = 0; k < count; ++k) {
            uint16_t byte = static_cast<uint16_t>((group >> (16 - 8 * k)) & 0xFF);
            if (!haveLow) {
                low = byte;
                haveLow = true;
                continue;
            }
            if (written >= capacity) return false;
            out[written++] = static_cast<wchar_t>(low | (byte << 8));
            haveLow = false;
        }
    }
    if (haveLow) return false;  // an odd number of bytes is no UTF-16 text
    *outChars = written;
    return true;
}

}  // namespace platform::sim
