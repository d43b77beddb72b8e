#include "lib/mfw/common/channel/SharedMemChannel.h"

#include "lib/mfw/common/channel/ChannelSettings.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/util/ErrorText.h"
#include "lib/mfw/common/log/SysMessage.h"

#include "lib/mfw/common/threads/coretimer.h"
#include "platform/SehGuard.h"

#include "NodeManagerRpc.h"

#include <atomic>
#include <mutex>
#include <cstdlib>

extern "C" void* __RPC_USER MIDL_user_allocate(size_t size) { return std::malloc(size ? size : 1); }
extern "C" void __RPC_USER MIDL_user_free(void* p) { std::free(p); }

namespace CORE {
namespace {

std::atomic<DWORD> g_legacySeq{0};

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

const wchar_t* PackageOf(const std::wstring& mode) {
    if (_wcsicmp(mode.c_str(), L"NONE") == 0) return L"NONE";
    if (_wcsicmp(mode.c_str(), L"KERBEROS") == 0) return L"Kerberos";
    if (_wcsicmp(mode.c_str(), L"NTLM") == 0) return L"NTLM";
    return L"Negotiate";
}

}  // namespace

std::wstring SharedMemChannel::GetAuthPackageOverrideMode() {
    std::wstring mode = ChannelSetting(L"\\Authenticate\\SharedMem\\AuthPackageOverrideMode", L"");
    if (mode.empty()) return mode;
    for (const wchar_t* valid : {L"NONE", L"NEGOTIATE", L"KERBEROS", L"NTLM"})
        if (_wcsicmp(mode.c_str(), valid) == 0) return valid;
    LogMessage(LOG_WARN,
               L"CORE::SharedMemChannel::GetAuthPackageOverrideMode(): Invalid auth package override mode '%s' configured falling back to negotiate.",
               mode.c_str());
    return L"NEGOTIATE";
}

std::wstring SharedMemChannel::BuildKerberosSpn() {
    std::wstring host, domain;
    if (!platform::Get().GetMachineDnsNames(&host, &domain) || host.empty() || domain.empty()) return std::wstring();
    wchar_t spn[600];
    _snwprintf(spn, 600, L"%s@%s", host.c_str(), domain.c_str());
    spn[599] = 0;
    return spn;
}

bool SharedMemChannel::SetAuthParams(const std::wstring& overrideMode, AuthOptions* options) {
    if (!overrideMode.empty()) {
        options->packages = {PackageOf(overrideMode)};
    } else {
        options->packages = SplitConfigList(ChannelSetting(L"\\Authenticate\\AuthPackagesOutgoing", L"Negotiate,Kerberos,NTLM"));
    }
    options->preferredEncoding = AuthChannel::GetOnWireCharEncoding(ChannelSetting(L"\\Node Manager\\onwireCharEncoding", L""));
    options->setTargetName = ChannelSettingBool(L"\\Authenticate\\SharedMem\\SetTargetName", L"true");
    options->provideSpnInNego = ChannelSettingBool(L"\\Authenticate\\SharedMem\\ProvideSpnInAuthNego", L"false");
    options->contextWanted = static_cast<ULONG>(ChannelSettingUInt(L"\\Security\\SspiClientContextWanted", L"30"));
    options->contextMinimum = static_cast<ULONG>(ChannelSettingUInt(L"\\Security\\SspiClientContextMinimum", L"28"));
    unsigned long seconds = ChannelSettingUInt(L"\\Authenticate\\MsgTimeoutSeconds", L"300");
    options->stepTimeoutMs = seconds == 0 || seconds > 3600 ? 300000 : static_cast<DWORD>(seconds * 1000);
    options->sharedMemory = true;

    options->spn = BuildKerberosSpn();
    bool offersKerberos = false;
    for (const auto& package : options->packages) offersKerberos |= _wcsicmp(package.c_str(), L"Kerberos") == 0;
    if (offersKerberos) {
        if (!options->spn.empty()) {
            LogMessage(LOG_DEBUG, L"CORE::SharedMemChannel::SetAuthParams(): Using '%s' as SPN for Kerberos authentication.",
                       options->spn.c_str());
        } else if (_wcsicmp(overrideMode.c_str(), L"KERBEROS") == 0) {
            LogMessage(LOG_ERROR,
                       L"CORE::SharedMemChannel::SetAuthParams(): Kerberos authentication enforced with no SPN, terminating connection.");
            return false;
        } else {
            LogMessage(LOG_INFO, L"CORE::SharedMemChannel::SetAuthParams(): No SPN provided for Kerberos authentication, falling back to NTLM.");
            std::vector<std::wstring> packages;
            bool haveNtlm = false;
            for (const auto& package : options->packages) {
                if (_wcsicmp(package.c_str(), L"Kerberos") == 0) continue;
                haveNtlm |= _wcsicmp(package.c_str(), L"NTLM") == 0;
                packages.push_back(package);
            }
            if (!haveNtlm) packages.push_back(L"NTLM");
            options->packages = packages;
        }
    }
    return true;
}

namespace {

// One binding per process, kept between connects: a logon opens a channel per request, and
// binding anew each time costs a new connection to the node manager. Each call works on a copy
// of it; `renew` drops the kept one first (the node manager may have restarted).
bool CopyNodeManagerBinding(const std::wstring& endpoint, bool renew, RPC_BINDING_HANDLE* copy) {
    static std::mutex lock;
    static RPC_BINDING_HANDLE binding = nullptr;
    static std::wstring boundEndpoint;
    std::lock_guard<std::mutex> guard(lock);
    if (binding && (boundEndpoint != endpoint || renew)) {
        ::RpcBindingFree(&binding);
        binding = nullptr;
    }
    if (!binding) {
        RPC_WSTR bindingText = nullptr;
        RPC_STATUS status = ::RpcStringBindingComposeW(
            nullptr, reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncalrpc")), nullptr,
            reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(endpoint.c_str())), nullptr, &bindingText);
        if (status != RPC_S_OK) {
            LogMessage(LOG_ERROR, L"failed to compose RPC binding string, %s", SystemErrorText(status).c_str());
            return false;
        }
        status = ::RpcBindingFromStringBindingW(bindingText, &binding);
        ::RpcStringFreeW(&bindingText);
        if (status != RPC_S_OK) {
            binding = nullptr;
            LogMessage(LOG_ERROR, L"failed to get RPC binding handle");
            return false;
        }
        // Only the real node manager may take the call: an endpoint of the same name opened
        // first by another local user fails the runtime's mutual authentication.
        status = platform::Get().SecureNodeManagerBinding(binding);
        if (status != RPC_S_OK) {
            ::RpcBindingFree(&binding);
            binding = nullptr;
            LogMessage(LOG_ERROR, L"failed to require the node manager's identity on the RPC binding, %s",
                       SystemErrorText(status).c_str());
            return false;
        }
        boundEndpoint = endpoint;
    }
    if (::RpcBindingCopy(binding, copy) != RPC_S_OK) {
        LogMessage(LOG_ERROR, L"failed to get RPC binding handle");
        return false;
    }
    return true;
}

// The initiate call on `binding`: the SEH code it raised (0 when none); *cancelled when the
// watchdog ended it. A node manager that takes the call and never answers must not hold the
// caller (a LogonUI thread) for good: the timer service cancels the call after the connect
// time. (Connects never run on the timer service thread, which could not cancel itself.)
DWORD CallInitiate(RPC_BINDING_HANDLE binding, error_status_t* answer, unsigned long* seq, unsigned long* pid,
                   bool* cancelled) {
    HANDLE self = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &self, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    platform::unique_handle thread(self);
    std::atomic<bool> timedOut{false};
    TimerId watchdog = thread ? ScheduleTimer(SharedMemChannel::kConnectTimeoutMs, false,
                                              [self, &timedOut] {
                                                  timedOut = true;
                                                  ::RpcCancelThreadEx(self, 0);
                                              })
                              : 0;
    const DWORD exception = platform::SehGuard(
        [&] { *answer = InitiateSharedMem(binding, ::GetCurrentProcessId(), LegacyConnectBlock::kVersion, seq, pid); });
    CancelTimer(watchdog);  // waits for a cancel in progress, which uses `timedOut`
    *cancelled = timedOut;
    return exception;
}

}  // namespace

