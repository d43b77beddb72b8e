#include "EntraAsyncCredentialContext.h"

#include "CloudApHelper.h"
#include "EntraFailure.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <objbase.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>

namespace EntraAuth {
namespace {

using CORE::LOG_DEBUG;
using CORE::LOG_INFO;
using CORE::LogMessage;

const wchar_t kConstructor[] = L"EntraAuth::EntraAsyncCredentialContext::EntraAsyncCredentialContext";

void WipeText(std::wstring& text) noexcept {
    if (!text.empty()) ::SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t));
}

// A decimal 64-bit number, all of the text; anything else raises.
uint64_t ParseRequestId(const std::wstring& text) {
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long value = std::wcstoull(text.c_str(), &end, 10);
    ENTRA_FAIL_IF(text.empty() || text[0] == L'-' || text[0] == L'+' || *end != L'\0' || errno == ERANGE,
                  E_INVALIDARG, L"requestId is not a decimal number");
    return value;
}

}  // namespace

EntraAsyncCredentialContext::EntraAsyncCredentialContext(const CORE::PropertyBag& bag, std::function<void()> onComplete)
    : onComplete_(std::move(onComplete)) {
    LogMessage(LOG_INFO, L"[EntraAuth] %ls: Initializing", kConstructor);
    try {
        ParseBag(bag);
        Start();
    } catch (...) {
        // A bag the request cannot be made from is a finished request that failed: reported as
        // still pending, the tile would wait for an answer that never comes.
        const HRESULT hr = CaughtResult("EntraAuth::EntraAsyncCredentialContext::EntraAsyncCredentialContext");
        std::lock_guard<std::mutex> guard(lock_);
        if (!completed_ && !pendingCall_) {
            completed_ = true;
            result_ = FAILED(hr) ? hr : E_FAIL;
        }
    }
}

void EntraAsyncCredentialContext::ParseBag(const CORE::PropertyBag& bag) {
    assertion_ = bag.Get(L"RDPASSERTION");
    correlationId_ = bag.Get(L"CORRELATIONID");
    ENTRA_FAIL_IF(correlationId_.empty(), E_INVALIDARG, L"correlationId cannot be empty");
    resourceUri_ = bag.Get(L"RESOURCEURI");
    ENTRA_FAIL_IF(resourceUri_.empty(), E_INVALIDARG, L"resourceUri cannot be empty");
    brokerUserSid_ = bag.Get(L"BROKERUSERSID");
    requestId_ = bag.Contains(L"REQUESTID") ? ParseRequestId(bag.Get(L"REQUESTID")) : 0;
}

void EntraAsyncCredentialContext::Start() {
    if (!assertion_.empty()) {
        LogMessage(LOG_DEBUG, L"[EntraAuth] %ls: RDP assertion provided by broker.", kConstructor);
        completed_ = true;
        result_ = S_OK;
        return;
    }
    auto callback = [this](HRESULT hr, const std::wstring& assertion) { RdpAssertionCallback(hr, assertion); };
    if (requestId_ != 0) {
        LogMessage(LOG_DEBUG, L"[EntraAuth] %ls: RequestId(%llx) sent to client via broker, waiting for response.",
                   kConstructor, static_cast<unsigned long long>(requestId_));
        pendingCall_ = GetRdpAssertionAsync(requestId_, callback);
    } else {
        LogMessage(LOG_DEBUG, L"[EntraAuth] %ls: No active entra auth request specified.", kConstructor);
        requestId_ = (static_cast<uint64_t>(::GetCurrentProcessId()) << 32) | ::GetTickCount();
        pendingCall_ = RequestRdpAssertionAsync(requestId_, brokerUserSid_, correlationId_, callback);
        LogMessage(LOG_DEBUG, L"[EntraAuth] %ls: RequestRdpAssertionAsync -> %p", kConstructor,
                   static_cast<void*>(pendingCall_));
    }
    ENTRA_FAIL_IF(!pendingCall_, E_OUTOFMEMORY, L"the RPC call could not be queued");
}

EntraAsyncCredentialContext::~EntraAsyncCredentialContext() {
    RpcWorkItem* call;
    {
        std::lock_guard<std::mutex> guard(lock_);
        onComplete_ = nullptr;  // an abandoned request must not call back into an owner replacing it
        call = pendingCall_;
        pendingCall_ = nullptr;
    }
    if (call) CancelRpcWorkItem(call);
    WipeText(assertion_);
}

void EntraAsyncCredentialContext::RdpAssertionCallback(HRESULT hr, const std::wstring& assertion) {
    LogMessage(LOG_INFO, L"[EntraAuth] EntraAuth::EntraAsyncCredentialContext::RdpAssertionCallback: Entering: hr=%08x, dataLength=%08x",
               static_cast<unsigned>(hr), static_cast<unsigned>(assertion.size()));
    std::function<void()> notify;
    {
        std::lock_guard<std::mutex> guard(lock_);
        completed_ = true;
        result_ = hr;
        WipeText(assertion_);
        assertion_ = assertion;
        notify = onComplete_;
    }
    if (notify) notify();
}

HRESULT EntraAsyncCredentialContext::GetStatus() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!completed_) return E_PENDING;
    if (result_ != S_OK) return result_;
    return assertion_.empty() ? E_FAIL : S_OK;
}

void EntraAsyncCredentialContext::WipeAssertion() {
    std::lock_guard<std::mutex> guard(lock_);
    WipeText(assertion_);
}

HRESULT EntraAsyncCredentialContext::SerializeCredential(BYTE** buffer, ULONG* size) {
    *buffer = nullptr;
    *size = 0;
    std::vector<BYTE> blob;
    HRESULT hr;
    try {
        CloudApHelper helper;
        hr = helper.Initialize(correlationId_);
        if (FAILED(hr)) ENTRA_FAIL(hr, L"CloudApHelper::Initialized");
        std::lock_guard<std::mutex> guard(lock_);
        ENTRA_FAIL_IF(assertion_.empty() || assertion_[0] == L'\0', E_FAIL, L"RDP assertion empty");
        hr = helper.GetCredBlobFromAssertion(assertion_, resourceUri_, &blob);
        if (FAILED(hr)) ENTRA_FAIL(hr, L"GetCredBlobFromAssertion failed");
        hr = CoSerializeCredBlob(blob, buffer, size);
        if (FAILED(hr)) ENTRA_FAIL(hr, L"CloudApHelper::CoSerializeCredBlob failed");
    } catch (...) {
        hr = ResultOfCaught();
    }
    if (!blob.empty()) ::SecureZeroMemory(blob.data(), blob.size());
    return hr;
}

HRESULT CoSerializeCredBlob(const std::vector<BYTE>& blob, BYTE** buffer, ULONG* size) noexcept {
    *buffer = nullptr;
    *size = 0;
    if (blob.empty()) return ENTRA_LOG_FAILURE(E_INVALIDARG, L"Empty credblob passed");
    if (blob.size() > ULONG_MAX) return ENTRA_LOG_FAILURE(E_INVALIDARG, L"Credential blob size exceeds ULONG maximum");
    auto* copy = static_cast<BYTE*>(::CoTaskMemAlloc(blob.size()));
    if (!copy) return ENTRA_LOG_FAILURE(E_OUTOFMEMORY, L"CoTaskMemAlloc failed");
    std::memcpy(copy, blob.data(), blob.size());
    *buffer = copy;
    *size = static_cast<ULONG>(blob.size());
    return S_OK;
}

}  // namespace EntraAuth
