#include "DesktopManagerCues.h"

#include "lib/keyvault/PayloadWriter.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/threads/corerunnable.h"
#include "platform/UniqueResource.h"

#include <map>
#include <mutex>

namespace agentsim {
namespace {

class DelayedSignal : public CORE::corerunnable {
public:
    DelayedSignal(std::wstring name, DWORD delayMs)
        : corerunnable(L"agentsim signal"), name_(std::move(name)), delayMs_(delayMs) {}

protected:
    void ThreadEntry() override {
        ::Sleep(delayMs_);
        platform::unique_handle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name_.c_str()));
        if (event) ::SetEvent(event.get());
    }

private:
    std::wstring name_;
    DWORD delayMs_;
};

// The agent receives secrets already protected; protecting the scenario's clear text once per
// value keeps the key derivation out of every answer's time.
std::wstring ProtectOnce(const std::wstring& plain, std::wstring* error) {
    static std::mutex lock;
    static std::map<std::wstring, std::wstring> made;
    std::lock_guard<std::mutex> guard(lock);
    auto found = made.find(plain);
    if (found != made.end()) return found->second;
    std::wstring protectedText = keyvault::BuildProtectedPayload(plain, L"SSO", L"AES", error);
    if (!protectedText.empty()) made.emplace(plain, protectedText);
    return protectedText;
}

void SignalLater(const std::wstring& name, DWORD delayMs) {
    auto* signal = new DelayedSignal(name, delayMs);
    signal->StartThread();
    signal->Release();
}

}  // namespace

bool ProtectListedSecrets(const CORE::PropertyBag& entry, CORE::PropertyBag& answer, std::wstring* error) {
    const std::wstring list = entry.Get(L"protect");
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find(L',', start);
        if (end == std::wstring::npos) end = list.size();
        const std::wstring name = list.substr(start, end - start);
        start = end + 1;
        if (name.empty() || answer.TypeOf(name) != CORE::PropertyBag::ITEM_STRING) continue;
        std::wstring protectedText = ProtectOnce(answer.Get(name), error);
        if (protectedText.empty()) return false;
        answer.Set(name, protectedText);
    }
    return true;
}

void ScheduleSignals(const CORE::PropertyBag& entry, const CORE::PropertyBag& request, const CORE::PropertyBag& answer) {
    if (entry.Contains(L"signalUnlockAfterMs"))
        SignalLater(L"Global\\Velmora.Zephral.CredProvCertSsoUnlockEvent." + answer.Get(L"sessionGuid"),
                    CORE::ParseUInt(entry.Get(L"signalUnlockAfterMs"), true));
    if (entry.Contains(L"signalEnumerateAfterMs"))
        SignalLater(L"Global\\Velmora.Zephral.CredProvEnumerateEvent." + request.Get(L"sessionId"),
                    CORE::ParseUInt(entry.Get(L"signalEnumerateAfterMs"), true));
}

}  // namespace agentsim
