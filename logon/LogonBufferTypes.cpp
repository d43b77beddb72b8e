#include "LogonBufferTypes.h"

#include "lib/mfw/common/util/ErrorText.h"

namespace logon {

std::wstring ResultText(DWORD code) noexcept {
    try {
        return CORE::SystemErrorText(code);
    } catch (...) {
        return std::wstring();
    }
}

}  // namespace logon
