#include "lib/mfw/common/channel/MessageChannel.h"

#include "lib/mfw/common/bag/CharEncConverter.h"
#include "lib/mfw/common/channel/ChannelSettings.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/channel/NodeManagerNames.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace CORE {

const wchar_t kKeepAliveStartHint[] = L"__KeepAliveInternalStart__";
const wchar_t kLocalStartupHint[] = L"__LocalInternalStartup__";
const wchar_t kLocalChallengeHint[] = L"__LocalInternalChallenge__";

// Receive threads serve one channel at a time and, between channels, wait a little for the
// next: every agent request opens a channel of its own, and starting a thread costs more than
// the whole exchange (milliseconds under Wine). At most kParkedReceivers wait; a waiting
// thread ends after kParkMs, or at once when the framework shuts down.
namespace {
constexpr size_t kParkedReceivers = 2;
constexpr DWORD kParkMs = 5000;
}  // namespace

class MessageChannel::ReceiveThread : public corerunnable {
public:
    ReceiveThread() : corerunnable(L"MessageChannel ReceiveThread") {
        wake_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    }

    // Hands `channel` (with a reference for this thread) to a waiting thread or a new one.
    static bool Serve(MessageChannel* channel) {
        channel->AddRef();
        {
            std::lock_guard<std::mutex> guard(Pool().lock);
            if (!Pool().parked.empty() && !Pool().stopping) {
                ReceiveThread* thread = Pool().parked.back();
                Pool().parked.pop_back();
                thread->next_ = channel;
                ::SetEvent(thread->wake_.get());
                return true;
            }
        }
        auto* thread = new (std::nothrow) ReceiveThread();
        if (!thread || !thread->wake_) {
            if (thread) thread->Release();
            channel->Release();
            return false;
        }
        thread->next_ = channel;
        bool started = thread->StartThread();
        if (!started) {
            thread->next_ = nullptr;
            channel->Release();
        }
        thread->Release();  // the thread holds its own reference while it runs
        return started;
    }

    // Ends every waiting thread now (framework shutdown, module teardown).
    static void StopParked() {
        std::lock_guard<std::mutex> guard(Pool().lock);
        Pool().stopping = true;
        for (ReceiveThread* thread : Pool().parked) ::SetEvent(thread->wake_.get());
        Pool().parked.clear();
    }

protected:
    void ThreadEntry() override {
        MessageChannel* channel = nullptr;
        {
            std::lock_guard<std::mutex> guard(Pool().lock);
            channel = next_;
            next_ = nullptr;
        }
        while (channel) {
            channel->ReceiveLoop();
            channel->Release();
            channel = nullptr;
            {
                std::lock_guard<std::mutex> guard(Pool().lock);
                if (Pool().stopping || Pool().parked.size() >= kParkedReceivers) return;
                Pool().parked.push_back(this);
            }
            const ULONGLONG deadline = ::GetTickCount64() + kParkMs;
            for (;;) {
                const ULONGLONG now = ::GetTickCount64();
                ::WaitForSingleObject(wake_.get(), now < deadline ? static_cast<DWORD>(deadline - now) : 0);
                std::lock_guard<std::mutex> guard(Pool().lock);
                if (next_) {  // Serve took us off the list
                    channel = next_;
                    next_ = nullptr;
                    break;
                }
                if (Pool().stopping) return;  // StopParked emptied the list
                if (::GetTickCount64() >= deadline) {
                    auto& parked = Pool().parked;
                    parked.erase(std::remove(parked.begin(), parked.end(), this), parked.end());
                    return;
                }
                // A wake meant for an earlier turn: wait on.
            }
        }
    }

private:
    struct PoolState {
        std::mutex lock;
        std::vector<ReceiveThread*> parked;
        bool stopping = false;
    };
    static PoolState& Pool() {
        static PoolState* pool = new PoolState;  // threads may outlive statics
        return *pool;
    }

