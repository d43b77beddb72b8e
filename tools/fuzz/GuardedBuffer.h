// Places fuzz inputs so that their last byte sits right before a page nobody may touch: a read
// past the end of an input faults at once instead of reading a neighbour's bytes.
#pragma once
#include <windows.h>

#include <cstddef>

namespace fuzz {

class GuardedBuffer {
public:
    static constexpr size_t kSlotBytes = 256 * 1024;  // the largest input a slot takes

    // `slots` separate areas, each followed by its own no-access page; set up once.
    explicit GuardedBuffer(size_t slots);
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    // Copies `size` bytes to end exactly at the guard page of `slot`; null when they do not fit.
    BYTE* Place(size_t slot, const void* data, size_t size) noexcept;
    // True for an address inside one of the guard pages.
    bool IsGuard(ULONG_PTR address) const noexcept;

private:
    BYTE* base_ = nullptr;
    size_t slots_ = 0, page_ = 0, stride_ = 0;
};

}  // namespace fuzz
