#include "SecureText.h"

#include <algorithm>
#include <climits>

namespace secmgr {

bool WideToUtf8(std::wstring_view text, CORE::SecureBytes* out) {
    CORE::Wipe(*out);
    if (text.empty()) return true;
    if (text.size() > static_cast<size_t>(INT_MAX) / 4) return false;
    int needed = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return false;
    out->assign(static_cast<size_t>(needed), 0);
    int written = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                        reinterpret_cast<char*>(out->data()), needed, nullptr, nullptr);
    if (written != needed) {
        CORE::Wipe(*out);
        return false;
    }
    return true;
}

bool Utf8ToWide(const BYTE* data, size_t length, CORE::SecureWString* out) {
    out->Wipe();
    if (!data || length == 0) return true;
    length = static_cast<size_t>(std::find(data, data + length, BYTE(0)) - data);
    if (length == 0) return true;
    if (length > static_cast<size_t>(INT_MAX)) return false;
    const char* source = reinterpret_cast<const char*>(data);
    int needed = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, source, static_cast<int>(length), nullptr, 0);
    if (needed <= 0) return false;
    out->resize(static_cast<size_t>(needed));
    int written = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, source, static_cast<int>(length), out->data(),
                                        needed);
    if (written != needed) {
        out->Wipe();
        return false;
    }
    return true;
}

std::wstring Utf8ToWideText(std::string_view text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::wstring();
    int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (needed <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(needed), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), needed);
    return out;
}

}  // namespace secmgr
