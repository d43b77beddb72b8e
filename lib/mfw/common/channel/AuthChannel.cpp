#include "lib/mfw/common/channel/AuthChannel.h"

#include "lib/mfw/common/bag/CharEncConverter.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/channel/NodeManagerNames.h"
#include "lib/mfw/common/log/SysMessage.h"

#include "platform/Platform.h"

#include <bcrypt.h>
#include <sddl.h>

#include <cstring>
#include <cwchar>

namespace CORE {

const wchar_t kAuthNegotiateHint[] = L"__AuthNegotiate__";
const wchar_t kAuthTokenHint[] = L"__AuthToken__";
const wchar_t kAuthFinalHint[] = L"__AuthFinal__";
const wchar_t kAuthFailedHint[] = L"__AuthFailed__";

namespace {

Message AuthMessage(const wchar_t* hint, const PropertyBag& payload) {
    Message message;
    message.messageType = MSG_ONEWAY;
    message.queueHint = hint;
    message.payload = payload;
    return message;
}

bool IsSspiPackage(const std::wstring& package) {
    for (const wchar_t* name : {L"Negotiate", L"Kerberos", L"NTLM"})
        if (_wcsicmp(package.c_str(), name) == 0) return true;
    return false;
}

std::wstring Join(const std::vector<std::wstring>& items) {
    std::wstring out;
    for (const auto& item : items) {
        if (!out.empty()) out += L",";
        out += item;
    }
    return out;
}

// A step waits its own time-out, and never past the options' deadline.
DWORD StepTimeout(const AuthOptions& options) {
    if (!options.deadline) return options.stepTimeoutMs;
    const ULONGLONG now = ::GetTickCount64();
    if (now >= options.deadline) return 0;
    const ULONGLONG left = options.deadline - now;
    return left < options.stepTimeoutMs ? static_cast<DWORD>(left) : options.stepTimeoutMs;
}

// Reads the peer's next step; a refusal from the server becomes the failure reason.
bool ReadStep(MessageChannel& channel, const wchar_t* hint, DWORD timeoutMs, PropertyBag* payload, std::wstring* reason) {
    Message message;
    if (!channel.ReadMessage(&message, timeoutMs)) {
        *reason = L"no answer from the peer within the time-out";
        return false;
    }
    if (message.queueHint == kAuthFailedHint) {
        *reason = L"refused by the peer: " + message.payload.GetErrorDescription();
        return false;
    }
    if (message.messageType != MSG_ONEWAY || message.queueHint != hint) {
        *reason = L"unexpected message '" + message.queueHint + L"' from the peer";
        return false;
    }
    *payload = std::move(message.payload);
    return true;
}

std::wstring TokenUserSid(std::wstring* accountName) {
    platform::unique_handle token;
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return std::wstring();
    token.reset(raw);
    BYTE buffer[512];
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size)) return std::wstring();
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    wchar_t* text = nullptr;
    std::wstring result;
    if (::ConvertSidToStringSidW(sid, &text) && text) {
        platform::unique_hlocal held(text);
        result = text;
    }
    wchar_t name[256], domain[256];
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use;
    if (::LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        *accountName = std::wstring(domain) + L"\\" + name;
    return result;
}

std::wstring GuidMappingContent(const std::wstring& authGuid, DWORD pid) {
    return authGuid + L"|" + std::to_wstring(pid);
}

}  // namespace

std::wstring AuthChannel::NewMarker() {
    ULONG marker = 0;
    if (::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&marker), sizeof(marker), BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        marker = ::GetTickCount() ^ (::GetCurrentProcessId() << 16);
    return std::to_wstring(marker);
}

int AuthChannel::GetOnWireCharEncoding(const std::wstring& text) {
    if (text.empty()) return 0;
    if (_wcsicmp(text.c_str(), L"Utf8") == 0) return CHAR_ENC_UTF8;
    if (_wcsicmp(text.c_str(), L"Utf16") == 0) return CHAR_ENC_UTF16;
    LogMessage(LOG_WARN, L"CORE::AuthChannel::GetOnWireCharEncoding(): Specified onwire character encoding not recognized, reverting to defaults");
    return 0;
}

