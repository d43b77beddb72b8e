// How a request reaches the agent's desktop manager: through the message framework by default;
// tests put a scripted transport in its place to drive every branch of the requests.
#pragma once
#include <windows.h>

namespace CORE {
class PropertyBag;
}

// What a transport answers when no channel to the node manager could be opened, told apart from
// the node manager's own routing failure (2); callers of the agent requests see 2 for both.
constexpr DWORD kNoChannelToNodeManager = 0xFFFFFFFF;

class IDesktopManagerTransport {
public:
    virtual ~IDesktopManagerTransport() = default;
    // 0 on success, else the framework's result code, or kNoChannelToNodeManager.
    virtual DWORD Send(const wchar_t* messageName, CORE::PropertyBag& request, CORE::PropertyBag& response,
                       DWORD timeoutMs) = 0;
};

// The transport in use: the installed one, else the message framework.
IDesktopManagerTransport& DesktopManagerTransport() noexcept;
// Installs a replacement (null restores the framework); returns the previous replacement.
IDesktopManagerTransport* SetDesktopManagerTransport(IDesktopManagerTransport* transport) noexcept;
