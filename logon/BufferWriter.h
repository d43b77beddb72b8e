// The two tools every logon buffer builder uses instead of casting structures onto bytes:
// overflow-checked size sums and bounds-checked little-endian writes at fixed offsets.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cwchar>

namespace logon {

// A UNICODE_STRING's Length is 16 bits: the longest text a counted string can carry.
inline constexpr size_t kMaxCountedStringChars = 0xFFFF / sizeof(wchar_t);

// Characters of a text, walking at most one past `limit`, so an endless text is refused without
// being read to its end. Null counts as empty.
inline size_t BoundedLength(const wchar_t* text, size_t limit) noexcept {
    return text ? wcsnlen(text, limit + 1) : 0;
}

// A sum of byte counts that remembers an overflow instead of wrapping around.
class SizeSum {
public:
    explicit SizeSum(size_t start = 0) noexcept : total_(start) {}
    SizeSum& Add(size_t bytes) noexcept {
        if (bytes > SIZE_MAX - total_)
            overflow_ = true;
        else
            total_ += bytes;
        return *this;
    }
    SizeSum& AddChars(size_t chars) noexcept {
        if (chars > SIZE_MAX / sizeof(wchar_t))
            overflow_ = true;
        else
            Add(chars * sizeof(wchar_t));
        return *this;
    }
    // The total as a buffer size; false when it overflowed or does not fit in a DWORD.
    bool ToDword(DWORD* out) const noexcept {
        if (overflow_ || total_ > MAXDWORD) return false;
        *out = static_cast<DWORD>(total_);
        return true;
    }
    bool Overflowed() const noexcept { return overflow_; }
    size_t Value() const noexcept { return total_; }

private:
    size_t total_;
    bool overflow_ = false;
};

// Writes into a buffer of known size. A write that would leave the buffer writes nothing and
// marks the writer failed; builders check Ok() once at the end.
class ByteWriter {
public:
    ByteWriter(BYTE* data, size_t size) noexcept : data_(data), size_(data ? size : 0) {}

    void U16(size_t offset, uint16_t value) noexcept { Little(offset, value, 2); }
    void U32(size_t offset, uint32_t value) noexcept { Little(offset, value, 4); }
    void U64(size_t offset, uint64_t value) noexcept { Little(offset, value, 8); }
    void Luid(size_t offset, const LUID& luid) noexcept {
        U32(offset, luid.LowPart);
        U32(offset + 4, static_cast<uint32_t>(luid.HighPart));
    }
    // UTF-16LE characters, no terminator.
    void Chars(size_t offset, const wchar_t* text, size_t count) noexcept {
        if (count == 0) return;
        if (!text || count > SIZE_MAX / 2 || !Fits(offset, count * 2)) {
            ok_ = false;
            return;
        }
        for (size_t i = 0; i < count; ++i) {
            uint16_t c = static_cast<uint16_t>(text[i]);
            data_[offset + 2 * i] = static_cast<BYTE>(c & 0xFF);
            data_[offset + 2 * i + 1] = static_cast<BYTE>(c >> 8);
        }
    }
    // A self-relative counted string header: Length and MaximumLength (both the byte length),
    // four bytes of padding, and the data's offset from the start of the buffer as 64 bits.
    void CountedString(size_t fieldOffset, size_t byteLength, uint64_t dataOffset) noexcept {
        if (byteLength > 0xFFFF) {
            ok_ = false;
            return;
        }
        U16(fieldOffset, static_cast<uint16_t>(byteLength));
        U16(fieldOffset + 2, static_cast<uint16_t>(byteLength));
        U32(fieldOffset + 4, 0);
        U64(fieldOffset + 8, dataOffset);
    }

    // Packs one counted string: its header at fieldOffset and its characters at *cursor, which
    // moves past them. An empty string gets Buffer 0 unless offsetWhenEmpty asks for *cursor.
    void PackString(size_t fieldOffset, const wchar_t* text, size_t chars, size_t* cursor,
                    bool offsetWhenEmpty) noexcept {
        if (chars > kMaxCountedStringChars) {
            ok_ = false;
            return;
        }
        if (chars == 0 && !offsetWhenEmpty) {
            CountedString(fieldOffset, 0, 0);
            return;
        }
        CountedString(fieldOffset, chars * sizeof(wchar_t), *cursor);
        Chars(*cursor, text, chars);
        *cursor += chars * sizeof(wchar_t);
    }

    bool Ok() const noexcept { return ok_; }
    size_t Size() const noexcept { return size_; }

private:
    bool Fits(size_t offset, size_t count) const noexcept { return offset <= size_ && count <= size_ - offset; }
    void Little(size_t offset, uint64_t value, size_t width) noexcept {
        if (!Fits(offset, width)) {
            ok_ = false;
            return;
        }
        for (size_t i = 0; i < width; ++i) data_[offset + i] = static_cast<BYTE>((value >> (8 * i)) & 0xFF);
    }

    BYTE* data_;
    size_t size_;
    bool ok_ = true;
};

// Zeroes the part of a caller's buffer the caller said it owns.
inline void ZeroCallerBuffer(BYTE* buffer, const DWORD* size) noexcept {
    if (buffer && size && *size) ::SecureZeroMemory(buffer, *size);
}

}  // namespace logon