int AuthChannel::NegotiateEncoding(int local, int remote) {
    const bool bothStated = (local == 1 || local == 2) && (remote == 1 || remote == 2);
    return bothStated && (local == CHAR_ENC_UTF8 || remote == CHAR_ENC_UTF8) ? CHAR_ENC_UTF8 : CHAR_ENC_UTF16;
}

namespace {

// What this process says about itself does not change while it runs: gathered once, since
// each part is a round trip to the system.
struct ProcessFacts {
    std::wstring machineName, programName, programPath, userDomainName, langIdName, session, pid, exeName, peerSid;
};

const ProcessFacts& Facts() {
    static const ProcessFacts facts = [] {
        ProcessFacts f;
        wchar_t buffer[MAX_PATH + 1];
        DWORD size = MAX_PATH;
        f.machineName = ::GetComputerNameW(buffer, &size) ? std::wstring(buffer, size) : L"localhost";
        std::wstring path = platform::Get().HostExecutablePath();
        size_t slash = path.find_last_of(L"\\/");
        std::wstring exe = path.substr(slash == std::wstring::npos ? 0 : slash + 1);
        std::wstring program = exe.substr(0, exe.rfind(L'.'));
        f.programName = program.empty() ? L"unknown" : program;
        f.programPath = path.empty() ? L"unknown" : path;
        f.exeName = exe.empty() ? L"unknown" : exe;
        std::wstring account;
        std::wstring sid = TokenUserSid(&account);
        f.userDomainName = account.empty() ? L"unknown" : account;
        f.peerSid = sid.empty() ? L"S-1-0-0" : sid;
        wchar_t locale[LOCALE_NAME_MAX_LENGTH] = L"";
        f.langIdName = ::GetUserDefaultLocaleName(locale, LOCALE_NAME_MAX_LENGTH) > 0 ? locale : L"en-US";
        DWORD session = 0;
        if (!platform::Get().ProcessIdToSessionId(::GetCurrentProcessId(), &session)) session = 0;
        f.session = std::to_wstring(session);
        f.pid = std::to_wstring(::GetCurrentProcessId());
        return f;
    }();
    return facts;
}

// Every outgoing failure ends here: the reason goes to the caller and to the log. Always false.
bool FailOutgoing(MessageChannel& channel, const std::wstring& reason, AuthResult* result) {
    result->reason = reason;
    LogMessage(LOG_ERROR, L"CORE::MessageChannel::Authenticate(): Channel %s (0x%p): Unable to connect, authentication failed, reason=%s",
               channel.Name().c_str(), &channel, reason.c_str());
    return false;
}

}  // namespace

PropertyBag AuthChannel::LocalPeerParams(const std::wstring& authGuid, bool sharedMemory, platform::unique_handle* mapping) {
    const ProcessFacts& facts = Facts();
    PropertyBag params;
    params.Reserve(11);
    params.Set(L"machineName", facts.machineName);
    params.Set(L"programName", facts.programName);
    params.Set(L"programPath", facts.programPath);
    params.Set(L"userDomainName", facts.userDomainName);
    params.Set(L"langIdName", facts.langIdName);
    params.Set(L"progFlags", L"0");
    params.Set(L"session", facts.session);
    params.Set(L"pid", facts.pid);
    params.Set(L"exeName", facts.exeName);
    params.Set(L"peerSID", facts.peerSid);
    if (sharedMemory) {
        std::wstring content = GuidMappingContent(authGuid, ::GetCurrentProcessId());
        mapping->reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                            (L"Local\\TcAuthGuid." + authGuid + L"." + facts.pid).c_str()));
        if (*mapping) {
            platform::unique_view view(::MapViewOfFile(mapping->get(), FILE_MAP_WRITE, 0, 0, 4096));
            size_t bytes = (content.size() + 1) * sizeof(wchar_t);
            if (view && bytes <= 4096) std::memcpy(view.get(), content.c_str(), bytes);
            params.Set(L"guidFileMappingHandle", std::to_wstring(reinterpret_cast<uintptr_t>(mapping->get())));
        }
    }
    return params;
}