bool SharedMemChannel::RpcInitiate(const NodeManagerNames& names, DWORD* seqNo, DWORD* serverPid) {
    const std::wstring endpoint = names.RpcEndpoint();
    LogMessage(LOG_DEBUG, L"Sending RPC initiate shared memory request, protocol=%s, endpoint=%s, clientPid=%u", L"ncalrpc",
               endpoint.c_str(), static_cast<unsigned>(::GetCurrentProcessId()));
    unsigned long seq = 0, pid = 0;
    error_status_t answer = 0;
    DWORD exception = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        RPC_BINDING_HANDLE copy = nullptr;
        if (!CopyNodeManagerBinding(endpoint, attempt > 0, &copy)) return false;
        bool cancelled = false;
        exception = CallInitiate(copy, &answer, &seq, &pid, &cancelled);
        ::RpcBindingFree(&copy);
        if (exception != 0 && cancelled) {
            LogMessage(LOG_ERROR, L"Failed to initiate shared memory over RPC, the node manager did not answer within %u ms",
                       static_cast<unsigned>(kConnectTimeoutMs));
            return false;
        }
        if (exception == 0) break;  // a kept binding may point at a node manager that restarted: bind once more
    }
    if (exception != 0 || answer != 0) {
        DWORD code = exception ? exception : answer;
        LogMessage(LOG_ERROR, L"Failed to initiate shared memory over RPC, %s.  %s",
                   exception ? L"the call raised an exception" : L"the node manager refused",
                   SystemErrorText(code).c_str());
        return false;
    }
    *seqNo = seq;
    *serverPid = pid;
    LogMessage(LOG_DEBUG, L"RPC initiate shared memory request succeeded, seqString=%S, serverPid=%u",
               Narrow(SeqString(::GetCurrentProcessId(), seq)).c_str(), static_cast<unsigned>(pid));
    return true;
}

