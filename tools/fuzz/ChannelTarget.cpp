// The channel's receive path: packet framing, control words, chunk assembly and, for protected
// packets, the security context's unprotect step. Seeds: a keep-alive answer, a request whole
// and the same request in chunks (plain); the request in protected chunks made by a new client
// context for each input (the last seed). Rules: every delivered plain message is written again
// and reads back as the same message; a protected stream delivers nothing but the request.
#include "Samples.h"
#include "Target.h"

#include "lib/mfw/common/channel/MessageChannel.h"
#include "lib/mfw/common/channel/SecurityContext.h"
#include "lib/mfw/common/wire/PacketFraming.h"

#include <deque>

namespace fuzz {
namespace {

using Protect = std::function<bool(const BYTE*, size_t, CORE::SecureBytes*)>;

CORE::Message Request() {
    CORE::PropertyBag payload;
    payload.Set(L"userName", L"alice");
    payload.Set(L"ticket", L"T-1");
    const std::vector<BYTE> blob(3000, 0x5A);
    payload.SetBinary(L"blob", blob.data(), blob.size());
    CORE::Message request = CORE::Message::NewRequest(L"DesktopManager", L"GetCredentialsForTicket", payload);
    request.messageId = L"fuzz-request";  // the same in every seed
    return request;
}

// The request as one block of packets of `chunk` bytes, each body passed through `protect`.
std::vector<BYTE> Packets(uint32_t chunk, uint32_t id, const Protect& protect = nullptr) {
    CORE::SecureBytes flat;
    std::vector<CORE::SecureBytes> packets;
    std::vector<BYTE> out;
    if (!Request().FlattenPlain(&flat) || !CORE::Packet::BuildPackets(flat.data(), flat.size(), chunk, id, false, protect, &packets))
        return out;
    for (const auto& packet : packets) out.insert(out.end(), packet.begin(), packet.end());
    return out;
}

// A client and a server context with the handshake done; false when it did not complete.
bool Handshake(CORE::SecurityContext& client, CORE::SecurityContext& server) {
    client.SetRequestFlags(0x1E);
    if (client.Acquire(L"NTLM", false) != SEC_E_OK || server.Acquire(L"NTLM", true) != SEC_E_OK) return false;
    std::vector<BYTE> token;
    for (int step = 0; step < 4; ++step) {
        std::vector<BYTE> answer;
        if ((step % 2 ? server : client).Step(token, &answer) != (step < 2 ? SEC_I_CONTINUE_NEEDED : SEC_E_OK)) return false;
        token = answer;
    }
    return true;
}

struct ChannelFuzz {
    size_t protectedSeed = 0;
    std::unique_ptr<CORE::SecurityContext> server;  // the current protected input's receiver

    void Renew(size_t index, std::vector<BYTE>* seed) {
        if (index != protectedSeed) return;
        CORE::SecurityContext client;
        server = std::make_unique<CORE::SecurityContext>();
        seed->clear();
        if (!Handshake(client, *server)) return;
        *seed = Packets(2048, 3, [&](const BYTE* data, size_t length, CORE::SecureBytes* body) {
            return client.Protect(data, length, body);
        });
    }

    Verdict Run(const Input& in) {
        const bool isProtected = in.seed == protectedSeed;
        CORE::MessageChannel* channel = new CORE::MessageChannel(L"fuzz", !isProtected);
        if (isProtected) channel->AttachSecurity(std::move(server));
        std::deque<CORE::Message> messages;
        channel->ChannelRecvDone(in.data, in.size, &messages);
        channel->Release();
        const CORE::Message request = Request();
        for (const auto& message : messages) {
            CORE::SecureBytes again;
            CORE::Message back;
            const bool ok = isProtected ? message.Equals(request)
                                        : message.FlattenPlain(&again) &&
                                              CORE::Message::Parse(again.data(), again.size(), 0, &back) && back.Equals(message);
            if (!ok) return Verdict::WronglyAccepted;
        }
        return messages.empty() ? Verdict::Refused : Verdict::Accepted;
    }
};

}  // namespace

std::unique_ptr<Target> ChannelTarget(PrivateMachine&) {
    auto state = std::make_shared<ChannelFuzz>();
    auto target = std::make_unique<Target>();
    target->name = "channel";
    std::vector<BYTE> plain = {0, 0, 0, 1};  // a keep-alive answer
    for (const auto& packets : {Packets(65536, 1), Packets(1024, 5)}) plain.insert(plain.end(), packets.begin(), packets.end());
    // Three plain inputs to each protected one: the handshake per protected input is costly.
    target->seeds = {{plain}, {plain}, {plain}, {}};
    state->protectedSeed = 3;
    target->renew = [state](size_t index, std::vector<BYTE>* seed) { state->Renew(index, seed); };
    target->run = [state](const Input& in) { return state->Run(in); };
    return target;
}

}  // namespace fuzz
