// HRESULT at every boundary: macros that evaluate a call once, turn a failure (HRESULT,
// BOOL plus last error, null allocation) into an HRESULT, log the failing expression with
// file and line through the one failure hook, and return it.
#pragma once
#include <windows.h>

namespace CORE {
// Logs "<file>(<line>): <expression> failed, hr=0x%08X" at ERROR.
void LogFailure(const char* file, int line, const char* expression, HRESULT hr) noexcept;
}  // namespace CORE

#define TC_RETURN_HR_LOGGED(hr, expr)                                 \
    do {                                                              \
        ::CORE::LogFailure(__FILE__, __LINE__, (expr), (hr));         \
        return (hr);                                                  \
    } while (0)

#define RETURN_IF_FAILED(call)                                        \
    do {                                                              \
        HRESULT tc_hr_ = (call);                                      \
        if (FAILED(tc_hr_)) TC_RETURN_HR_LOGGED(tc_hr_, #call);       \
    } while (0)

#define RETURN_IF_WIN32_BOOL_FALSE(call)                              \
    do {                                                              \
        if (!(call)) {                                                \
            DWORD tc_err_ = ::GetLastError();                         \
            HRESULT tc_hr_ = tc_err_ ? HRESULT_FROM_WIN32(tc_err_) : E_FAIL; \
            TC_RETURN_HR_LOGGED(tc_hr_, #call);                       \
        }                                                             \
    } while (0)

#define RETURN_IF_NULL_ALLOC(ptr)                                     \
    do {                                                              \
        if ((ptr) == nullptr) TC_RETURN_HR_LOGGED(E_OUTOFMEMORY, #ptr); \
    } while (0)

// For bad arguments: no log line, they are the caller's fault and documented per method.
#define RETURN_HR_IF(hr, condition)                                   \
    do {                                                              \
        if (condition) return (hr);                                   \
    } while (0)
