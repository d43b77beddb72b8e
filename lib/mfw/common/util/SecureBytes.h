// A byte buffer for secrets (key material, plain text, message bytes that may carry a password):
// every buffer it used is overwritten with zeros before it goes back to the heap.
#pragma once
#include "lib/mfw/common/util/SecureString.h"

#include <windows.h>

#include <vector>

namespace CORE {

using SecureBytes = std::vector<BYTE, ZeroingAllocator<BYTE>>;

// Overwrites the bytes in place and empties the buffer; the allocation is wiped again when it
// is released.
inline void Wipe(SecureBytes& bytes) noexcept {
    if (!bytes.empty()) ::SecureZeroMemory(bytes.data(), bytes.size());
    bytes.clear();
}

}  // namespace CORE
