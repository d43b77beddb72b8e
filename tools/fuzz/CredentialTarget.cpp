// The filter's reading of the remote client's packed credential. Rule: an accepted credential
// is an interactive logon whose domain, user and ticket are the characters its header points
// to, past the header and inside the input.
#include "Target.h"

#include "filter/PackedInteractiveLogon.h"
#include "tools/logonsim/LogonUiSession.h"

#include <cstring>

namespace fuzz {
namespace {

bool AtItsOffset(const Input& in, size_t header, const wchar_t* text, size_t chars) {
    if (chars == 0) return true;
    uint64_t offset = 0;
    std::memcpy(&offset, in.data + header, 8);
    return offset >= kPackedInteractiveLogonSize && offset <= in.size && chars * 2 <= in.size - offset &&
           std::memcmp(in.data + offset, text, chars * 2) == 0;
}

Verdict Run(const Input& in) {
    PackedInteractiveLogon logon;
    if (UnpackInteractiveLogon(in.data, static_cast<ULONG>(in.size), &logon) != PackedLogonStatus::Ok) return Verdict::Refused;
    const bool ok = in.size >= kPackedInteractiveLogonSize && in.data[0] == 2 && !in.data[1] && !in.data[2] && !in.data[3] &&
                    AtItsOffset(in, 16, logon.domain.data(), logon.domain.size()) &&
                    AtItsOffset(in, 32, logon.user.data(), logon.user.size()) &&
                    AtItsOffset(in, 48, logon.ticket.c_str(), logon.ticket.size());
    return ok ? Verdict::Accepted : Verdict::WronglyAccepted;
}

}  // namespace

std::unique_ptr<Target> CredentialTarget(PrivateMachine&) {
    auto target = std::make_unique<Target>();
    target->name = "credential";
    target->seeds = {{logonsim::PackRemoteCredential({true, L"CORP", L"alice", L"a-broker-ticket"})},
                     {logonsim::PackRemoteCredential({true, L"", L"alice@corp.example", L"T-1"})}};
    target->run = &Run;
    return target;
}

}  // namespace fuzz
