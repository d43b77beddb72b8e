#include "Platform.h"

#include "UniqueResource.h"

#include <sddl.h>

#include <atomic>

namespace platform {
namespace {
std::atomic<IPlatform*> g_replacement{nullptr};
}

IPlatform& Get() {
    IPlatform* replacement = g_replacement.load(std::memory_order_acquire);
    return replacement ? *replacement : DefaultPlatform();
}

IPlatform* Set(IPlatform* replacement) {
    return g_replacement.exchange(replacement, std::memory_order_acq_rel);
}

bool ReadProcessUserSid(DWORD processId, std::wstring* sid) {
    unique_handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    HANDLE raw = nullptr;
    if (!process || !::OpenProcessToken(process.get(), TOKEN_QUERY, &raw)) return false;
    unique_handle token(raw);
    BYTE buffer[512];
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size)) return false;
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text) || !text) return false;
    unique_hlocal owned(text);
    *sid = text;
    return true;
}

}  // namespace platform