bool AuthChannel::VerifyGuidMapping(DWORD pid, uint64_t handleValue, const std::wstring& authGuid) {
    platform::unique_handle process(::OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid));
    if (!process || handleValue == 0) return false;
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(process.get(), reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handleValue)),
                           ::GetCurrentProcess(), &copy, FILE_MAP_READ, FALSE, 0))
        return false;
    platform::unique_handle mapping(copy);
    platform::unique_view view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 4096));
    if (!view) return false;
    const std::wstring expected = GuidMappingContent(authGuid, pid);
    return (expected.size() + 1) * sizeof(wchar_t) <= 4096 &&
           std::wmemcmp(static_cast<const wchar_t*>(view.get()), expected.c_str(), expected.size() + 1) == 0;
}

bool AuthChannel::processPeerParams(MessageChannel& channel, const PropertyBag& token, bool sharedMemory,
                                    const std::wstring& authGuid, PeerParams* peer, std::wstring* reason) {
    struct Required {
        const wchar_t* name;
        const wchar_t* missing;
        std::wstring* target;
    } required[] = {
        {L"machineName", L"machine name", &peer->machineName},
        {L"programName", L"program name", &peer->programName},
        {L"programPath", L"program path", &peer->programPath},
        {L"userDomainName", L"user domain name", &peer->userDomainName},
        {L"langIdName", L"language name", &peer->langIdName},
        {L"progFlags", L"program flags", nullptr},
        {L"session", L"session", nullptr},
        {L"pid", L"pid", nullptr},
        {L"exeName", L"exe name", &peer->exeName},
        {L"peerSID", L"peerSID", &peer->peerSid},
    };
    auto fail = [&](const std::wstring& text) {
        *reason = text;
        LogMessage(LOG_ERROR, L"CORE::AuthChannel::processPeerParams(): Channel %s (0x%p): %s", channel.Name().c_str(),
                   &channel, text.c_str());
        return false;
    };
    for (const auto& item : required) {
        std::wstring value = token.Get(item.name);
        if (value.empty()) return fail(std::wstring(L"Authentication last token missing ") + item.missing);
        if (item.target) *item.target = value;
    }
    peer->progFlags = static_cast<DWORD>(ParseUInt(token.Get(L"progFlags"), true));
    peer->session = static_cast<DWORD>(ParseUInt(token.Get(L"session"), true));
    peer->pid = static_cast<DWORD>(ParseUInt(token.Get(L"pid"), true));
    if (SharedMemTransport* transport = channel.Transport()) {
        // The pid the connect named is the one the final token must speak for.
        if (transport->PeerPid() && peer->pid != transport->PeerPid())
            return fail(L"Authentication last token pid " + std::to_wstring(peer->pid) + L" is not the connected peer " +
                        std::to_wstring(transport->PeerPid()));
    }
    if (sharedMemory) {
        std::wstring handle = token.Get(L"guidFileMappingHandle");
        if (handle.empty()) return fail(L"Authentication last token missing guid file mapping");
        peer->guidFileMappingHandle = _wcstoui64(handle.c_str(), nullptr, 10);
        if (!VerifyGuidMapping(peer->pid, peer->guidFileMappingHandle, authGuid))
            return fail(L"Authentication last token guid file mapping does not prove the peer");
    }
    return true;
}

