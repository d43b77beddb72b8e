#include "Platform.h"

#include <atomic>

namespace platform {
namespace {
std::atomic<IPlatform*> g_replacement{nullptr};
}

IPlatform& Get() {
    IPlatform* replacement = g_replacement.load(std::memory_order_acquire);
    return replacement ? *replacement : DefaultPlatform();
}

IPlatform* Set(IPlatform* replacement) {
    return g_replacement.exchange(replacement, std::memory_order_acq_rel);
}

}  // namespace platform
