// Failures of the Entra code: an HRESULT with a message and the source line travels in one
// exception type; raising it logs (ERROR) "[EntraAuth] FailLog: [<caller>] [<line>] <message>,
// hr=<hr>" once, and the entry points turn it back into the HRESULT.
#pragma once
#include <windows.h>

#include <exception>
#include <string>

namespace EntraAuth {

class EntraFailure : public std::exception {
public:
    EntraFailure(HRESULT hr, std::wstring message, int line) noexcept
        : hr_(hr), message_(std::move(message)), line_(line) {}
    HRESULT Result() const noexcept { return hr_; }
    const std::wstring& Message() const noexcept { return message_; }
    int Line() const noexcept { return line_; }
    const char* what() const noexcept override { return "EntraAuth failure"; }

private:
    HRESULT hr_;
    std::wstring message_;
    int line_;
};

// Logs the failure line and throws. `format` is a wide printf format ("%ls" wide, "%hs" narrow).
[[noreturn]] void RaiseFailure(const void* caller, int line, HRESULT hr, const wchar_t* format, ...);
// Logs the failure line only; returns `hr`.
HRESULT LogFailure(const void* caller, int line, HRESULT hr, const wchar_t* format, ...) noexcept;

// For a catch (...) block: the HRESULT of the exception in flight (E_OUTOFMEMORY for
// std::bad_alloc, E_UNEXPECTED for anything else).
HRESULT ResultOfCaught() noexcept;

// The same, logged (ERROR) as "[EntraAuth] <label>: caught failure, hr=<hr>".
HRESULT CaughtResult(const char* label) noexcept;

// HRESULT_FROM_WIN32 of GetLastError, never S_OK (a call that failed without saying why).
HRESULT LastErrorResult() noexcept;

}  // namespace EntraAuth

// The caller address in the failure line is the return address of the failing function.
#if defined(_MSC_VER)
#include <intrin.h>
#define ENTRA_CALLER _ReturnAddress()
#else
#define ENTRA_CALLER __builtin_return_address(0)
#endif
#define ENTRA_FAIL(hr, ...) ::EntraAuth::RaiseFailure(ENTRA_CALLER, __LINE__, (hr), __VA_ARGS__)
#define ENTRA_LOG_FAILURE(hr, ...) ::EntraAuth::LogFailure(ENTRA_CALLER, __LINE__, (hr), __VA_ARGS__)
#define ENTRA_FAIL_IF(condition, hr, ...)  \
    do {                                   \
        if (condition) ENTRA_FAIL(hr, __VA_ARGS__); \
    } while (0)