namespace {

// The client's first message: versions, the packages it offers, its marker and preferences.
PropertyBag NegotiateRequest(const AuthOptions& options, const std::wstring& marker) {
    PropertyBag first;
    first.Set(L"MajorVersion", std::to_wstring(kAuthMajorVersion));
    first.Set(L"MinorVersion", std::to_wstring(options.minorVersion));
    first.Set(L"PackageList", Join(options.packages));
    first.Set(L"clientMarker", marker);
    if (!options.authWorkerName.empty()) first.Set(L"authWorkerName", options.authWorkerName);
    if (options.preferredEncoding) first.Set(L"prefCharEncodingOnWire", std::to_wstring(options.preferredEncoding));
    if (options.provideSpnInNego && !options.spn.empty()) first.Set(L"spn", options.spn);
    return first;
}

std::unique_ptr<SecurityContext> NewContext(const AuthOptions& options) {
    auto context = std::make_unique<SecurityContext>();
    context->SetTarget(options.spn, options.setTargetName);
    context->SetRequestFlags(options.contextWanted);
    return context;
}

// The package's first token rides along for the package we prefer: when the server selects
// it, its answer comes with the server's first token and a round trip is saved. Null when the
// preferred package gives no first token.
std::unique_ptr<SecurityContext> AddEarlyToken(const AuthOptions& options, PropertyBag* first) {
    if (!IsSspiPackage(options.packages.front())) return nullptr;
    std::unique_ptr<SecurityContext> early = NewContext(options);
    std::vector<BYTE> token;
    if (early->Acquire(options.packages.front(), false) != SEC_E_OK ||
        early->Step({}, &token) != SEC_I_CONTINUE_NEEDED || token.empty())
        return nullptr;
    first->SetBinary(L"authToken", token.data(), token.size());
    first->Set(L"authTokenPackage", options.packages.front());
    return early;
}

// Checks the server's negotiate answer and records versions, encoding, guid and package.
bool ReadNegotiateReply(MessageChannel& channel, const AuthOptions& options, const PropertyBag& reply,
                        const std::wstring& marker, AuthResult* result) {
    const wchar_t* name = channel.Name().c_str();
    auto fail = [&](const std::wstring& reason) { return FailOutgoing(channel, reason, result); };
    if (reply.Get(L"clientMarker") != marker) {
        LogMessage(LOG_WARN, L"CORE::AuthChannel::OutgoingChannel(): Channel %s (0x%p): Authentication outgoing: client marker incorrect",
                   name, &channel);
        return fail(L"client marker incorrect");
    }
    const unsigned remoteMajor = static_cast<unsigned>(ParseUInt(reply.Get(L"MajorVersion"), true));
    const unsigned remoteMinor = static_cast<unsigned>(ParseUInt(reply.Get(L"MinorVersion"), true));
    if (remoteMajor != kAuthMajorVersion) {
        LogMessage(LOG_ERROR, L"CORE::AuthChannel::OutgoingChannel(): Channel %s (0x%p): Authentication negotiate major version diff, mine=%u, remote=%u",
                   name, &channel, kAuthMajorVersion, remoteMajor);
        return fail(L"major version differs");
    }
    result->peerLevel = remoteMinor < kAuthMinorVersion ? remoteMinor : kAuthMinorVersion;
    const int remoteEncoding = static_cast<int>(ParseUInt(reply.Get(L"prefCharEncodingOnWire"), true));
    result->encoding = AuthChannel::NegotiateEncoding(options.preferredEncoding, remoteEncoding);
    LogMessage(LOG_TRACE,
               L"CORE::AuthChannel::OutgoingChannel(): Channel %s (0x%p): Protocol minor version local=%u, remote=%u, negotiated=%u. Onwire char encoding local=%s, remote=%s, negotiated=%s",
               name, &channel, options.minorVersion, remoteMinor, result->peerLevel, CharEncodingName(options.preferredEncoding),
               CharEncodingName(remoteEncoding), CharEncodingName(result->encoding));
    result->authGuid = reply.Get(L"authGuid");
    if (result->authGuid.empty()) {
        LogMessage(LOG_ERROR, L"CORE::AuthChannel::OutgoingChannel(): Channel %s (0x%p): Authentication negotiate version missing auth guid",
                   name, &channel);
        return fail(L"missing auth guid");
    }
    result->selectedPackage = reply.Get(L"SelectedPackage");
    if (result->selectedPackage.empty()) {
        LogMessage(LOG_ERROR, L"CORE::AuthChannel::OutgoingChannel(): Channel %s (0x%p): No selected package received from server",
                   name, &channel);
        return fail(L"no selected package");
    }
    bool offered = false;
    for (const auto& package : options.packages) offered |= _wcsicmp(package.c_str(), result->selectedPackage.c_str()) == 0;
    if (!offered) return fail(L"the server selected package '" + result->selectedPackage + L"', which was not offered");
    return true;
}

// A local server proves it shares our machine by having us set the event it names.
bool SetChallengeEvent(MessageChannel& channel, const PropertyBag& reply, AuthResult* result) {
    const std::wstring challenge = reply.Get(L"challengeEvent");
    if (challenge.empty()) return true;
    channel.SetChallengeEvent(challenge);
    platform::unique_handle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, ChallengeEventName(challenge).c_str()));
    if (event && ::SetEvent(event.get())) return true;
    const wchar_t* name = channel.Name().c_str();
    LogMessage(LOG_ERROR, L"CORE::MessageChannel::GetChallengeEvent(): Channel %s (0x%p): MessageChannel: Unable to open event for local client challenge",
               name, &channel);
    LogMessage(LOG_ERROR, L"CORE::AuthChannel::OutgoingChannel(): Channel %s (0x%p): Failed to set challenge event", name, &channel);
    return FailOutgoing(channel, L"failed to set challenge event", result);
}

