// How a request reaches the agent's desktop manager: through the message framework by default;
// tests put a scripted transport in its place to drive every branch of the requests.
#pragma once
#include <windows.h>

namespace CORE {
class PropertyBag;
}

class IDesktopManagerTransport {
public:
    virtual ~IDesktopManagerTransport() = default;
    // 0 on success, else the framework's result code (2: no channel could be opened).
    virtual DWORD Send(const wchar_t* messageName, CORE::PropertyBag& request, CORE::PropertyBag& response,
                       DWORD timeoutMs) = 0;
};

// The transport in use: the installed one, else the message framework.
IDesktopManagerTransport& DesktopManagerTransport() noexcept;
// Installs a replacement (null restores the framework); returns the previous replacement.
IDesktopManagerTransport* SetDesktopManagerTransport(IDesktopManagerTransport* transport) noexcept;
