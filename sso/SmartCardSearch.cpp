#include "SmartCardSearch.h"

#include "CardAccess.h"

#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "lib/mfw/common/util/ErrorText.h"

using namespace CORE;
using platform::CardService;

namespace {

constexpr const wchar_t* kFn = L"FindSmartCardCertificate";
constexpr DWORD kMaxReaders = 10;
constexpr DWORD kArrivalWindowMs = 5000;
constexpr DWORD kStartedPollMs = 200;

void* AsPointer(LONG code) { return reinterpret_cast<void*>(static_cast<ULONG_PTR>(static_cast<DWORD>(code))); }

// Waits for the service to report that it runs, then takes a context; 0 or SCARD_E_NO_SERVICE.
DWORD Connect(DWORD waitMs, platform::unique_scard_context& context) {
    for (int attemptsLeft = 3;;) {
        LogMessage(LOG_TRACE, L"%s: Calling SCardAccessStartedEvent.", kFn);
        HANDLE started = CardService().AccessStartedEvent();
        if (!started) {
            LogMessage(LOG_TRACE, L"%s: SCardAccessStartedEvent returned a NULL handle. Continuing anyway.", kFn);
        } else {
            DWORD wait = ::WaitForSingleObject(started, waitMs < kStartedPollMs ? waitMs : kStartedPollMs);
            CardService().ReleaseStartedEvent();
            if (wait != WAIT_OBJECT_0) {
                if (waitMs <= kStartedPollMs) break;
                waitMs -= kStartedPollMs;
                continue;
            }
        }
        LogMessage(LOG_TRACE, L"%s: Smart card service is running. Getting a context now.", kFn);
        LONG result = CardService().EstablishContext(SCARD_SCOPE_USER, context.put());
        if (result == SCARD_S_SUCCESS) return 0;
        context.release();  // nothing was handed out
        --attemptsLeft;
        LogMessage(LOG_DEBUG, L"%s: Unable to establish connection to smart card API. %s. Error code was 0x%x. %u retries left.",
                   kFn, SystemErrorText(static_cast<DWORD>(result)).c_str(), static_cast<unsigned>(result),
                   static_cast<unsigned>(attemptsLeft));
        if (waitMs == 0 || attemptsLeft == 0) break;
    }
    LogMessage(LOG_DEBUG,
               L"%s: Unable to establish connection to smart card API. The Smart Card service may not be running. "
               L"Stopping smart card SSO.",
               kFn);
    return static_cast<DWORD>(SCARD_E_NO_SERVICE);
}

}  // namespace

void GetReaderInfo(std::vector<SCARD_READERSTATEW>& states, platform::unique_scard_context& context,
                   std::vector<std::wstring>& readers, const std::wstring& readerFilter) {
    const wchar_t* fn = L"GetReaderInfo";
    states.clear();
    LogMessage(LOG_TRACE, L"%s: Calling SCardListReaders to get reader info.", fn);
    LONG result = CardService().ListReaders(context.get(), &readers);
    if (result == SCARD_E_INVALID_HANDLE) {
        LogMessage(LOG_DEBUG, L"%s: Smart card context has been invalidated. Refreshing it now.", fn);
        context.reset();
        result = CardService().EstablishContext(SCARD_SCOPE_USER, context.put());
        if (result != SCARD_S_SUCCESS) {
            context.release();
            LogMessage(LOG_DEBUG, L"%s: Unable to refresh smart card context. Error code is 0x%p. Stopping certificate enumeration.",
                       fn, AsPointer(result));
            readers.clear();
            return;
        }
        LogMessage(LOG_TRACE, L"%s: SCardEstablishContext succeeded.", fn);
        LogMessage(LOG_TRACE, L"%s: Calling SCardListReaders again.", fn);
        result = CardService().ListReaders(context.get(), &readers);
    }
    if (result != SCARD_S_SUCCESS) readers.clear();
    if (readers.size() > kMaxReaders) readers.resize(kMaxReaders);
    for (const std::wstring& reader : readers) {
        if (!readerFilter.empty() && reader != readerFilter) continue;
        SCARD_READERSTATEW state = {};
        state.szReader = reader.c_str();
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        states.push_back(state);
    }
    if (states.empty()) return;
    CardService().GetStatusChange(context.get(), INFINITE, states.data(), static_cast<DWORD>(states.size()));
    for (SCARD_READERSTATEW& state : states) state.dwCurrentState = state.dwEventState;
}

