// Bounds-checked cursor over a fixed byte buffer, for every byte layout the library reads
// from or writes to the wire. A failed check logs, returns false and touches nothing.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace CORE {

class ByteData {
public:
    ByteData() noexcept = default;
    // A reader over `size` bytes.
    ByteData(const void* data, size_t size) noexcept
        : read_(static_cast<const BYTE*>(data)), total_(data ? size : 0) {}
    // A writer (and reader) over `size` bytes.
    ByteData(void* data, size_t size) noexcept
        : read_(static_cast<const BYTE*>(data)), write_(static_cast<BYTE*>(data)), total_(data ? size : 0) {}

    size_t Total() const noexcept { return total_; }
    size_t Consumed() const noexcept { return consumed_; }
    size_t Remaining() const noexcept { return total_ - consumed_; }
    const BYTE* Current() const noexcept { return read_ ? read_ + consumed_ : nullptr; }
    BYTE* CurrentWritable() const noexcept { return write_ ? write_ + consumed_ : nullptr; }

    // True when `required` more bytes can be read; logs why not otherwise.
    bool CheckReqdBytes(size_t required) const noexcept;
    // True when `required` more bytes can be written; logs why not otherwise.
    bool CheckDestBytes(size_t required) const noexcept;

    bool Read(void* destination, size_t length) noexcept;
    bool ReadU16(uint16_t* value) noexcept;  // big-endian
    bool ReadU32(uint32_t* value) noexcept;  // big-endian
    // Hands out the next `length` bytes without copying and consumes them.
    bool Take(size_t length, const BYTE** data) noexcept;
    bool Skip(size_t length) noexcept;

    bool Write(const void* source, size_t length) noexcept;
    bool WriteU16(uint16_t value) noexcept;  // big-endian
    bool WriteU32(uint32_t value) noexcept;  // big-endian
    // Marks `length` bytes as written by someone else (a converter writing in place).
    bool Advance(size_t length) noexcept;

private:
    const BYTE* read_ = nullptr;
    BYTE* write_ = nullptr;
    size_t total_ = 0;
    size_t consumed_ = 0;
};

// Big-endian helpers for fixed headers whose size was checked as a whole.
inline uint16_t LoadU16BE(const BYTE* p) noexcept { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t LoadU32BE(const BYTE* p) noexcept {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline void StoreU16BE(BYTE* p, uint16_t v) noexcept {
    p[0] = static_cast<BYTE>(v >> 8);
    p[1] = static_cast<BYTE>(v);
}
inline void StoreU32BE(BYTE* p, uint32_t v) noexcept {
    p[0] = static_cast<BYTE>(v >> 24);
    p[1] = static_cast<BYTE>(v >> 16);
    p[2] = static_cast<BYTE>(v >> 8);
    p[3] = static_cast<BYTE>(v);
}

}  // namespace CORE
