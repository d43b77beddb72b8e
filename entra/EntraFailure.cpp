#include "EntraFailure.h"

#include "lib/mfw/common/log/SysMessage.h"

#include <cstdarg>
#include <cstdio>
#include <new>

namespace EntraAuth {
namespace {

// The logger's conventions (msvcrt): "%ls"/"%s" wide, "%hs" narrow.
template <size_t N>
void FormatText(wchar_t (&message)[N], const wchar_t* format, va_list args) noexcept {
    const int written = _vsnwprintf(message, N - 1, format, args);
    message[written < 0 ? N - 1 : written] = L'\0';  // msvcrt does not terminate a cut text
}

void LogFailLine(const void* caller, int line, HRESULT hr, const wchar_t* message) noexcept {
    CORE::LogMessage(CORE::LOG_ERROR, L"[EntraAuth] FailLog: [%p] [%d] %ls, hr=%08x", caller, line, message,
                     static_cast<unsigned>(hr));
}

void FormatAndLog(wchar_t (&message)[512], const void* caller, int line, HRESULT hr, const wchar_t* format,
                  va_list args) noexcept {
    FormatText(message, format, args);
    LogFailLine(caller, line, hr, message);
}

}  // namespace

void RaiseFailure(const void* caller, int line, HRESULT hr, const wchar_t* format, ...) {
    wchar_t message[512];
    va_list args;
    va_start(args, format);
    FormatAndLog(message, caller, line, hr, format, args);
    va_end(args);
    throw EntraFailure(hr, message, line);
}

HRESULT LogFailure(const void* caller, int line, HRESULT hr, const wchar_t* format, ...) noexcept {
    wchar_t message[512];
    va_list args;
    va_start(args, format);
    FormatAndLog(message, caller, line, hr, format, args);
    va_end(args);
    return hr;
}

HRESULT ResultOfCaught() noexcept {
    try {
        throw;
    } catch (const EntraFailure& failure) {
        return failure.Result();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT CaughtResult(const char* label) noexcept {
    const HRESULT hr = ResultOfCaught();
    CORE::LogMessage(CORE::LOG_ERROR, L"[EntraAuth] %hs: caught failure, hr=%08x", label, static_cast<unsigned>(hr));
    return hr;
}

HRESULT LastErrorResult() noexcept {
    const DWORD error = ::GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

}  // namespace EntraAuth
