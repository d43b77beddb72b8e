#include "MessageFrameWork.h"

#include "lib/mfw/common/channel/SharedMemChannel.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "lib/mfw/common/threads/corecritsec.h"
#include "platform/UniqueResource.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

namespace CORE {
namespace {

struct PendingRequest {
    std::wstring messageId;
    MessageChannel* channel = nullptr;  // not held: the request never outlives its SendMsg
    std::wstring queue;
    bool answered = false;
    DWORD result = RESULT_ERROR;
    PropertyBag response;
    bool hasAttachment = false;
    std::vector<BYTE> attachment;
    HANDLE waitEvent = nullptr;
    bool eventWait = false;     // the waiter blocks on waitEvent (it has a cancel event too)
    volatile LONG signalled = 0;  // 1 once answered or woken; the waiter blocks on this word otherwise
};

// Wakes the waiter of `pending`; called with the pending lock held, so it cannot go meanwhile.
void WakeWaiter(PendingRequest& pending) {
    ::InterlockedExchange(&pending.signalled, 1);
    ::WakeByAddressAll(const_cast<LONG*>(&pending.signalled));
    if (pending.eventWait) ::SetEvent(pending.waitEvent);
}

class MessageFrameWorkInt final : public MessageFrameWork, public IChannelSink {
public:
    MessageChannel* ConnectChannel(unsigned type, const std::wstring& serverName, const std::wstring&,
                                   const std::wstring&) override {
        try {
            if (shuttingDown_) return nullptr;
            if (type != CHANNEL_LOCAL_SHAREDMEM) {
                if (type > CHANNEL_SOCKET)
                    LogMessage(LOG_ERROR, L"ConnectChannel called with bad channel type, type=%u", type);
                return nullptr;
            }
            MessageChannel* channel = SharedMemChannel::Connect(serverName, this);
            if (!channel) return nullptr;
            channel->SetFrameworkShuttingDown(&shuttingDown_);
            std::lock_guard<corecritsec> guard(channelsLock_);
            channel->AddRef();  // the framework's own hold, for shutdown
            channels_.push_back(channel);
            return channel;
        } catch (...) {
            LogMessage(LOG_ERROR, L"ConnectChannel: exception");
            return nullptr;
        }
    }

    DWORD SendMsg(const std::wstring& queue, const std::wstring& hint, const PropertyBag& request, PropertyBag& response,
                  MessageChannel* channel, DWORD timeoutMs, HANDLE cancelEvent, std::vector<BYTE>* attachment) override {
        if (shuttingDown_) return RESULT_ERROR;
        platform::com_ptr<MessageChannel> defaultHold;  // the default channel stays for the call
        MessageChannel* target = channel ? channel : HoldDefaultChannel(&defaultHold);
        if (!target) return RESULT_ERROR;
        HANDLE waitEvent = TakeEvent();
        if (!waitEvent) {
            LogMessage(LOG_ERROR, L"Could not CreateEvent for SendMsg");
            return RESULT_ERROR;
        }
        response.Clear();
        Message message;
        if (!NewRequest(queue, hint, request, &message)) {
            ReturnEvent(waitEvent);
            return RESULT_ERROR;
        }
        auto pending = std::make_shared<PendingRequest>();
        pending->messageId = message.messageId;
        pending->channel = target;
        pending->queue = queue;
        pending->waitEvent = waitEvent;
        pending->eventWait = cancelEvent != nullptr;
        {
            std::lock_guard<corecritsec> guard(pendingLock_);
            pending_.push_back(pending);
        }
        if (shuttingDown_ || target->IsClosed() || !target->SendMessage(message)) {
            Remove(pending);
            ReturnEvent(waitEvent);
            return RESULT_ERROR;
        }
        WaitForAnswer(*pending, cancelEvent, timeoutMs);
        return CollectAnswer(pending, message, target, response, attachment);
    }

    void CloseChannel(MessageChannel* channel) override {
        if (!channel) return;
        channel->Close();
        {
            std::lock_guard<corecritsec> guard(channelsLock_);
            if (defaultChannel_ == channel) {
                defaultChannel_ = nullptr;
                channel->Release();
            }
            auto it = std::find(channels_.begin(), channels_.end(), channel);
            if (it != channels_.end()) {
                channels_.erase(it);
                channel->Release();  // the framework's hold
            }
        }
        channel->Release();  // the caller's hold
    }

    void SetDefaultChannel(MessageChannel* channel) override {
        std::lock_guard<corecritsec> guard(channelsLock_);
        if (channel) channel->AddRef();
        if (defaultChannel_) defaultChannel_->Release();
        defaultChannel_ = channel;
    }

    void Shutdown() override {
        shuttingDown_ = true;
        {
            std::lock_guard<corecritsec> guard(pendingLock_);
            for (auto& pending : pending_) {
                pending->eventWait = true;  // waiters of either kind wake, and the event is reset on return
                WakeWaiter(*pending);
            }
        }
        std::vector<MessageChannel*> channels;
        {
            std::lock_guard<corecritsec> guard(channelsLock_);
            channels.swap(channels_);
            if (defaultChannel_) {
                channels.push_back(defaultChannel_);
                defaultChannel_ = nullptr;
            }
        }
        for (MessageChannel* channel : channels) {
            channel->Close();
            if (!channel->WaitClosed(kShutdownChannelWaitMs))
                LogMessage(LOG_ERROR, L"CORE::MessageFrameWorkInt::Shutdown(): Channel %s (0x%p): Failed to wait for channel close 0x%08x.",
                           channel->Name().c_str(), channel, static_cast<unsigned>(WAIT_TIMEOUT));
            channel->Release();
        }
        MessageChannel::StopParkedReceivers();
    }

    bool IsShuttingDown() const override { return shuttingDown_; }

