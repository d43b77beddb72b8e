#include "CloudApText.h"

#include "EntraFailure.h"

#include <climits>

namespace EntraAuth {

std::string ToUtf8(std::wstring_view text) {
    if (text.empty()) return std::string();
    ENTRA_FAIL_IF(text.size() > INT_MAX / 4, HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW), L"Text too long");
    const int chars = static_cast<int>(text.size());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), chars, nullptr, 0, nullptr, nullptr);
    ENTRA_FAIL_IF(bytes <= 0, LastErrorResult(), L"WideCharToMultiByte failed");
    std::string out(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), chars, out.data(), bytes, nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(std::string_view text) {
    if (text.empty()) return std::wstring();
    ENTRA_FAIL_IF(text.size() > INT_MAX, HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW), L"Text too long");
    const int bytes = static_cast<int>(text.size());
    const int chars = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, nullptr, 0);
    ENTRA_FAIL_IF(chars <= 0, LastErrorResult(), L"MultiByteToWideChar failed");
    std::wstring out(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, out.data(), chars);
    return out;
}

std::wstring ZeroCorrelationId() { return L"00000000-0000-0000-0000-000000000000"; }

}  // namespace EntraAuth
