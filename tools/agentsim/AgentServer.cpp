#include "AgentServer.h"

#include "DesktopManagerCues.h"
#include "LocalRpcListener.h"

#include "lib/mfw/common/channel/AuthChannel.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/log/SysMessage.h"

#include "NodeManagerRpc.h"  // the server's header (Srv_ prefix)

#include <algorithm>
#include <cstring>

namespace agentsim {
namespace {

AgentServer* g_rpcServer = nullptr;  // the one instance serving RPC in this process

bool IsSspi(const std::wstring& package) {
    for (const wchar_t* name : {L"Negotiate", L"Kerberos", L"NTLM"})
        if (_wcsicmp(name, package.c_str()) == 0) return true;
    return false;
}

CORE::Message Step(const wchar_t* hint, const CORE::PropertyBag& payload) {
    CORE::Message message;
    message.messageType = CORE::MSG_ONEWAY;
    message.queueHint = hint;
    message.payload = payload;
    return message;
}

void Refuse(CORE::MessageChannel& channel, const std::wstring& reason) {
    CORE::PropertyBag error;
    error.SetError(CORE::RESULT_NOT_AUTHORIZED, reason);
    channel.SendMessage(Step(CORE::kAuthFailedHint, error));
    CORE::LogMessage(CORE::LOG_WARN, L"agentsim: Channel %s (0x%p): authentication refused: %s", channel.Name().c_str(),
                     &channel, reason.c_str());
}

}  // namespace

// Runs one connection (handshake, then its receive loop) on a thread of the process's thread
// pool: pool threads are reused, where a new thread per connection would cost more than the
// whole exchange.
void AgentServer::ServeConnection(CORE::MessageChannel* channel) {
    platform::unique_handle identity;  // the mapping the client checks: held while the channel lives
    if (ServerHandshake(*channel, &identity) && !stopping_) {
        ++authenticated_;
        channel->UseKeepAlive(false);
        channel->RunReceiveLoop(this);  // this pool thread is the channel's receive thread
    }
    channel->Close();
    Unregister(channel);
}

void AgentServer::Unregister(CORE::MessageChannel* channel) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = std::find(channels_.begin(), channels_.end(), channel);
    if (it != channels_.end()) {
        channels_.erase(it);
        channel->Release();
    }
}

class AgentServer::LegacyListener : public CORE::corerunnable {
public:
    LegacyListener(AgentServer* server) : corerunnable(L"agentsim legacy listener"), server_(server) {}

    bool Open(const CORE::NodeManagerNames& names) {
        lock_.reset(::CreateMutexW(nullptr, FALSE, names.LegacyLock().c_str()));
        if (!lock_ || ::GetLastError() == ERROR_ALREADY_EXISTS) return false;
        section_.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, names.LegacySection().c_str()));
        request_.reset(::CreateEventW(nullptr, FALSE, FALSE, names.LegacyRequest().c_str()));
        reply_.reset(::CreateEventW(nullptr, TRUE, FALSE, names.LegacyReply().c_str()));
        return section_ && request_ && reply_;
    }

