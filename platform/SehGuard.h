// Runs a call that may raise a structured exception instead of returning (the RPC runtime,
// functions Wine only stubs) and turns the exception into its code instead of a crash.
// C++ exceptions are not caught here; they pass through unchanged.
#pragma once
#include <windows.h>

#include <utility>

namespace platform {

// 0 when fn returned normally, else the structured exception's code.
// Not noexcept: that would give the frame a C++ handler in place of the scope table.
DWORD CallWithSehGuard(void (*fn)(void* context), void* context);

template <typename F>
DWORD SehGuard(F&& f) {
    auto* callable = &f;
    return CallWithSehGuard(
        [](void* context) { (*static_cast<decltype(callable)>(context))(); }, callable);
}

}  // namespace platform