bool FailPackage(MessageChannel& channel, const std::wstring& reason, AuthResult* result) {
    result->packageFailed = true;
    return FailOutgoing(channel, reason, result);
}

bool FailStatus(MessageChannel& channel, SECURITY_STATUS failed, AuthResult* result) {
    wchar_t text[96];
    std::swprintf(text, 96, L"security package %ls failed, status 0x%08lx", result->selectedPackage.c_str(),
                  static_cast<unsigned long>(failed));
    return FailPackage(channel, text, result);
}

bool HasMinimum(MessageChannel& channel, const SecurityContext& context, const AuthOptions& options,
                AuthResult* result) {
    if ((context.Attributes() & options.contextMinimum) == options.contextMinimum) return true;
    wchar_t text[96];
    std::swprintf(text, 96, L"context attributes 0x%lx lack the minimum 0x%lx",
                  static_cast<unsigned long>(context.Attributes()), static_cast<unsigned long>(options.contextMinimum));
    return FailOutgoing(channel, text, result);
}

}  // namespace

// The security package's token exchange, continued from the early token when the server took it.
bool AuthChannel::ExchangeTokens(MessageChannel& channel, const AuthOptions& options, const PropertyBag& reply,
                                 std::unique_ptr<SecurityContext> early, AuthResult* result) {
    std::unique_ptr<SecurityContext> security;
    std::vector<BYTE> input, output;
    bool serverComplete = false;
    if (early && _wcsicmp(early->Package().c_str(), result->selectedPackage.c_str()) == 0 &&
        reply.GetBinary(L"authToken", &input) && !input.empty()) {
        security = std::move(early);  // carry on where the early token left off
        serverComplete = ParseBool(reply.Get(L"authTokenComplete"));
    } else {
        input.clear();
        security = NewContext(options);
        const SECURITY_STATUS acquired = security->Acquire(result->selectedPackage, false);
        if (acquired != SEC_E_OK && acquired != SEC_I_CONTINUE_NEEDED) return FailStatus(channel, acquired, result);
    }
    for (int step = 0; step <= 8; ++step) {
        const SECURITY_STATUS status = security->Step(input, &output);
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) return FailStatus(channel, status, result);
        if (!output.empty()) {
            PropertyBag token;
            token.SetBinary(L"token", output.data(), output.size());
            if (!channel.SendMessage(AuthMessage(kAuthTokenHint, token)))
                return FailOutgoing(channel, L"cannot send a security token", result);
        }
        if (status == SEC_E_OK) {
            if (!HasMinimum(channel, *security, options, result)) return false;
            if (serverComplete) {
                channel.AttachSecurity(std::move(security));
                return true;
            }
            // Our side is done while the server still checks our last token: send the final
            // token (protected) now instead of waiting a round trip for its acknowledgement.
            channel.AttachSecurity(std::move(security), false);
            if (!SendFinal(channel, options, result)) return false;
        }
        PropertyBag answer;
        std::wstring reason;
        if (!ReadStep(channel, kAuthTokenHint, StepTimeout(options), &answer, &reason))
            return FailPackage(channel, reason, result);
        serverComplete = ParseBool(answer.Get(L"complete"));
        input.clear();
        answer.GetBinary(L"token", &input);
        if (status == SEC_E_OK) {
            if (!serverComplete)
                return FailPackage(channel, L"the server needs more security tokens than the package gives", result);
            channel.ProtectReceive();
            return true;
        }
    }
    return FailPackage(channel, L"security package exchange does not end", result);
}