    platform::unique_handle wake_;
    MessageChannel* next_ = nullptr;  // guarded by the pool lock
};

void MessageChannel::StopParkedReceivers() { ReceiveThread::StopParked(); }

MessageChannel::MessageChannel(const std::wstring& name, bool outgoing) noexcept : outgoing_(outgoing) {
    try {
        name_ = name;
    } catch (...) {
    }
    stopEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    lastReceived_ = ::GetTickCount64();
}

MessageChannel::~MessageChannel() {
    StopTimers();
    if (transport_) transport_->Close();
    LogMessage(LOG_DEBUG, L"CORE::MessageChannel::~MessageChannel(): Channel %s (0x%p): DELETED", name_.c_str(), this);
}

void MessageChannel::AttachTransport(std::unique_ptr<SharedMemTransport> transport) noexcept {
    transport_ = std::move(transport);
}

void MessageChannel::AttachSecurity(std::unique_ptr<SecurityContext> security) noexcept {
    security_ = std::move(security);
    protectSend_ = protectReceive_ = security_ && security_->Established();
}

void MessageChannel::AttachSecurity(std::unique_ptr<SecurityContext> security, bool protectReceive) noexcept {
    AttachSecurity(std::move(security));
    protectReceive_ = protectSend_ && protectReceive;
}

void MessageChannel::ProtectReceive() noexcept { protectReceive_ = protectSend_; }

void MessageChannel::SetPeer(unsigned level, int encoding) noexcept {
    peerLevel_ = level > kMaxProtocolLevel ? kMaxProtocolLevel : level;
    encoding_ = encoding;
}

bool MessageChannel::SendControl(uint32_t word) {
    if (!transport_) return false;
    BYTE packet[4];
    StoreU32BE(packet, word);
    // Never wait behind a message being sent: the receive thread (keep-alive responses) and
    // the timer thread must not block on a peer that is slow to make room, and a message on
    // its way is traffic for the peer anyway.
    if (!sendLock_.try_lock()) return false;
    std::lock_guard<corecritsec> guard(sendLock_, std::adopt_lock);
    return transport_->Send(packet, 4, word == Packet::kSessionAborted ? 200 : 1000) == SharedMemTransport::OK;
}

bool MessageChannel::SendRaw(const BYTE* data, size_t length) {
    if (!transport_) return false;
    std::lock_guard<corecritsec> guard(sendLock_);
    return transport_->Send(data, length, kSendTimeoutMs) == SharedMemTransport::OK;
}