namespace {

// Waits up to the arrival window for the service to report a new reader. 0 when one arrived
// (or the window passed while the context was being refreshed), else the result to return.
DWORD WaitForReaderArrival(platform::unique_scard_context& context) {
    ULONGLONG start = ::GetTickCount64();
    SCARD_READERSTATEW pnp = {};
    pnp.szReader = L"\\\\?PnP?\\Notification";
    // The high word of the current state is the reader count the caller knows (none): the
    // service answers when the number of readers differs from it.
    pnp.dwCurrentState = 0;
    for (DWORD remaining = kArrivalWindowMs;;) {
        LONG result = CardService().GetStatusChange(context.get(), remaining, &pnp, 1);
        if (result == SCARD_S_SUCCESS) {
            LogMessage(LOG_DEBUG, L"%s: A reader arrived.", kFn);
            return 0;
        }
        if (result == SCARD_E_TIMEOUT) {
            LogMessage(LOG_DEBUG, L"%s: The wait timed out.", kFn);
            return static_cast<DWORD>(SCARD_E_NO_READERS_AVAILABLE);
        }
        LogMessage(LOG_TRACE, L"%s: Wait for smart card failed with error 0x%p. Refreshing smart card context.", kFn,
                   AsPointer(result));
        context.reset();
        LogMessage(LOG_TRACE, L"%s: Now calling SCardEstablishContext.\n", kFn);
        result = CardService().EstablishContext(SCARD_SCOPE_USER, context.put());
        if (result != SCARD_S_SUCCESS) {
            context.release();
            LogMessage(LOG_DEBUG,
                       L"%s: Unable to establish connection to smart card API. %s. Error code was 0x%x. Stopping "
                       L"certificate enumeration.",
                       kFn, SystemErrorText(static_cast<DWORD>(result)).c_str(), static_cast<unsigned>(result));
            return static_cast<DWORD>(result);
        }
        LogMessage(LOG_TRACE, L"%s: Successfully refreshed smart card context.", kFn);
        ULONGLONG elapsed = ::GetTickCount64() - start;
        if (elapsed > kArrivalWindowMs) return 0;
        remaining = static_cast<DWORD>(kArrivalWindowMs - elapsed);
    }
}

struct CardMatch {
    std::wstring reader, card, container, provider;
    DWORD activityCount = 0, keySpec = 0;
};

bool ExamineReader(const SCARD_READERSTATEW& state, SCARDCONTEXT context, bool useCryptoApi,
                   const CertificateWanted& wanted, CardMatch& match) {
    LogMessage(LOG_TRACE, L"%s: Calling GetCardNameAndCSPFromReader.", kFn);
    std::wstring card, provider, container;
    bool isKsp = false;
    if (!GetCardNameAndCSPFromReader(state.rgbAtr, context, card, provider, isKsp)) {
        LogMessage(LOG_DEBUG, L"%s: Failed to get card name or provider name for reader '%s'. Skipping reader.", kFn,
                   state.szReader);
        return false;
    }
    bool found = false;
    if (useCryptoApi) {
        found = CryptoValidateCertFromCard(wanted, provider, state.szReader, container);
        if (found) LogMessage(LOG_DEBUG, L"%s: Using Legacy Crypto API, CNG providers will not work.", kFn);
    } else {
        found = CNGValidateCertFromCard(wanted, provider, state.szReader, container);
    }
    if (!found) return false;
    match = {state.szReader, card, container, provider, state.dwCurrentState & 0xFFFF0000, isKsp ? 0u : 1u};
    return true;
}

// Readers reporting a card first; those reporting none only when no other reader had one.
bool SearchReaders(const std::vector<SCARD_READERSTATEW>& states, SCARDCONTEXT context, bool useCryptoApi,
                   const CertificateWanted& wanted, CardMatch& match) {
    std::vector<const SCARD_READERSTATEW*> empty;
    for (const SCARD_READERSTATEW& state : states) {
        if (!(state.dwCurrentState & SCARD_STATE_PRESENT)) {
            LogMessage(LOG_TRACE, L"%s: Reader '%s' is reporting that it has no card present. Skipping for now", kFn,
                       state.szReader);
            empty.push_back(&state);
            continue;
        }
        if (ExamineReader(state, context, useCryptoApi, wanted, match)) return true;
    }
    if (empty.empty()) return false;
    LogMessage(LOG_DEBUG, L"%s: Did not find a valid card. Check readers that reported that it has no card.", kFn);
    for (const SCARD_READERSTATEW* state : empty) {
        LogMessage(LOG_DEBUG,
                   L"%s: Reader '%s' is reporting that it has no card present (dwCurrentState=0x%08x). We are checking "
                   L"it anyway.",
                   kFn, state->szReader, static_cast<unsigned>(state->dwCurrentState));
        if (ExamineReader(*state, context, useCryptoApi, wanted, match)) return true;
    }
    return false;
}

}  // namespace