bool AuthChannel::OutgoingChannel(MessageChannel& channel, const AuthOptions& options, AuthResult* result) {
    if (options.packages.empty()) {
        LogMessage(LOG_ERROR, L"CORE::AuthChannel::OutgoingChannel(): Channel %s (0x%p): Authentication missing package list for negotiation",
                   channel.Name().c_str(), &channel);
        return FailOutgoing(channel, L"missing package list", result);
    }
    const std::wstring marker = NewMarker();
    PropertyBag first = NegotiateRequest(options, marker);
    std::unique_ptr<SecurityContext> early = AddEarlyToken(options, &first);
    if (!channel.SendMessage(AuthMessage(kAuthNegotiateHint, first)))
        return FailOutgoing(channel, L"cannot send the first token", result);

    PropertyBag reply;
    std::wstring reason;
    if (!ReadStep(channel, kAuthNegotiateHint, StepTimeout(options), &reply, &reason))
        return FailOutgoing(channel, reason, result);
    if (!ReadNegotiateReply(channel, options, reply, marker, result) || !SetChallengeEvent(channel, reply, result))
        return false;
    if (IsSspiPackage(result->selectedPackage)) {
        if (!ExchangeTokens(channel, options, reply, std::move(early), result)) return false;
    } else if (_wcsicmp(result->selectedPackage.c_str(), L"NONE") != 0) {
        return FailOutgoing(channel, L"package '" + result->selectedPackage + L"' is not supported", result);
    }
    if (!OutgoingFinal(channel, options, result)) return false;
    channel.SetPeer(result->peerLevel, result->encoding);
    return true;
}

bool AuthChannel::SendFinal(MessageChannel& channel, const AuthOptions& options, AuthResult* result) {
    result->finalSent = true;
    result->ownParams = LocalPeerParams(result->authGuid, options.sharedMemory, &result->ownMapping);
    if (channel.SendMessage(AuthMessage(kAuthFinalHint, result->ownParams))) return true;
    return FailOutgoing(channel, L"cannot send the final token", result);
}

bool AuthChannel::OutgoingFinal(MessageChannel& channel, const AuthOptions& options, AuthResult* result) {
    const wchar_t* name = channel.Name().c_str();
    auto fail = [&](const std::wstring& reason) { return FailOutgoing(channel, reason, result); };
    if (!result->finalSent && !SendFinal(channel, options, result)) return false;
    const PropertyBag& mine = result->ownParams;
    PropertyBag theirs;
    std::wstring reason;
    if (!ReadStep(channel, kAuthFinalHint, StepTimeout(options), &theirs, &reason)) return fail(reason);
    if (!processPeerParams(channel, theirs, options.sharedMemory, result->authGuid, &result->peer, &reason))
        return fail(reason);
    wchar_t attributes[48] = L"";
    if (channel.Security())
        std::swprintf(attributes, 48, L" (context attributes 0x%lx)", static_cast<unsigned long>(channel.Security()->Attributes()));
    LogMessage(LOG_INFO,
               L"CORE::AuthChannelInt::OutgoingFinal(): Channel %s (0x%p): Outgoing %s channel from %s to %s%s Authenticated through %s%s%s",
               name, &channel, options.sharedMemory ? L"SharedMem" : L"socket", mine.Get(L"exeName").c_str(),
               (result->peer.machineName + L"\\").c_str(), result->peer.exeName.c_str(), result->selectedPackage.c_str(),
               attributes, L"");
    return true;
}

}  // namespace CORE