bool SharedMemChannel::LegacyInitiate(const NodeManagerNames& names, DWORD seqNo, DWORD* serverPid) {
    platform::unique_handle lock(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, names.LegacyLock().c_str()));
    platform::unique_handle section(::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, names.LegacySection().c_str()));
    platform::unique_handle request(::OpenEventW(EVENT_MODIFY_STATE, FALSE, names.LegacyRequest().c_str()));
    platform::unique_handle reply(::OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, names.LegacyReply().c_str()));
    if (!lock || !section || !request || !reply) {
        LogMessage(LOG_WARN, L"CORE::SharedMemChannel::Connect(): legacy shared memory listener not found");
        return false;
    }
    bool locked = false;
    for (int attempt = 0; attempt <= kInUseRetries && !locked; ++attempt) {
        DWORD wait = ::WaitForSingleObject(lock.get(), 1000);
        locked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        if (!locked && attempt < kInUseRetries)
            LogMessage(LOG_INFO, L"CORE::SharedMemChannel::Connect(): Connection Rejected. Event/section in use, retry...");
    }
    if (!locked) {
        LogMessage(LOG_WARN, L"CORE::SharedMemChannel::Connect(): Connection rejected. Another process is using the event/section");
        return false;
    }
    struct Unlock {
        HANDLE mutex;
        ~Unlock() { ::ReleaseMutex(mutex); }
    } unlock{lock.get()};
    platform::unique_view view(::MapViewOfFile(section.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LegacyConnectBlock)));
    auto* block = static_cast<LegacyConnectBlock*>(view.get());
    if (!block) return false;
    LogMessage(LOG_DEBUG, L"Sending legacy initiate shared memory request, seqNo=%u, pid=%u, global=%u, version=%u",
               static_cast<unsigned>(seqNo), static_cast<unsigned>(::GetCurrentProcessId()), 1u, LegacyConnectBlock::kVersion);
    ::ResetEvent(reply.get());
    block->magic = LegacyConnectBlock::kMagic;
    block->version = LegacyConnectBlock::kVersion;
    block->clientPid = ::GetCurrentProcessId();
    block->seqNo = seqNo;
    block->global = 1;
    block->status = ERROR_IO_PENDING;
    block->serverPid = 0;
    ::SetEvent(request.get());
    bool ok = false;
    if (::WaitForSingleObject(reply.get(), kConnectTimeoutMs) != WAIT_OBJECT_0) {
        LogMessage(LOG_ERROR, L"CORE::SharedMemChannel::Connect(): sharedmem connect timeout");
    } else if (block->status != 0 || block->seqNo != seqNo || block->clientPid != ::GetCurrentProcessId()) {
        LogMessage(LOG_ERROR, L"CORE::SharedMemChannel::Connect(): legacy connect refused, status=%u", static_cast<unsigned>(block->status));
    } else {
        *serverPid = block->serverPid;
        ok = true;
    }
    return ok;
}

