#include "FreedMemoryWatch.h"

#include <windows.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

namespace testsupport::freedwatch {
namespace {

constexpr size_t kMaxChars = 64;
wchar_t g_wide[kMaxChars];
char g_narrow[kMaxChars];
size_t g_chars = 0;
std::atomic<bool> g_watching{false};
std::atomic<int> g_readable{0};

bool Holds(const BYTE* bytes, size_t size) {
    const size_t wide = g_chars * sizeof(wchar_t);
    for (size_t at = 0; at + g_chars <= size; ++at)
        if ((at + wide <= size && std::memcmp(bytes + at, g_wide, wide) == 0) || std::memcmp(bytes + at, g_narrow, g_chars) == 0)
            return true;
    return false;
}

}  // namespace

void Start(const wchar_t* text) {
    g_chars = wcsnlen(text, kMaxChars - 1);
    std::wmemcpy(g_wide, text, g_chars);
    for (size_t i = 0; i < g_chars; ++i) g_narrow[i] = static_cast<char>(text[i]);
    g_readable = 0;
    g_watching = true;
}

int Stop() {
    g_watching = false;
    return g_readable.load();
}

void Inspect(void* block) {
    if (block && g_watching.load() && Holds(static_cast<const BYTE*>(block), _msize(block))) ++g_readable;
}

}  // namespace testsupport::freedwatch

void* operator new(size_t size) {
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void operator delete(void* block) noexcept {
    testsupport::freedwatch::Inspect(block);
    // Scribbled over, so that code still using a freed object fails at once.
    if (block) std::memset(block, 0xDD, _msize(block));
    std::free(block);
}
void operator delete(void* block, size_t) noexcept { operator delete(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { operator delete(block); }