protected:
    void ThreadEntry() override {
        auto* block = static_cast<CORE::LegacyConnectBlock*>(::MapViewOfFile(section_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
        if (!block) return;
        HANDLE handles[2] = {request_.get(), server_->stopEvent_.get()};
        while (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0) {
            CORE::LegacyConnectBlock copy = *block;  // the client may still be writing: judge a copy
            DWORD status = ERROR_INVALID_DATA;
            if (copy.magic == CORE::LegacyConnectBlock::kMagic && copy.version == CORE::LegacyConnectBlock::kVersion &&
                copy.clientPid != 0)
                status = server_->Accept(copy.clientPid, copy.seqNo);
            block->serverPid = ::GetCurrentProcessId();
            block->status = status;
            ::SetEvent(reply_.get());
        }
        ::UnmapViewOfFile(block);
    }

private:
    AgentServer* server_;
    platform::unique_handle lock_, section_, request_, reply_;
};

class AgentServer::DelayedAnswer : public CORE::corerunnable {
public:
    DelayedAnswer(CORE::MessageChannel* channel, CORE::Message response, DWORD delayMs)
        : corerunnable(L"agentsim delayed answer"), channel_(channel), response_(std::move(response)), delayMs_(delayMs) {
        channel_->AddRef();
    }
    ~DelayedAnswer() override { channel_->Release(); }

protected:
    void ThreadEntry() override {
        ::Sleep(delayMs_);
        if (!channel_->IsClosed()) channel_->SendMessage(response_);
    }

private:
    CORE::MessageChannel* channel_;
    CORE::Message response_;
    DWORD delayMs_;
};

AgentServer::~AgentServer() { Stop(); }

CORE::PropertyBag AgentServer::Scenario() const {
    std::lock_guard<std::mutex> guard(lock_);
    return scenario_;
}

void AgentServer::SetScenario(const CORE::PropertyBag& scenario) {
    std::lock_guard<std::mutex> guard(lock_);
    scenario_ = scenario;
}

bool AgentServer::Start(const Options& options) {
    options_ = options;
    SetScenario(options.scenario);
    names_ = CORE::NodeManagerNames::ForInstance(options.instance);
    stopEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (options.legacyListener) {
        auto* listener = new LegacyListener(this);
        if (!listener->Open(names_) || !listener->StartThread()) {
            listener->Release();
            CORE::LogMessage(CORE::LOG_ERROR, L"agentsim: cannot open the legacy connect objects of %s", names_.base.c_str());
            return false;
        }
        legacy_ = listener;
    }
    if (options.rpcListener) {
        if (!ServeLocalRpc(names_.RpcEndpoint(), Srv_TcNodeManagerSharedMem_v1_0_s_ifspec)) return false;
        g_rpcServer = this;
        rpcRegistered_ = true;
    }
    return true;
}

void AgentServer::Stop() {
    if (stopping_.exchange(true)) return;
    if (rpcRegistered_) {
        g_rpcServer = nullptr;
        ::RpcServerUnregisterIf(Srv_TcNodeManagerSharedMem_v1_0_s_ifspec, nullptr, FALSE);
        ::RpcMgmtStopServerListening(nullptr);
        rpcRegistered_ = false;
    }
    if (stopEvent_) ::SetEvent(stopEvent_.get());
    if (legacy_) {
        legacy_->WaitForThreadEnd(5000);
        legacy_->Release();
        legacy_ = nullptr;
    }
    CloseAllChannels();
    // Connections still in their handshake end when their reads time out or fail.
    for (int i = 0; i < 400 && active_.load() > 0; ++i) {
        CloseAllChannels();
        ::Sleep(50);
    }
}

void AgentServer::CloseAllChannels() {
    std::vector<CORE::MessageChannel*> channels;
    {
        std::lock_guard<std::mutex> guard(lock_);
        channels = channels_;
        for (auto* channel : channels) channel->AddRef();
    }
    for (auto* channel : channels) {
        channel->Close();
        channel->Release();
    }
}

DWORD AgentServer::Accept(DWORD clientPid, DWORD seqNo) {
    if (stopping_) return ERROR_SERVICE_NOT_ACTIVE;
    const std::wstring seq = CORE::SeqString(clientPid, seqNo);
    auto transport = std::make_unique<CORE::SharedMemTransport>();
    if (!transport->Create(names_.Connection(seq), clientPid)) {
        DWORD error = ::GetLastError();
        return error ? error : ERROR_OPEN_FAILED;
    }
    auto* channel = new CORE::MessageChannel(L"agentsim-" + seq, false);
    channel->AttachTransport(std::move(transport));
    ++connections_;
    {
        std::lock_guard<std::mutex> guard(lock_);  // listed from the start, so Stop can end its handshake
        channel->AddRef();
        channels_.push_back(channel);
    }
    struct Work {
        AgentServer* server;
        CORE::MessageChannel* channel;
    };
    auto* work = new Work{this, channel};  // holds the creation reference of the channel
    ++active_;
    auto run = [](PTP_CALLBACK_INSTANCE instance, void* context) {
        ::CallbackMayRunLong(instance);
        auto* w = static_cast<Work*>(context);
        w->server->ServeConnection(w->channel);
        w->channel->Release();
        --w->server->active_;
        delete w;
    };
    if (!::TrySubmitThreadpoolCallback(run, work, nullptr)) {
        --active_;
        channel->Close();
        Unregister(channel);
        channel->Release();
        delete work;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return 0;
}

// A rogue server's final token: it names another process and hands that process a mapping
// with the content the client checks, so only the client's pid comparison can tell.
void AgentServer::SpeakFor(DWORD pid, const std::wstring& authGuid, CORE::PropertyBag* token) {
    platform::unique_handle process(::OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid));
    platform::unique_handle mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
    platform::unique_view view(mapping ? ::MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 4096) : nullptr);
    HANDLE there = nullptr;
    if (!process || !view) return;
    const std::wstring content = authGuid + L"|" + std::to_wstring(pid);
    std::memcpy(view.get(), content.c_str(), (content.size() + 1) * sizeof(wchar_t));
    if (!::DuplicateHandle(::GetCurrentProcess(), mapping.get(), process.get(), &there, FILE_MAP_READ, FALSE, 0)) return;
    token->Set(L"pid", std::to_wstring(pid));
    token->Set(L"guidFileMappingHandle", std::to_wstring(reinterpret_cast<uintptr_t>(there)));
}