bool SharedMemChannel::VerifyNodeManager(DWORD serverPid, std::wstring* account) {
    if (!platform::Get().ProcessUserSid(serverPid, account)) {
        LogMessage(LOG_ERROR, L"CORE::SharedMemChannel::Connect(): cannot read the account of node manager process %u, %s; refusing it",
                   static_cast<unsigned>(serverPid), SystemErrorText(::GetLastError()).c_str());
        return false;
    }
    if (platform::Get().IsNodeManagerAccount(*account)) return true;
    LogMessage(LOG_ERROR, L"CORE::SharedMemChannel::Connect(): node manager process %u runs as %s, not as LocalSystem; refusing it",
               static_cast<unsigned>(serverPid), account->c_str());
    return false;
}

// RPC first unless disabled; the legacy section when RPC is disabled or may fail back.
bool SharedMemChannel::Initiate(const NodeManagerNames& names, bool rpcDisabled, bool legacyFallback, DWORD* seqNo,
                                DWORD* serverPid) {
    if (!rpcDisabled && RpcInitiate(names, seqNo, serverPid)) return true;
    if (!rpcDisabled && !legacyFallback) {
        LogMessage(LOG_ERROR, L"CORE::SharedMemChannel::Connect(): RPC initiated sharedmem connect failed");
        return false;
    }
    *seqNo = 0x80000000u | (++g_legacySeq & 0x7FFFFFFF);
    return LegacyInitiate(names, *seqNo, serverPid);
}

// The channel over the connection's shared memory the node manager made for `seqNo`.
MessageChannel* SharedMemChannel::OpenConnection(const NodeManagerNames& names, DWORD seqNo, DWORD serverPid) {
    const std::wstring seq = SeqString(::GetCurrentProcessId(), seqNo);
    auto transport = std::make_unique<SharedMemTransport>();
    if (!transport->Open(names.Connection(seq), serverPid)) {
        LogMessage(LOG_ERROR, L"CORE::SharedMemChannel::Connect(): cannot open the connection's shared memory, %s",
                   SystemErrorText(::GetLastError()).c_str());
        return nullptr;
    }
    auto* channel = new (std::nothrow) MessageChannel(L"SharedMem-" + seq, true);
    if (channel) channel->AttachTransport(std::move(transport));
    return channel;
}

// The final token speaks for the process that answered the connect, or for nobody.
bool SharedMemChannel::PeerIsTheVerifiedAccount(MessageChannel& channel, const PeerParams& peer, DWORD serverPid,
                                                const std::wstring& account) {
    if (_wcsicmp(peer.peerSid.c_str(), account.c_str()) == 0) return true;
    LogMessage(LOG_ERROR,
               L"CORE::SharedMemChannel::Connect(): Channel %s (0x%p): the peer names account %s, but node manager process %u runs as %s; refusing it",
               channel.Name().c_str(), &channel, peer.peerSid.c_str(), static_cast<unsigned>(serverPid), account.c_str());
    return false;
}