    size_t PooledWaitEvents() const override {
        std::lock_guard<corecritsec> guard(poolLock_);
        return pool_.size();
    }

    // --- IChannelSink, on a channel's receive thread ---
    void OnChannelMessage(MessageChannel* channel, Message& message) override {
        if (message.messageType == MSG_RESPONSE_FRAGMENT) return;  // no asynchronous requests here
        if (message.messageType != MSG_RESPONSE) return;
        std::lock_guard<corecritsec> guard(pendingLock_);
        for (auto& pending : pending_) {
            if (pending->answered || pending->messageId != message.replyToId) continue;
            if (pending->channel && pending->channel != channel) {
                LogMessage(LOG_INFO, L"ResponseHandler: RESPONSE RECEIVED FROM THE WRONG CHANNEL IS NOT ALLOWED");
                return;
            }
            pending->answered = true;
            pending->result = message.ResultCode();
            pending->response = std::move(message.payload);
            pending->hasAttachment = message.hasAttachment;
            pending->attachment = std::move(message.attachment);
            WakeWaiter(*pending);
            return;
        }
    }

    void OnChannelClosed(MessageChannel* channel) override {
        std::lock_guard<corecritsec> guard(pendingLock_);
        for (auto& pending : pending_) {
            if (pending->answered || pending->channel != channel) continue;
            pending->answered = true;
            pending->result = RESULT_SHUTTING_DOWN;
            WakeWaiter(*pending);
        }
    }

private:
    MessageChannel* HoldDefaultChannel(platform::com_ptr<MessageChannel>* hold) {
        std::lock_guard<corecritsec> guard(channelsLock_);
        if (defaultChannel_) *hold = platform::com_ptr<MessageChannel>(defaultChannel_);
        return hold->get();
    }

    bool NewRequest(const std::wstring& queue, const std::wstring& hint, const PropertyBag& request, Message* message) {
        try {
            *message = Message::NewRequest(queue, hint, request);
            message->AddLanguageId(::GetThreadUILanguage(), defaultLanguageId_);
        } catch (...) {
            return false;
        }
        return !message->messageId.empty();
    }

    static void WaitForAnswer(PendingRequest& pending, HANDLE cancelEvent, DWORD timeoutMs) {
        if (cancelEvent) {
            HANDLE handles[2] = {pending.waitEvent, cancelEvent};
            ::WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
            return;
        }
        // Without a cancel event the waiter sleeps on the request's own word: the receive
        // thread wakes it without a kernel event (under Wine, without a trip to wineserver),
        // which is most of the hand-over between the two threads.
        const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        for (;;) {
            if (::InterlockedCompareExchange(&pending.signalled, 0, 0) != 0) return;
            const ULONGLONG now = ::GetTickCount64();
            if (timeoutMs != INFINITE && now >= deadline) return;
            LONG expected = 0;
            ::WaitOnAddress(&pending.signalled, &expected, sizeof(LONG),
                            timeoutMs == INFINITE ? INFINITE : static_cast<DWORD>(deadline - now));
        }
    }

    // After the wait: the answer, or on time-out or cancel a cancel message to the agent.
    DWORD CollectAnswer(const std::shared_ptr<PendingRequest>& pending, const Message& message, MessageChannel* target,
                        PropertyBag& response, std::vector<BYTE>* attachment) {
        if (shuttingDown_) {
            Remove(pending);
            ReturnEvent(pending->waitEvent, true);
            return RESULT_ERROR;
        }
        bool answered;
        {
            std::lock_guard<corecritsec> guard(pendingLock_);
            answered = pending->answered;
            if (!answered) pending->answered = true;  // a late response finds nothing to fill
        }
        Remove(pending);
        ReturnEvent(pending->waitEvent, pending->eventWait);
        if (answered) {
            response = std::move(pending->response);
            if (attachment) *attachment = std::move(pending->attachment);
            return pending->result;
        }
        // Time-out or cancel: tell the agent to stop working on it.
        if (!target->IsClosed()) target->SendMessage(message.MakeCancel());
        return RESULT_TIMEOUT;
    }

    HANDLE TakeEvent() {
        {
            std::lock_guard<corecritsec> guard(poolLock_);
            if (!pool_.empty()) {
                HANDLE event = pool_.back().release();
                pool_.pop_back();
                return event;
            }
        }
        return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }

    // `used`: the event may have been set and needs resetting before anyone else waits on it.
    void ReturnEvent(HANDLE event, bool used = true) {
        platform::unique_handle returned(event);  // closed here unless the pool keeps it
        if (used) ::ResetEvent(event);
        std::lock_guard<corecritsec> guard(poolLock_);
        if (pool_.size() < kWaitEventPoolSize) pool_.push_back(std::move(returned));
    }

    void Remove(const std::shared_ptr<PendingRequest>& pending) {
        std::lock_guard<corecritsec> guard(pendingLock_);
        pending_.erase(std::remove(pending_.begin(), pending_.end(), pending), pending_.end());
    }

    std::atomic<bool> shuttingDown_{false};
    const DWORD defaultLanguageId_ = ::GetSystemDefaultUILanguage();
    mutable corecritsec pendingLock_;
    std::vector<std::shared_ptr<PendingRequest>> pending_;
    mutable corecritsec poolLock_;
    std::vector<platform::unique_handle> pool_;
    mutable corecritsec channelsLock_;
    std::vector<MessageChannel*> channels_;
    MessageChannel* defaultChannel_ = nullptr;
};

}  // namespace

MessageFrameWork* MessageFrameWork::GetFrameWork() {
    // Never destroyed: channel threads may still report to it while the process ends.
    static MessageFrameWorkInt* instance = new MessageFrameWorkInt;
    return instance;
}

}  // namespace CORE