bool AgentServer::ServerHandshake(CORE::MessageChannel& channel, platform::unique_handle* identity) {
    const CORE::PropertyBag knobs = ServerKnobs();
    CORE::Message first;
    if (!channel.ReadMessage(&first, 30000) || first.queueHint != CORE::kAuthNegotiateHint) return false;
    if (CORE::ParseBool(knobs.Get(L"silentHandshake"))) {  // takes the connect, never answers
        channel.WaitClosed(120000);
        return false;
    }
    const std::vector<std::wstring> offered = CORE::SplitConfigList(first.payload.Get(L"PackageList"));
    const std::vector<std::wstring> accepted =
        CORE::SplitConfigList(knobs.Get(L"Packages", L"Negotiate,Kerberos,NTLM,NONE"));
    std::wstring selected;
    for (const auto& package : offered) {
        for (const auto& ok : accepted)
            if (_wcsicmp(ok.c_str(), package.c_str()) == 0) selected = package;
        if (!selected.empty()) break;
    }
    const unsigned clientMinor = static_cast<unsigned>(CORE::ParseUInt(first.payload.Get(L"MinorVersion"), true));
    const unsigned serverMinor = static_cast<unsigned>(CORE::ParseUInt(knobs.Get(L"MinorVersion", L"11"), true));
    unsigned level = std::min({clientMinor, serverMinor, CORE::kAuthMinorVersion});
    const int serverPreference = static_cast<int>(CORE::ParseUInt(knobs.Get(L"prefCharEncodingOnWire"), true));
    const int clientPreference = static_cast<int>(CORE::ParseUInt(first.payload.Get(L"prefCharEncodingOnWire"), true));
    const int encoding = CORE::AuthChannel::NegotiateEncoding(serverPreference, clientPreference);
    const std::wstring authGuid = CORE::Message::NewMessageId();

    CORE::PropertyBag reply;
    reply.Set(L"clientMarker", knobs.Get(L"clientMarker", first.payload.Get(L"clientMarker")));
    reply.Set(L"MajorVersion", knobs.Get(L"MajorVersion", L"2"));
    reply.Set(L"MinorVersion", std::to_wstring(serverMinor));
    // A rogue server may name a package the client never offered.
    selected = knobs.Get(L"selectPackage", selected);
    if (!CORE::ParseBool(knobs.Get(L"omitSelectedPackage")) && !selected.empty()) reply.Set(L"SelectedPackage", selected);
    reply.Set(L"serverMarker", CORE::AuthChannel::NewMarker());
    if (!CORE::ParseBool(knobs.Get(L"omitAuthGuid"))) reply.Set(L"authGuid", authGuid);
    platform::unique_handle challenge;
    if (CORE::ParseBool(knobs.Get(L"challenge"))) {
        std::wstring name = L"agentsim-" + authGuid;
        challenge.reset(::CreateEventW(nullptr, TRUE, FALSE, CORE::ChallengeEventName(name).c_str()));
        reply.Set(L"challengeEvent", name);
    }
    if (serverPreference) reply.Set(L"prefCharEncodingOnWire", std::to_wstring(serverPreference));
    // Answer an early first token of the selected package in the same reply.
    std::unique_ptr<CORE::SecurityContext> security;
    std::vector<BYTE> earlyToken;
    if (IsSspi(selected) && !CORE::ParseBool(knobs.Get(L"ignoreEarlyToken")) &&
        _wcsicmp(first.payload.Get(L"authTokenPackage").c_str(), selected.c_str()) == 0 &&
        first.payload.GetBinary(L"authToken", &earlyToken)) {
        auto early = std::make_unique<CORE::SecurityContext>();
        early->SetRequestFlags(0x1E);
        std::vector<BYTE> answer;
        if (early->Acquire(selected, true) == SEC_E_OK && early->Step(earlyToken, &answer) == SEC_I_CONTINUE_NEEDED &&
            !answer.empty()) {
            reply.SetBinary(L"authToken", answer.data(), answer.size());
            reply.Set(L"authTokenComplete", L"false");
            security = std::move(early);
        }
    }
    if (!channel.SendMessage(Step(CORE::kAuthNegotiateHint, reply))) return false;
    if (selected.empty()) return false;

    if (IsSspi(selected)) {
        if (!security) {
            security = std::make_unique<CORE::SecurityContext>();
            if (security->Acquire(selected, true) != SEC_E_OK) {
                Refuse(channel, L"no server credentials");
                return false;
            }
            security->SetRequestFlags(0x1E);
        }
        for (int step = 0;; ++step) {
            CORE::Message token;
            if (step > 8 || !channel.ReadMessage(&token, 30000) || token.queueHint != CORE::kAuthTokenHint) return false;
            std::vector<BYTE> input, output;
            token.payload.GetBinary(L"token", &input);
            SECURITY_STATUS status = security->Step(input, &output);
            if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
                wchar_t text[64];
                swprintf(text, 64, L"security token refused, status 0x%08lx", static_cast<unsigned long>(status));
                Refuse(channel, text);
                return false;
            }
            CORE::PropertyBag answer;
            if (!output.empty()) answer.SetBinary(L"token", output.data(), output.size());
            answer.Set(L"complete", status == SEC_E_OK ? L"true" : L"false");
            if (!channel.SendMessage(Step(CORE::kAuthTokenHint, answer))) return false;
            if (status == SEC_E_OK) break;
        }
        channel.AttachSecurity(std::move(security));
    }
    CORE::Message final;
    if (!channel.ReadMessage(&final, 30000) || final.queueHint != CORE::kAuthFinalHint) return false;
    CORE::PeerParams peer;
    std::wstring reason;
    if (!CORE::AuthChannel::processPeerParams(channel, final.payload, true, authGuid, &peer, &reason)) {
        Refuse(channel, reason);
        return false;
    }
    if (challenge && ::WaitForSingleObject(challenge.get(), 0) != WAIT_OBJECT_0) {
        Refuse(channel, L"local challenge not answered");
        return false;
    }
    platform::unique_handle mapping;
    CORE::PropertyBag mine = CORE::AuthChannel::LocalPeerParams(authGuid, true, &mapping);
    if (DWORD other = static_cast<DWORD>(CORE::ParseUInt(knobs.Get(L"speakForPid"), true))) SpeakFor(other, authGuid, &mine);
    if (!channel.SendMessage(Step(CORE::kAuthFinalHint, mine))) return false;
    channel.SetPeer(level, encoding);
    *identity = std::move(mapping);  // the client checks it when it reads the final token
    CORE::LogMessage(CORE::LOG_INFO, L"agentsim: Channel %s (0x%p): authenticated %s pid %u through %s, level %u, encoding %d",
                     channel.Name().c_str(), &channel, peer.exeName.c_str(), static_cast<unsigned>(peer.pid),
                     selected.c_str(), level, encoding);
    return true;
}

