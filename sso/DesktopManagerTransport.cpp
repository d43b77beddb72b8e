#include "DesktopManagerTransport.h"

#include "lib/mfw/common/MessageFrameWork.h"

#include <atomic>

namespace {

// One channel per request to the local node manager, closed whatever happens.
class FrameworkTransport final : public IDesktopManagerTransport {
public:
    DWORD Send(const wchar_t* messageName, CORE::PropertyBag& request, CORE::PropertyBag& response,
               DWORD timeoutMs) override {
        CORE::MessageFrameWork* framework = CORE::MessageFrameWork::GetFrameWork();
        CORE::MessageChannel* channel = framework->ConnectChannel(CORE::MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
        if (!channel) return kNoChannelToNodeManager;
        struct Close {
            CORE::MessageFrameWork* framework;
            CORE::MessageChannel* channel;
            ~Close() { framework->CloseChannel(channel); }
        } close{framework, channel};
        return framework->SendMsg(L"DesktopManager", messageName, request, response, channel, timeoutMs);
    }
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
