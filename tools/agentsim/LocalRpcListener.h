// The stand-in agent's RPC servers listen the way the agent's services do: ncalrpc on a named
// endpoint, one interface each, all on the process's one listener.
#pragma once
#include "lib/mfw/common/log/SysMessage.h"

#include <windows.h>
#include <rpc.h>

#include <string>

namespace agentsim {

// Serves `ifSpec` on ncalrpc endpoint `endpoint`; false (logged) when it cannot.
inline bool ServeLocalRpc(std::wstring endpoint, RPC_IF_HANDLE ifSpec) {
    RPC_STATUS status = ::RpcServerUseProtseqEpW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncalrpc")),
                                                 RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                                                 reinterpret_cast<RPC_WSTR>(endpoint.data()), nullptr);
    if (status == RPC_S_OK) status = ::RpcServerRegisterIf(ifSpec, nullptr, nullptr);
    if (status == RPC_S_OK) {
        status = ::RpcServerListen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, TRUE);
        if (status == RPC_S_ALREADY_LISTENING) status = RPC_S_OK;  // the other interface's listener
    }
    if (status != RPC_S_OK)
        CORE::LogMessage(CORE::LOG_ERROR, L"agentsim: RPC listener on %s failed, status=%d", endpoint.c_str(),
                         static_cast<int>(status));
    return status == RPC_S_OK;
}

}  // namespace agentsim