bool MessageChannel::SendMessage(const Message& message) {
    if (!transport_ || closing_) return false;
    const WireForm form = ChooseWireForm(peerLevel_, encoding_);
    SecureBytes bytes;
    bool ok = false;
    switch (form) {
    case WIRE_FORM_UTF8: ok = message.Flatten(CHAR_ENC_UTF8, &bytes); break;
    case WIRE_FORM_PLAIN: ok = message.FlattenPlain(&bytes); break;
    case WIRE_FORM_LEGACY: {
        std::wstring text;
        ok = message.FlattenLegacy(&text);
        const BYTE* raw = reinterpret_cast<const BYTE*>(text.data());
        bytes.assign(raw, raw + text.size() * sizeof(wchar_t));
        break;
    }
    case WIRE_FORM_NONE:
        LogMessage(LOG_ERROR,
                   L"CORE::MessageChannel::FlattenAndSend(): Channel %s (0x%p): Failed to find valid char encoding, source=%s, target=%s",
                   name_.c_str(), this, CharEncodingName(CHAR_ENC_UTF16), CharEncodingName(encoding_));
        return false;
    }
    if (!ok) return false;
    std::lock_guard<corecritsec> guard(sendLock_);
    // Room for the packet and chunk headers and the package's token in one ring record.
    const uint32_t overhead = 64 + (security_ ? security_->HeaderBytes() + security_->TrailerBytes() : 0);
    uint32_t chunkBytes = Packet::kDefaultChunkBytes;
    if (transport_->MaxRecordBytes() < chunkBytes + overhead) chunkBytes = transport_->MaxRecordBytes() - overhead;
    std::function<bool(const BYTE*, size_t, SecureBytes*)> protect;
    if (protectSend_)
        protect = [this](const BYTE* data, size_t length, SecureBytes* body) {
            return security_->Protect(data, length, body);
        };
    std::vector<SecureBytes> packets;
    if (!Packet::BuildPackets(bytes.data(), bytes.size(), chunkBytes, nextChunkId_, form == WIRE_FORM_LEGACY, protect,
                              &packets)) {
        LogMessage(LOG_ERROR, L"CORE::MessageChannel::SendChunk(): Channel %s (0x%p): Send size error, size = %u",
                   name_.c_str(), this, static_cast<unsigned>(bytes.size()));
        return false;
    }
    if (packets.size() > 1) nextChunkId_ = (nextChunkId_ % Packet::kChunkIdMask) + 1;
    for (const auto& packet : packets) {
        SharedMemTransport::Status status = transport_->Send(packet.data(), packet.size(), kSendTimeoutMs, stopEvent_.get());
        if (status != SharedMemTransport::OK) {
            LogMessage(LOG_WARN, L"CORE::MessageChannel::SendMessage(): Channel %s (0x%p): send failed, status=%d",
                       name_.c_str(), this, static_cast<int>(status));
            return false;
        }
    }
    return true;
}

bool MessageChannel::Deliver(SecureBytes& bytes, bool legacyText, std::deque<Message>* messages) {
    Message message;
    bool ok;
    const WireForm form = ChooseWireForm(peerLevel_, encoding_);
    if (legacyText) {
        ok = form == WIRE_FORM_LEGACY && bytes.size() % 2 == 0 &&
             Message::ParseLegacy(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2, &message);
    } else {
        int expected = form == WIRE_FORM_UTF8 ? CHAR_ENC_UTF8 : CHAR_ENC_UNDEFINED;
        ok = form != WIRE_FORM_LEGACY && form != WIRE_FORM_NONE &&
             Message::Parse(bytes.data(), bytes.size(), expected, &message);
    }
    if (!ok) {
        LogMessage(LOG_ERROR, L"CORE::MessageChannel::ChannelRecvDone(): Channel %s (0x%p): Invalid message received",
                   name_.c_str(), this);
        // Whatever answer it was, its waiter would only wait out its time: close, so they all fail now.
        return false;
    }
    messages->push_back(std::move(message));
    return true;
}

// A control word: keep-alive requests are answered, an abort stops the channel (false).
bool MessageChannel::ReceiveControl(uint32_t word) {
    if (word == Packet::kKeepAliveRequest) {
        LogMessage(LOG_TRACE, L"CORE::MessageChannel::ChannelRecvDone(): Channel %s (0x%p): Sending keep alive response",
                   name_.c_str(), this);
        SendControl(Packet::kKeepAliveResponse);
    } else if (word == Packet::kSessionAborted) {
        LogMessage(LOG_INFO, L"CORE::MessageChannel::ChannelRecvDone(): Channel %s (0x%p): Session aborted by the remote end",
                   name_.c_str(), this);
        return false;
    }
    return true;
}

