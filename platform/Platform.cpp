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

RPC_STATUS ComposeLocalRpcBinding(const std::wstring& endpoint, RPC_BINDING_HANDLE* binding) {
    *binding = nullptr;
    RPC_WSTR text = nullptr;
    RPC_STATUS status = ::RpcStringBindingComposeW(nullptr, reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncalrpc")),
                                                   nullptr, reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(endpoint.c_str())),
                                                   nullptr, &text);
    if (status != RPC_S_OK) return status;
    status = ::RpcBindingFromStringBindingW(text, binding);
    ::RpcStringFreeW(&text);
    if (status != RPC_S_OK) *binding = nullptr;
    return status;
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
