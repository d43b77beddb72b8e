// The process-wide message framework, used here as a client: open a channel to the local
// node manager, send a request to a named queue and wait for its final response, close the
// channel. Responses are matched to waiting requests by message id on the channels' receive
// threads; every failure maps to a result code (Message.h).
#pragma once
#include "lib/mfw/common/wire/Message.h"
#include "lib/mfw/common/channel/MessageChannel.h"

#include <string>
#include <vector>

namespace CORE {

class MessageFrameWork {
public:
    enum ChannelType : unsigned { CHANNEL_SERVER = 0, CHANNEL_LOCAL_SHAREDMEM = 1, CHANNEL_SOCKET = 2 };
    static constexpr size_t kWaitEventPoolSize = 8;
    static constexpr DWORD kShutdownChannelWaitMs = 5000;

    virtual ~MessageFrameWork() = default;

    // The framework instance; never fails.
    static MessageFrameWork* GetFrameWork();

    // Opens and authenticates a channel; null on any failure. The caller holds it until
    // CloseChannel. Only CHANNEL_LOCAL_SHAREDMEM is served by this system.
    virtual MessageChannel* ConnectChannel(unsigned type, const std::wstring& serverName = std::wstring(),
                                           const std::wstring& endpoint = std::wstring(),
                                           const std::wstring& authOptions = std::wstring()) = 0;
    // Sends a request to `queue` with `hint` and waits up to `timeoutMs` (and for `cancelEvent`
    // when given) for the final response. Returns its result code; see the result table.
    // `attachment`, when given, receives the response's attachment.
    virtual DWORD SendMsg(const std::wstring& queue, const std::wstring& hint, const PropertyBag& request,
                          PropertyBag& response, MessageChannel* channel, DWORD timeoutMs, HANDLE cancelEvent = nullptr,
                          std::vector<BYTE>* attachment = nullptr) = 0;
    // Closes the channel and releases the caller's hold on it.
    virtual void CloseChannel(MessageChannel* channel) = 0;
    // The channel SendMsg uses when given none (none by default in this system).
    virtual void SetDefaultChannel(MessageChannel* channel) = 0;
    // Wakes every waiter (they return 1), closes every channel and waits for them.
    virtual void Shutdown() = 0;
    virtual bool IsShuttingDown() const = 0;
    // Number of wait events kept for reuse.
    virtual size_t PooledWaitEvents() const = 0;
};

}  // namespace CORE