// A chunk of a message in parts; the last one delivers the whole. False: the stream is broken.
bool MessageChannel::ReceiveChunk(const Packet::View& packet, const SecureBytes& body,
                                  std::deque<Message>* messages) {
    SecureBytes whole;
    const bool first = (packet.kind & Packet::KIND_CHUNK_NEXT) == 0;
    const wchar_t* error = nullptr;
    switch (assembler_.Add(first, packet.chunkField, body.data(), body.size(), &whole)) {
    case Packet::ChunkAssembler::Status::NeedMore: return true;
    case Packet::ChunkAssembler::Status::Complete: return Deliver(whole, false, messages);
    case Packet::ChunkAssembler::Status::FirstWhileChunking:
        error = L"CORE::MessageChannel::MsgChunkReceived(): Channel %s (0x%p): Invalid first message chunk when already chunking, closing down";
        break;
    case Packet::ChunkAssembler::Status::BadContinuationId:
        error = L"CORE::MessageChannel::MsgChunkReceived(): Channel %s (0x%p): Invalid continuation chunk message id received, closing down";
        break;
    case Packet::ChunkAssembler::Status::BadLastId:
        error = L"CORE::MessageChannel::MsgChunkReceived(): Channel %s (0x%p): Invalid last chunk message id received, closing down";
        break;
    case Packet::ChunkAssembler::Status::BadIdFormat:
        error = L"CORE::MessageChannel::MsgChunkReceived(): Channel %s (0x%p): Invalid chunk message id format received, closing down";
        break;
    case Packet::ChunkAssembler::Status::BadSize:
        error = L"CORE::MessageChannel::ChannelRecvDone(): Channel %s (0x%p): Invalid message size received, closing down";
        break;
    }
    LogMessage(LOG_ERROR, error, name_.c_str(), this);
    return false;
}

// One packet of a received block. False: the channel must close.
bool MessageChannel::ReceivePacket(const Packet::View& packet, std::deque<Message>* messages) {
    if (packet.word < Packet::kControlLimit) return ReceiveControl(packet.word);
    const bool isProtected = (packet.kind & Packet::KIND_PROTECTED) != 0;
    // Once a context is established every message must come protected, and before that
    // none can.
    if (isProtected != protectReceive_ || packet.kind == Packet::KIND_RESERVED) {
        LogMessage(LOG_ERROR, L"CORE::MessageChannel::ChannelRecvDone(): Channel %s (0x%p): Invalid message received",
                   name_.c_str(), this);
        return false;
    }
    SecureBytes body;
    if (isProtected) {
        if (!security_->Unprotect(packet.body, packet.bodyLength, &body)) {
            LogMessage(LOG_ERROR,
                       L"CORE::MessageChannel::ChannelRecvDone(): Channel %s (0x%p): Invalid message received, protection status 0x%08x",
                       name_.c_str(), this, static_cast<unsigned>(security_->LastStatus()));
            // Sequence numbers are now out of step with the peer: nothing later can be read.
            return false;
        }
    } else {
        body.assign(packet.body, packet.body + packet.bodyLength);
    }
    if (packet.kind & Packet::KIND_CHUNK) return ReceiveChunk(packet, body, messages);
    if (assembler_.Active()) {
        LogMessage(LOG_ERROR,
                   L"CORE::MessageChannel::MsgChunkReceived(): Channel %s (0x%p): Invalid continuation chunk message id received, closing down",
                   name_.c_str(), this);
        return false;
    }
    return Deliver(body, packet.kind == Packet::KIND_LEGACY_TEXT, messages);
}

bool MessageChannel::ChannelRecvDone(const BYTE* data, size_t size, std::deque<Message>* messages) {
    lastReceived_ = ::GetTickCount64();
    switch (Packet::ParseBlock(data, size, [&](const Packet::View& packet) { return ReceivePacket(packet, messages); })) {
    case Packet::ParseStatus::Ok: return true;
    case Packet::ParseStatus::Stopped: return false;
    case Packet::ParseStatus::InvalidSize:
        LogMessage(LOG_ERROR, L"CORE::MessageChannel::ChannelRecvDone(): Channel %s (0x%p): Invalid message size received, closing down",
                   name_.c_str(), this);
        return false;
    case Packet::ParseStatus::OverrunSize:
        LogMessage(LOG_ERROR, L"CORE::MessageChannel::ChannelRecvDone(): Channel %s (0x%p): Buffer overrun on read packet size",
                   name_.c_str(), this);
        return false;
    case Packet::ParseStatus::OverrunPacket:
        LogMessage(LOG_ERROR, L"CORE::MessageChannel::ChannelRecvDone(): Channel %s (0x%p): Buffer overrun on read packet",
                   name_.c_str(), this);
        return false;
    }
    return false;
}