void SharedMemChannel::Abandon(MessageChannel* channel) {
    channel->Close();
    channel->Release();
}

// Peers before level 9 learn who we are from a start-up message, later ones from the final token.
void SharedMemChannel::SendStartup(MessageChannel& channel) {
    Message startup;
    startup.messageType = MSG_ONEWAY;
    startup.queueHint = kLocalStartupHint;
    DWORD session = 0;
    if (!platform::Get().ProcessIdToSessionId(::GetCurrentProcessId(), &session)) session = 0;
    startup.payload.Set(L"pid", std::to_wstring(::GetCurrentProcessId()));
    startup.payload.Set(L"session", std::to_wstring(session));
    startup.payload.Set(L"progFlags", L"0");
    channel.SendMessage(startup);
}

MessageChannel* SharedMemChannel::Connect(const std::wstring& serverName, IChannelSink* sink) {
    if (!serverName.empty()) {
        LogMessage(LOG_ERROR, L"CORE::SharedMemChannel::Connect(): The SharedMem Connect cannot specify a Server name.");
        return nullptr;
    }
    const NodeManagerNames names = NodeManagerNames::Current();
    std::wstring overrideMode = GetAuthPackageOverrideMode();
    const bool rpcDisabled = ChannelSettingBool(L"\\Node Manager\\disableRPCSharedMemListener", L"false");
    const bool legacyFallback = ChannelSettingBool(L"\\Node Manager\\failbackSharedMemListener", L"false");

    // A node manager that accepts and then stalls must not hold LogonUI past the request's time-out.
    const ULONGLONG deadline = ::GetTickCount64() + kConnectDeadlineMs;
    for (int attempt = 0; attempt < 2; ++attempt) {
        AuthOptions options;
        if (!SetAuthParams(overrideMode, &options)) return nullptr;
        options.deadline = deadline;

        DWORD seqNo = 0, serverPid = 0;
        std::wstring serverAccount;
        if (!Initiate(names, rpcDisabled, legacyFallback, &seqNo, &serverPid) ||
            !VerifyNodeManager(serverPid, &serverAccount))
            return nullptr;
        MessageChannel* channel = OpenConnection(names, seqNo, serverPid);
        if (!channel) return nullptr;
        if (!overrideMode.empty())
            LogMessage(LOG_INFO,
                       L"CORE::SharedMemChannel::Connect(): Channel %s (0x%p): SharedMemChannel connect accepted, authenticate using auth package override mode %s",
                       channel->Name().c_str(), channel, overrideMode.c_str());
        AuthResult result;
        if (!AuthChannel::OutgoingChannel(*channel, options, &result)) {
            const bool kerberosFailed = result.packageFailed && _wcsicmp(result.selectedPackage.c_str(), L"Kerberos") == 0;
            const bool retry = attempt == 0 && kerberosFailed && _wcsicmp(overrideMode.c_str(), L"KERBEROS") != 0;
            if (retry)
                LogMessage(LOG_WARN,
                           L"CORE::SharedMemChannel::Connect(): Channel %s (0x%p): SharedMemChannel Kerberos authentication failed falling back to NTLM.",
                           channel->Name().c_str(), channel);
            Abandon(channel);
            if (!retry) return nullptr;
            overrideMode = L"NTLM";
            continue;
        }
        if (!PeerIsTheVerifiedAccount(*channel, result.peer, serverPid, serverAccount)) {
            Abandon(channel);
            return nullptr;
        }
        if (result.peerLevel < 9) SendStartup(*channel);
        if (!channel->StartReceiving(sink)) {
            Abandon(channel);
            return nullptr;
        }
        channel->UseKeepAlive(true);
        LogMessage(LOG_INFO, L"CORE::SharedMemChannel::Connect(): Channel %s (0x%p): SharedMem Connect Ok", channel->Name().c_str(),
                   channel);
        return channel;
    }
    return nullptr;
}

}  // namespace CORE
