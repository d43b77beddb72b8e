#include "lib/mfw/common/util/ErrorText.h"

#include "platform/UniqueResource.h"

#include <cwchar>

namespace CORE {

std::wstring SystemErrorText(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                        FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    platform::unique_hlocal held(buffer);
    std::wstring text;
    if (length && buffer) text.assign(buffer, length);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    if (text.empty()) {
        wchar_t number[32];
        std::swprintf(number, 32, L"0x%08lX", static_cast<unsigned long>(code));
        text = number;
    }
    return text;
}

std::wstring GuidToString(const GUID& guid) {
    wchar_t text[40];
    std::swprintf(text, 40, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

}  // namespace CORE