bool MessageChannel::ReadMessage(Message* message, DWORD timeoutMs) {
    if (!transport_) return false;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    std::deque<Message> messages;
    SecureBytes record;
    for (;;) {
        if (!messages.empty()) {
            *message = std::move(messages.front());
            return true;
        }
        ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return false;
        auto status = transport_->Receive(&record, static_cast<DWORD>(deadline - now), stopEvent_.get());
        if (status != SharedMemTransport::OK) return false;
        if (!ChannelRecvDone(record.data(), record.size(), &messages)) return false;
    }
}

void MessageChannel::RunReceiveLoop(IChannelSink* sink) {
    sink_ = sink;
    ReceiveLoop();
}

bool MessageChannel::StartReceiving(IChannelSink* sink) {
    sink_ = sink;
    return ReceiveThread::Serve(this);
}

bool MessageChannel::HandleInternal(Message& message) {
    if (message.messageType != MSG_ONEWAY) return false;
    if (message.queueHint == kKeepAliveStartHint) {
        unsigned long seconds = ParseUInt(message.payload.Get(L"Timeout"), true);
        // The peer's period wins, so both sides use the same.
        if (seconds > 0 && seconds < 86400 && seconds != keepAliveSeconds_) UseKeepAlive(static_cast<unsigned>(seconds), false);
        return true;
    }
    if (message.queueHint == kLocalChallengeHint) {
        // A peer must not make this process set some other event of the machine.
        const std::wstring named = message.payload.Get(L"challengeEvent");
        if (challengeEvent_.empty() || named != challengeEvent_) {
            LogMessage(LOG_ERROR,
                       L"CORE::MessageChannel::GetChallengeEvent(): Channel %s (0x%p): MessageChannel: refusing a local client challenge for '%s', not this channel's event",
                       name_.c_str(), this, named.c_str());
            return true;
        }
        std::wstring name = ChallengeEventName(named);
        platform::unique_handle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
        if (!event || !::SetEvent(event.get()))
            LogMessage(LOG_ERROR,
                       L"CORE::MessageChannel::GetChallengeEvent(): Channel %s (0x%p): MessageChannel: Unable to open event for local client challenge",
                       name_.c_str(), this);
        return true;
    }
    return false;
}

void MessageChannel::ReceiveLoop() {
    SecureBytes record;
    std::deque<Message> messages;
    while (!closing_) {
        auto status = transport_->Receive(&record, INFINITE, stopEvent_.get());
        if (status != SharedMemTransport::OK) break;
        messages.clear();
        bool keepOpen = ChannelRecvDone(record.data(), record.size(), &messages);
        for (auto& message : messages) {
            if (HandleInternal(message)) continue;
            if (IChannelSink* sink = sink_.load()) {
                try {
                    sink->OnChannelMessage(this, message);
                } catch (...) {
                    LogMessage(LOG_ERROR, L"CORE::MessageChannel::ProcessMsg(): Channel %s (0x%p): exception in message handler",
                               name_.c_str(), this);
                }
            }
        }
        if (!keepOpen) break;
    }
    Close();
}

void MessageChannel::UseKeepAlive(bool announce) {
    unsigned long seconds = ChannelSettingUInt(L"\\Node Manager\\KeepAliveTimeoutSeconds", L"60");
    keepAliveLog_ = ChannelSettingBool(L"\\Node Manager\\KeepAliveLogMessages", L"false");
    if (seconds == 0 || seconds > 86400) seconds = 60;
    UseKeepAlive(static_cast<unsigned>(seconds), announce);
}

