// Calls into the key vault with its retry rule: a vault that is busy (10) or not ready yet
// (error 30001) is asked again, up to 30 times, 1000 ms apart.
#pragma once
#include "lib/mfw/common/util/SecureBytes.h"

#include <windows.h>

#include <string>

namespace CORE {
class PropertyBag;
}

namespace UtilSM {

inline constexpr int kMaxAttempts = 30;
inline constexpr DWORD kRetryDelayMs = 1000;

// 0 success; 1 the key vault answered with an error (in `response`); 2 the call could not be
// executed, or the vault stayed busy or not ready through every attempt.
int kvCallWithRetry(const wchar_t* operation, CORE::PropertyBag& request, CORE::PropertyBag& response,
                    const BYTE* input, size_t inputLength, CORE::SecureBytes& output);

// Tests only: replace the vault's call gate and the pause between attempts (a null member
// keeps the real one). Null restores both.
struct Hooks {
    DWORD (*gate)(const std::wstring& operation, const CORE::PropertyBag& request, CORE::PropertyBag& response,
                  const BYTE* input, size_t inputLength, CORE::SecureBytes& output) = nullptr;
    void (*sleep)(DWORD milliseconds) = nullptr;
};
void SetHooksForTest(const Hooks* hooks) noexcept;

}  // namespace UtilSM
