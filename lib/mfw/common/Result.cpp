#include "Result.h"

#include "SysMessage.h"

namespace CORE {

void LogFailure(const char* file, int line, const char* expression, HRESULT hr) noexcept {
    LogMessage(LOG_ERROR, L"%S(%d): %S failed, hr=0x%08X", file ? file : "", line, expression ? expression : "",
               static_cast<unsigned>(hr));
}

}  // namespace CORE