void MessageChannel::UseKeepAlive(unsigned seconds, bool announce) {
    keepAliveSeconds_ = seconds;
    LogMessage(LOG_TRACE, L"CORE::MessageChannel::UseKeepAlive(): Channel (0x%p): KeepAlive timeout %u secs applied to %s channel",
               this, seconds, outgoing_ ? L"outgoing" : L"incoming");
    if (announce) {
        Message start;
        start.messageType = MSG_ONEWAY;
        start.queueHint = kKeepAliveStartHint;
        start.payload.Set(L"Timeout", std::to_wstring(seconds));
        SendMessage(start);
    }
    StopTimers();
    const DWORD period = seconds * 1000;
    keepAliveTimer_ = ScheduleTimer(period / 3 ? period / 3 : 1, true, [this] { KeepAliveTick(); });
    disconnectTimer_ = ScheduleTimer(period, true, [this] { DisconnectTick(); });
}

void MessageChannel::KeepAliveTick() {
    if (closing_ || (frameworkShuttingDown_ && frameworkShuttingDown_->load())) return;
    if (keepAliveLog_)
        LogMessage(LOG_TRACE, L"CORE::keepAliveTimer::TimerCallback(): Channel %s (0x%p): Sending keep alive request",
                   name_.c_str(), this);
    lastKeepAliveSent_ = ::GetTickCount64();
    SendControl(Packet::kKeepAliveRequest);
}

void MessageChannel::DisconnectTick() {
    if (closing_) return;
    const ULONGLONG now = ::GetTickCount64();
    const ULONGLONG since = now - lastReceived_.load();
    if (since <= static_cast<ULONGLONG>(keepAliveSeconds_) * 1000) return;
    LogMessage(LOG_WARN,
               L"CORE::disconnectTimer::TimerCallback(): Channel %s (0x%p): Aborting channel on missing keep alive %s, %d ticks since last received, %d ticks since last %s, now %d.",
               name_.c_str(), this, outgoing_ ? L"responses" : L"requests", static_cast<int>(since),
               static_cast<int>(now - lastKeepAliveSent_.load()), outgoing_ ? L"request" : L"response", static_cast<int>(now));
    Close();
}

void MessageChannel::StopTimers() noexcept {
    TimerId a = keepAliveTimer_, b = disconnectTimer_;
    keepAliveTimer_ = disconnectTimer_ = 0;
    if (a) CancelTimer(a);
    if (b) CancelTimer(b);
}

void MessageChannel::Close() noexcept {
    if (closing_.exchange(true)) return;
    StopTimers();
    // Tell the peer first (the abort is skipped when a sender holds the channel), then stop
    // whatever waits here: a sender waiting for room, the receive thread. The receive thread
    // ends by itself (it holds its own reference); nothing reaches the sink after this point.
    if (transport_) {
        const bool aborted = !transport_->PeerClosed() && SendControl(Packet::kSessionAborted);
        transport_->Close(aborted);
    }
    if (stopEvent_) ::SetEvent(stopEvent_.get());
    if (IChannelSink* sink = sink_.exchange(nullptr)) {
        try {
            sink->OnChannelClosed(this);
        } catch (...) {
        }
    }
    ::InterlockedExchange(&closed_, 1);
    ::WakeByAddressAll(const_cast<LONG*>(&closed_));
}

bool MessageChannel::WaitClosed(DWORD timeoutMs) noexcept {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (::InterlockedCompareExchange(&closed_, 0, 0) != 0) return true;
        const ULONGLONG now = ::GetTickCount64();
        if (timeoutMs != INFINITE && now >= deadline) return false;
        LONG open = 0;
        ::WaitOnAddress(&closed_, &open, sizeof(LONG), timeoutMs == INFINITE ? INFINITE : static_cast<DWORD>(deadline - now));
    }
}

}  // namespace CORE