void AgentServer::OnChannelMessage(CORE::MessageChannel* channel, CORE::Message& message) {
    Dispatch(channel, message);
}

void AgentServer::OnChannelClosed(CORE::MessageChannel* channel) { Unregister(channel); }

void AgentServer::Dispatch(CORE::MessageChannel* channel, CORE::Message& request) {
    switch (request.messageType) {
    case CORE::MSG_CANCEL: ++cancels_; return;
    case CORE::MSG_ONEWAY:
        if (request.queueHint == CORE::kLocalStartupHint)
            CORE::LogMessage(CORE::LOG_INFO,
                             L"CORE::MessageChannel::ProcessMsg(): Channel %s (0x%p): Local incoming channel peer exename=%s, pid=%u, sessionId=%d",
                             channel->Name().c_str(), channel, L"", static_cast<unsigned>(CORE::ParseUInt(request.payload.Get(L"pid"), true)),
                             static_cast<int>(CORE::ParseUInt(request.payload.Get(L"session"), true)));
        return;
    case CORE::MSG_REQUEST: break;
    default: return;
    }
    ++requests_;
    CORE::PropertyBag answer;
    DWORD result = CORE::RESULT_OK;
    if (request.queueName == L"AgentSim" && request.queueHint == L"GetStats") {
        answer.Set(L"requests", std::to_wstring(requests_.load()));
        answer.Set(L"cancels", std::to_wstring(cancels_.load()));
        {
            std::lock_guard<std::mutex> guard(lock_);
            answer.Set(L"lastRequestId", lastRequestId_);
        }
        channel->SendMessage(request.MakeResponse(result, answer));
        return;
    }
    if (request.queueName != L"DesktopManager") {
        answer.SetError(CORE::RESULT_NO_QUEUE_HANDLER, L"No handler for queue " + request.queueName);
        channel->SendMessage(request.MakeResponse(CORE::RESULT_NO_QUEUE_HANDLER, answer));
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        lastRequestId_ = request.messageId;
    }
    const CORE::PropertyBag scenario = Scenario();
    CORE::PropertyBag operations = scenario.TypeOf(L"DesktopManager") == CORE::PropertyBag::ITEM_BAG
                                       ? scenario.GetBag(L"DesktopManager")
                                       : CORE::PropertyBag();
    const wchar_t* key = operations.TypeOf(request.queueHint) == CORE::PropertyBag::ITEM_BAG ? request.queueHint.c_str()
                         : operations.TypeOf(L"*") == CORE::PropertyBag::ITEM_BAG       ? L"*"
                                                                                         : nullptr;
    if (!key) {
        answer.SetError(CORE::RESULT_ERROR, L"agentsim: no scenario entry for operation " + request.queueHint);
        channel->SendMessage(request.MakeResponse(CORE::RESULT_ERROR, answer));
        return;
    }
    const CORE::PropertyBag entry = operations.GetBag(key);
    if (CORE::ParseBool(entry.Get(L"garbage"))) {
        // A message packet whose body parses as nothing: the client closes the channel.
        const BYTE junk[] = {0xFF, 0xE0, 0x00, 0x0C, 1, 2, 3, 4, 5, 6, 7, 8};
        channel->SendRaw(junk, sizeof(junk));
    }
    if (CORE::ParseBool(entry.Get(L"neverAnswer"))) return;
    if (CORE::ParseBool(entry.Get(L"closeChannel"))) {
        channel->Close();
        return;
    }
    if (CORE::ParseBool(entry.Get(L"badFraming"))) {
        const BYTE invalid[] = {0, 0, 0, 3};
        channel->SendRaw(invalid, sizeof(invalid));
        return;
    }
    result = static_cast<DWORD>(CORE::ParseUInt(entry.Get(L"result", L"0"), true));
    if (CORE::ParseBool(entry.Get(L"echo")))
        answer = request.payload;
    else if (entry.TypeOf(L"answer") == CORE::PropertyBag::ITEM_BAG)
        answer = entry.GetBag(L"answer");
    std::wstring protectError;
    if (!ProtectListedSecrets(entry, answer, &protectError)) {
        answer.SetError(CORE::RESULT_ERROR, L"agentsim: cannot protect a secret: " + protectError);
        result = CORE::RESULT_ERROR;
    }
    ScheduleSignals(entry, request.payload, answer);
    CORE::Message response = request.MakeResponse(result, answer);
    DWORD delay = static_cast<DWORD>(CORE::ParseUInt(entry.Get(L"delayMs", L"0"), true));
    if (delay == 0) {
        channel->SendMessage(response);
        return;
    }
    auto* later = new DelayedAnswer(channel, std::move(response), delay);
    later->StartThread();
    later->Release();
}

}  // namespace agentsim

extern "C" error_status_t __cdecl Srv_InitiateSharedMem(handle_t, unsigned long clientPid, unsigned long, unsigned long* seqNo,
                                                        unsigned long* serverPid) {
    agentsim::AgentServer* server = agentsim::g_rpcServer;
    if (!server || !seqNo || !serverPid) return ERROR_SERVICE_NOT_ACTIVE;
    // A node manager that takes the call and never answers it.
    if (CORE::ParseBool(server->ServerKnobs().Get(L"hangInitiate"))) ::Sleep(INFINITE);
    static std::atomic<DWORD> next{1};
    DWORD seq = next++;
    DWORD status = server->Accept(clientPid, seq);
    *seqNo = seq;
    *serverPid = ::GetCurrentProcessId();
    return status;
}
