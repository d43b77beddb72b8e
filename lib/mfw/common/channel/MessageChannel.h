// A channel carries messages between this process and one peer over a shared-memory
// transport: framing, chunking and protection on the way out; a receive thread that answers
// keep-alives, reassembles chunks and hands complete messages to its sink on the way in;
// keep-alive and disconnect timers on the library timer thread; and a hold count (the
// channel is freed when its last holder releases it).
#pragma once
#include "lib/mfw/common/util/SecureBytes.h"
#include "lib/mfw/common/wire/Message.h"
#include "lib/mfw/common/wire/PacketFraming.h"
#include "lib/mfw/common/channel/SecurityContext.h"
#include "lib/mfw/common/channel/SharedMemTransport.h"
#include "lib/mfw/common/threads/corecritsec.h"
#include "lib/mfw/common/threads/coretimer.h"
#include "lib/mfw/common/threads/corerunnable.h"

#include <atomic>
#include <deque>
#include <memory>
#include <string>

namespace CORE {

class MessageChannel;

// Receives what a channel's receive thread produces. Called without any channel lock held.
class IChannelSink {
public:
    virtual ~IChannelSink() = default;
    virtual void OnChannelMessage(MessageChannel* channel, Message& message) = 0;
    // Once per channel, after it has closed for whatever reason.
    virtual void OnChannelClosed(MessageChannel* channel) = 0;
};

// Queue hints of the messages a channel handles itself.
extern const wchar_t kKeepAliveStartHint[];   // "__KeepAliveInternalStart__"
extern const wchar_t kLocalStartupHint[];     // "__LocalInternalStartup__"
extern const wchar_t kLocalChallengeHint[];   // "__LocalInternalChallenge__"

class MessageChannel : public coreref {
public:
    static constexpr DWORD kSendTimeoutMs = 30000;
    static constexpr unsigned kMaxProtocolLevel = 11;

    MessageChannel(const std::wstring& name, bool outgoing) noexcept;
    ~MessageChannel() override;

    const std::wstring& Name() const noexcept { return name_; }
    bool Outgoing() const noexcept { return outgoing_; }

    // --- Set-up, before the receive thread runs ---
    void AttachTransport(std::unique_ptr<SharedMemTransport> transport) noexcept;
    // The established context; from now on every message packet is protected both ways.
    void AttachSecurity(std::unique_ptr<SecurityContext> security) noexcept;
    // The same, protecting only what is sent until ProtectReceive: the client's last token
    // and its final token travel together while the server's plain acknowledgement is due.
    void AttachSecurity(std::unique_ptr<SecurityContext> security, bool protectReceive) noexcept;
    void ProtectReceive() noexcept;
    void SetPeer(unsigned level, int encoding) noexcept;
    // The challenge event the peer named while authenticating; its later internal challenges
    // may set that event only (none when it named none).
    void SetChallengeEvent(const std::wstring& name) { challengeEvent_ = name; }
    unsigned PeerLevel() const noexcept { return peerLevel_; }
    int WireEncoding() const noexcept { return encoding_; }
    SecurityContext* Security() const noexcept { return security_.get(); }
    SharedMemTransport* Transport() const noexcept { return transport_.get(); }

    // --- Traffic ---
    // Frames and sends one message in the form the peer level and encoding call for.
    bool SendMessage(const Message& message);
    bool SendControl(uint32_t word);
    // Writes bytes as one record, bypassing framing (tests and the stand-in agent send
    // malformed packets with it).
    bool SendRaw(const BYTE* data, size_t length);
    // Reads the next message directly (authentication, before the receive thread runs).
    bool ReadMessage(Message* message, DWORD timeoutMs);
    // Starts the receive thread ("MessageChannel ReceiveThread").
    bool StartReceiving(IChannelSink* sink);
    // Runs the receive loop on the calling thread until the channel closes (a server thread
    // that has just authenticated the channel); the caller holds a reference meanwhile.
    void RunReceiveLoop(IChannelSink* sink);
    // Reads KeepAliveTimeoutSeconds, starts the timers and, when `announce`, tells the peer.
    void UseKeepAlive(bool announce);
    void UseKeepAlive(unsigned seconds, bool announce);

    // Handles one received block: control packets, chunks, protection and parsing. Complete
    // messages are appended to `messages`. False when the channel must close.
    bool ChannelRecvDone(const BYTE* data, size_t size, std::deque<Message>* messages);

    // --- Ending ---
    // Sends an abort to the peer (unless it is gone), stops the receive thread and timers,
    // tells the sink. Idempotent; safe from the receive and timer threads.
    void Close() noexcept;
    bool IsClosed() const noexcept { return closing_.load(); }
    bool WaitClosed(DWORD timeoutMs) noexcept;
    void SetFrameworkShuttingDown(std::atomic<bool>* flag) noexcept { frameworkShuttingDown_ = flag; }
    // Ends the receive threads that wait for another channel (framework shutdown).
    static void StopParkedReceivers();

    ULONGLONG LastReceivedTick() const noexcept { return lastReceived_.load(); }
    unsigned KeepAliveSeconds() const noexcept { return keepAliveSeconds_; }

private:
    class ReceiveThread;
    void ReceiveLoop();
    bool HandleInternal(Message& message);
    bool Deliver(SecureBytes& bytes, bool legacyText, std::deque<Message>* messages);
    // The steps of ChannelRecvDone; false when the channel must close.
    bool ReceivePacket(const Packet::View& packet, std::deque<Message>* messages);
    bool ReceiveControl(uint32_t word);
    bool ReceiveChunk(const Packet::View& packet, const SecureBytes& body, std::deque<Message>* messages);
    void StopTimers() noexcept;
    void KeepAliveTick();
    void DisconnectTick();

    std::wstring name_;
    std::wstring challengeEvent_;
    bool outgoing_;
    std::unique_ptr<SharedMemTransport> transport_;
    std::unique_ptr<SecurityContext> security_;
    bool protectSend_ = false;
    bool protectReceive_ = false;
    unsigned peerLevel_ = 4;  // the plain form until negotiated
    int encoding_ = 2;
    corecritsec sendLock_;
    uint32_t nextChunkId_ = 1;
    Packet::ChunkAssembler assembler_;
    bool assemblingProtected_ = false;

    std::atomic<bool> closing_{false};
    platform::unique_handle stopEvent_;
    volatile LONG closed_ = 0;  // set at the end of Close; WaitClosed sleeps on it
    std::atomic<IChannelSink*> sink_{nullptr};
    std::atomic<bool>* frameworkShuttingDown_ = nullptr;

    unsigned keepAliveSeconds_ = 0;
    bool keepAliveLog_ = false;
    TimerId keepAliveTimer_ = 0;
    TimerId disconnectTimer_ = 0;
    std::atomic<ULONGLONG> lastReceived_{0};
    std::atomic<ULONGLONG> lastKeepAliveSent_{0};
};

}  // namespace CORE
