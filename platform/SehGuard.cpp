// The guard needs compiler support for structured exception handling: __try/__except under
// MSVC, the scope-table directives of mingw's __try1/__except1 under GCC. The guarded frame
// holds nothing that needs unwinding, so it can use them safely.
#include "SehGuard.h"

#include <excpt.h>

namespace {
// The code GCC's runtime raises for a C++ throw; such exceptions are not ours to stop.
constexpr DWORD kGccCxxException = 0x20474343;
thread_local DWORD t_lastCode = 0;
}  // namespace

extern "C" LONG tc_seh_guard_filter(EXCEPTION_POINTERS* pointers, void* /*frame*/) {
    DWORD code = pointers && pointers->ExceptionRecord ? pointers->ExceptionRecord->ExceptionCode : 1;
    if (code == kGccCxxException) return EXCEPTION_CONTINUE_SEARCH;
    t_lastCode = code ? code : 1;
    return EXCEPTION_EXECUTE_HANDLER;
}

namespace platform {

#if defined(_MSC_VER)
DWORD CallWithSehGuard(void (*fn)(void*), void* context) {
    __try {
        fn(context);
        return 0;
    } __except (tc_seh_guard_filter(GetExceptionInformation(), nullptr)) {
        return t_lastCode;
    }
}
#else
__attribute__((noinline)) DWORD CallWithSehGuard(void (*fn)(void*), void* context) {
    // The handler lands after the guarded block with only the non-volatile state of this
    // frame restored, so the outcome travels through memory.
    volatile bool completed = false;
    __try1(tc_seh_guard_filter)
        fn(context);
        completed = true;
    __except1
    __asm__ __volatile__("" ::: "memory");
    return completed ? 0 : t_lastCode;
}
#endif

}  // namespace platform
