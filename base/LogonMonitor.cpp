#include "LogonMonitor.h"

#include "SessionInfo.h"

#include "lib/mfw/common/threads/corecritsec.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/Platform.h"

#include <cstring>
#include <mutex>
#include <string>

using namespace CORE;

namespace {

constexpr GUID kProvider = {0x0d5380e5, 0xa6ba, 0x4cfc, {0xb3, 0x1e, 0x48, 0x4c, 0x77, 0x5e, 0x4d, 0xb9}};
constexpr size_t kStringField = 1024;

// The process-wide event writer: registers the provider on creation, unregisters on teardown.
class DVLMClient {
public:
    DVLMClient() noexcept {
        if (platform::Get().EventRegister(kProvider, &handle_) != ERROR_SUCCESS) handle_ = 0;
    }
    ~DVLMClient() {
        if (handle_) platform::Get().EventUnregister(handle_);
    }
    HRESULT Write(DWORD kind, const wchar_t* source, const wchar_t* component, const wchar_t* eventName,
                  DWORD sessionId) noexcept {
        if (!source || !*source || !component || !*component || !eventName || !*eventName) return E_INVALIDARG;
        if (!handle_) return E_FAIL;
        SYSTEMTIME local;
        ::GetLocalTime(&local);
        FILETIME fileTime = {};
        ::SystemTimeToFileTime(&local, &fileTime);
        const ULONGLONG time = (ULONGLONG(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
        LogonMonitorRecord record;
        BuildLogonMonitorRecord(sessionId == 0xFFFFFFFF ? GetSessionId() : sessionId, ::GetCurrentProcessId(), kind,
                                time, source, component, eventName, &record);
        EVENT_DESCRIPTOR descriptor = {};
        descriptor.Id = 16;
        descriptor.Version = 1;
        descriptor.Opcode = kind == kLogonMonitorNotify ? 3 : kind == kLogonMonitorBegin ? 1 : kind == kLogonMonitorEnd ? 2 : 4;
        EVENT_DATA_DESCRIPTOR data;
        EventDataDescCreate(&data, record.data(), static_cast<ULONG>(record.size()));
        ULONG result = platform::Get().EventWrite(handle_, descriptor, 1, &data);
        return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(result);
    }

private:
    REGHANDLE handle_ = 0;
};

corecritsec& ClientLock() {
    static corecritsec lock;
    return lock;
}
DVLMClient* g_client = nullptr;
bool g_shutDown = false;

DVLMClient* Client() {
    std::lock_guard<corecritsec> guard(ClientLock());
    if (!g_client && !g_shutDown) g_client = new (std::nothrow) DVLMClient();
    return g_client;
}

const wchar_t* KindName(DWORD kind) {
    switch (kind) {
    case kLogonMonitorNotify: return L"NOTIFY";
    case kLogonMonitorBegin: return L"BEGIN";
    case kLogonMonitorEnd: return L"END";
    default: return L"UNKNOWN";
    }
}

void PutU32(BYTE* at, DWORD value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<BYTE>(value >> (8 * i));
}

void PutString(BYTE* at, const wchar_t* text) {
    const size_t maxChars = kStringField / sizeof(wchar_t) - 1;  // 511 and the terminator
    size_t length = text ? wcsnlen(text, maxChars) : 0;
    for (size_t i = 0; i < length; ++i) {
        at[2 * i] = static_cast<BYTE>(text[i] & 0xFF);
        at[2 * i + 1] = static_cast<BYTE>(text[i] >> 8);
    }
}

void Write(DWORD kind, const wchar_t* source, const wchar_t* component, const wchar_t* eventName,
           DWORD sessionId) noexcept {
    const DWORD savedError = ::GetLastError();
    if (DVLMClient* client = Client()) {
        try {
            const std::wstring what = std::wstring(component ? component : L"") + L" Sending " +
                                      (eventName ? eventName : L"") + L"_" + KindName(kind);
            LogMessage(LOG_INFO, L"dvlm - %s", what.c_str());
            HRESULT hr = client->Write(kind, source, component, eventName, sessionId);
            if (FAILED(hr)) {
                const std::wstring failed = std::wstring(L"dvlm - ") + (component ? component : L"") + L" Failed Sending " +
                                            (eventName ? eventName : L"") + L"_" + KindName(kind);
                LogMessage(LOG_INFO, L"%s: 0x%X", failed.c_str(), static_cast<unsigned>(hr));
            }
        } catch (...) {
        }
    }
    ::SetLastError(savedError);
}

}  // namespace

void BuildLogonMonitorRecord(DWORD sessionId, DWORD processId, DWORD kind, ULONGLONG localTime, const wchar_t* source,
                             const wchar_t* component, const wchar_t* eventName, LogonMonitorRecord* record) noexcept {
    BYTE* r = record->data();
    std::memset(r, 0, record->size());
    PutU32(r + 0, sessionId);
    PutU32(r + 4, processId);
    PutU32(r + 8, kind);
    PutU32(r + 12, static_cast<DWORD>(localTime));
    PutU32(r + 16, static_cast<DWORD>(localTime >> 32));
    PutString(r + 20, source);
    PutString(r + 20 + kStringField, component);
    PutString(r + 20 + 2 * kStringField, eventName);
}

void LogonMonitorNotify(const wchar_t* source, const wchar_t* component, const wchar_t* eventName,
                        DWORD sessionId) noexcept {
    Write(kLogonMonitorNotify, source, component, eventName, sessionId);
}

void LogonMonitorBegin(const wchar_t* source, const wchar_t* component, const wchar_t* eventName,
                       DWORD sessionId) noexcept {
    Write(kLogonMonitorBegin, source, component, eventName, sessionId);
}

void LogonMonitorEnd(const wchar_t* source, const wchar_t* component, const wchar_t* eventName,
                     DWORD sessionId) noexcept {
    Write(kLogonMonitorEnd, source, component, eventName, sessionId);
}

void ShutdownLogonMonitor() noexcept {
    std::lock_guard<corecritsec> guard(ClientLock());
    delete g_client;
    g_client = nullptr;
    g_shutDown = true;
}