DWORD FindSmartCardCertificate(const std::vector<std::wstring>& acceptableUpns, const std::wstring& desiredSubject,
                               std::wstring& readerName, std::wstring& cardName, std::wstring& containerName,
                               std::wstring& providerName, DWORD* activityCount, DWORD* keySpec) {
    DWORD waitMs = ReadConfigUInt(L"\\Agent\\Configuration\\SmartCardServiceWaitTime", L"5000");
    bool useCryptoApi = ReadConfigBool(L"\\Agent\\Configuration\\UseCryptoAPI", L"false");
    platform::unique_scard_context context;
    if (DWORD failed = Connect(waitMs, context)) return failed;
    LogMessage(LOG_TRACE, L"%s: Got a smart card context.", kFn);
    std::vector<SCARD_READERSTATEW> states;
    std::vector<std::wstring> readers;  // the state records point into it
    GetReaderInfo(states, context, readers, readerName);
    if (states.empty()) {
        LogMessage(LOG_DEBUG, L"%s: No smart card readers attached. Waiting for reader arrival.", kFn);
        if (DWORD failed = WaitForReaderArrival(context)) return failed;
        DWORD settleMs = ReadConfigUInt(L"\\Agent\\Configuration\\SmartCardSSOWaitTime", L"300");
        LogMessage(LOG_TRACE, L"%s: Waiting %d milliseconds for more readers to arrive.", kFn, static_cast<int>(settleMs));
        ::Sleep(settleMs);
        GetReaderInfo(states, context, readers, readerName);
    }
    if (states.empty()) {
        LogMessage(LOG_DEBUG, L"%s: No smart card readers attached.", kFn);
        return static_cast<DWORD>(SCARD_E_NO_READERS_AVAILABLE);
    }
    CardMatch match;
    bool found = SearchReaders(states, context.get(), useCryptoApi, ReadCertificateWanted(acceptableUpns, desiredSubject),
                               match);
    states.clear();
    readers.clear();
    LogMessage(LOG_TRACE, L"%s: Calling SCardReleaseContext.", kFn);
    context.reset();
    LogMessage(LOG_TRACE, L"%s: SCardReleaseContext finished.", kFn);
    if (!found || match.container.empty() || match.provider.empty()) return 0xC0000385;  // STATUS_NO_CERTIFICATE
    readerName = match.reader, cardName = match.card, containerName = match.container, providerName = match.provider;
    if (activityCount) *activityCount = match.activityCount;
    if (keySpec) *keySpec = match.keySpec;
    LogMessage(LOG_DEBUG,
               L"%s: Found card name '%s', reader name '%s', container name '%s', provider name '%s', activity count "
               L"0x%08x and keySpec %d.",
               kFn, cardName.c_str(), readerName.c_str(), containerName.c_str(), providerName.c_str(),
               static_cast<unsigned>(match.activityCount), static_cast<int>(match.keySpec));
    return 0;
}
