#include "DesktopManagerTransport.h"

#include "lib/mfw/common/SysMessage.h"

#include <atomic>

namespace {

// The message framework is not part of this build yet: no channel can be opened.
class FrameworkTransport final : public IDesktopManagerTransport {
public:
    DWORD Send(const wchar_t*, CORE::PropertyBag&, CORE::PropertyBag&, DWORD) override { return 2; }
};

std::atomic<IDesktopManagerTransport*> g_replacement{nullptr};

}  // namespace

IDesktopManagerTransport& DesktopManagerTransport() noexcept {
    static FrameworkTransport framework;
    IDesktopManagerTransport* replacement = g_replacement.load();
    return replacement ? *replacement : framework;
}

IDesktopManagerTransport* SetDesktopManagerTransport(IDesktopManagerTransport* transport) noexcept {
    return g_replacement.exchange(transport);
}
