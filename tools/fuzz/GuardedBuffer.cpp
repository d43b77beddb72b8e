#include "GuardedBuffer.h"

#include <cstring>

namespace fuzz {

GuardedBuffer::GuardedBuffer(size_t slots) : slots_(slots) {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    page_ = info.dwPageSize;
    stride_ = kSlotBytes + page_;
    base_ = static_cast<BYTE*>(::VirtualAlloc(nullptr, slots_ * stride_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    for (size_t slot = 0; base_ && slot < slots_; ++slot)
        if (!::VirtualProtect(base_ + slot * stride_ + kSlotBytes, page_, PAGE_NOACCESS, &old)) slots_ = slot;
}

GuardedBuffer::~GuardedBuffer() {
    if (base_) ::VirtualFree(base_, 0, MEM_RELEASE);
}

BYTE* GuardedBuffer::Place(size_t slot, const void* data, size_t size) noexcept {
    if (!base_ || slot >= slots_ || size > kSlotBytes) return nullptr;
    BYTE* at = base_ + slot * stride_ + kSlotBytes - size;
    if (size) std::memcpy(at, data, size);
    return at;
}

bool GuardedBuffer::IsGuard(ULONG_PTR address) const noexcept {
    if (!base_ || address < reinterpret_cast<ULONG_PTR>(base_)) return false;
    const size_t offset = address - reinterpret_cast<ULONG_PTR>(base_);
    return offset < slots_ * stride_ && offset % stride_ >= kSlotBytes;
}

}  // namespace fuzz
