#include "UtilSM.h"

#include "lib/keyvault/KeyVault.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <atomic>

namespace UtilSM {
namespace {

std::atomic<const Hooks*> g_hooks{nullptr};

bool RetryWanted(DWORD result, const CORE::PropertyBag& response) {
    return result == keyvault::KV_BUSY ||
           (result == keyvault::KV_FAILED && response.GetError() == keyvault::KV_ERROR_NOT_READY);
}

void RealSleep(DWORD milliseconds) { ::Sleep(milliseconds); }

}  // namespace

void SetHooksForTest(const Hooks* hooks) noexcept { g_hooks.store(hooks, std::memory_order_release); }

int kvCallWithRetry(const wchar_t* operation, CORE::PropertyBag& request, CORE::PropertyBag& response,
                    const BYTE* input, size_t inputLength, CORE::SecureBytes& output) {
    const Hooks* hooks = g_hooks.load(std::memory_order_acquire);
    auto gate = hooks && hooks->gate ? hooks->gate : &keyvault::Call;
    auto pause = hooks && hooks->sleep ? hooks->sleep : &RealSleep;
    const std::wstring name = operation ? operation : L"";

    DWORD result = keyvault::KV_NOT_EXECUTED;
    int attempt = 1;
    for (;; ++attempt) {
        result = gate(name, request, response, input, inputLength, output);
        if (result == keyvault::KV_SUCCESS) {
            if (attempt == 1)
                CORE::LogMessage(CORE::LOG_TRACE, L"UtilSM::kvCallWithRetry(): KeyVault call '%s' succeeded",
                                 name.c_str());
            else
                CORE::LogMessage(CORE::LOG_DEBUG,
                                 L"UtilSM::kvCallWithRetry(): KeyVault call '%s' succeeded on attempt %d",
                                 name.c_str(), attempt);
            return 0;
        }
        // The last answer stays in the response for the log line below.
        if (!RetryWanted(result, response) || attempt >= kMaxAttempts) break;
        pause(kRetryDelayMs);
        response.Clear();
        CORE::Wipe(output);
    }

    CORE::Wipe(output);
    const std::wstring text = response.GetErrorText(L"Unspecified error");
    if (result == keyvault::KV_FAILED && response.GetError() != keyvault::KV_ERROR_NOT_READY) {
        if (attempt == 1)
            CORE::LogMessage(CORE::LOG_TRACE, L"UtilSM::kvCallWithRetry(): KeyVault call '%s' failed: %s",
                             name.c_str(), text.c_str());
        else
            CORE::LogMessage(CORE::LOG_DEBUG, L"UtilSM::kvCallWithRetry(): KeyVault call '%s' returned '%s' on attempt %d",
                             name.c_str(), text.c_str(), attempt);
        return 1;
    }
    CORE::LogMessage(CORE::LOG_ERROR, L"UtilSM::kvCallWithRetry(): KeyVault call '%s' could not be executed: %s",
                     name.c_str(), text.c_str());
    return 2;
}

}  // namespace UtilSM
