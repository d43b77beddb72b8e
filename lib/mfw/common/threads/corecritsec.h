// The library's critical-section object; lock()/unlock() so std::lock_guard works with it.
#pragma once
#include <windows.h>

namespace CORE {

class corecritsec {
public:
    corecritsec() noexcept { ::InitializeCriticalSection(&section_); }
    ~corecritsec() { ::DeleteCriticalSection(&section_); }
    corecritsec(const corecritsec&) = delete;
    corecritsec& operator=(const corecritsec&) = delete;

    void lock() noexcept { ::EnterCriticalSection(&section_); }
    void unlock() noexcept { ::LeaveCriticalSection(&section_); }
    bool try_lock() noexcept { return ::TryEnterCriticalSection(&section_) != FALSE; }

private:
    CRITICAL_SECTION section_;
};

}  // namespace CORE
