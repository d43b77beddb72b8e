// Robustness of the channel's receive path: mutated packet streams (control words, whole
// messages, chunks, protected packets) from a fixed seed. Nothing may crash or read out of bounds, and what is delivered round-trips.
#include "mfw/MfwTestSupport.h"

#include "lib/mfw/common/bag/ByteData.h"
#include "lib/mfw/common/wire/PacketFraming.h"

#include <deque>

namespace mfwtest {
namespace {

using CORE::Message;
using CORE::SecurityContext;
namespace Packet = CORE::Packet;

// The sample request as one block of packets of `chunk` bytes, each body passed through `protect`.
std::vector<BYTE> SamplePackets(uint32_t chunk, uint32_t id,
                                const std::function<bool(const BYTE*, size_t, CORE::SecureBytes*)>& protect = nullptr) {
    CORE::PropertyBag payload = Bag({{L"userName", L"alice"}, {L"ticket", L"T-1"}});
    std::vector<BYTE> blob(3000, 0x5A), out;
    CORE::SecureBytes flat;
    payload.SetBinary(L"blob", blob.data(), blob.size());
    EXPECT_TRUE(Message::NewRequest(L"DesktopManager", L"GetCredentialsForTicket", payload).FlattenPlain(&flat));
    std::vector<CORE::SecureBytes> packets;
    EXPECT_TRUE(Packet::BuildPackets(flat.data(), flat.size(), chunk, id, false, protect, &packets));
    for (const auto& packet : packets) out.insert(out.end(), packet.begin(), packet.end());
    return out;
}

// Feeds `input` to a fresh channel (no transport: nothing is answered); every delivered message
// must survive being written and read again. Returns how many were delivered.
size_t Receive(const std::vector<BYTE>& input, bool plain, std::unique_ptr<SecurityContext> security = nullptr) {
    CORE::MessageChannel* channel = new CORE::MessageChannel(L"fuzz", plain);
    if (security) channel->AttachSecurity(std::move(security));
    std::deque<Message> messages;
    channel->ChannelRecvDone(input.data(), input.size(), &messages);
    channel->Release();
    for (const auto& message : messages) {
        CORE::SecureBytes again;
        Message back;
        EXPECT_TRUE(message.FlattenPlain(&again) && Message::Parse(again.data(), again.size(), 0, &back) && SameMessage(back, message));
    }
    return messages.size();
}

// A client and a server context of NTLM with the handshake done.
std::pair<std::unique_ptr<SecurityContext>, std::unique_ptr<SecurityContext>> Contexts() {
    auto client = std::make_unique<SecurityContext>(), server = std::make_unique<SecurityContext>();
    client->SetRequestFlags(0x1E);
    EXPECT_TRUE(client->Acquire(L"NTLM", false) == SEC_E_OK && server->Acquire(L"NTLM", true) == SEC_E_OK);
    std::vector<BYTE> token;
    for (int step = 0; step < 4; ++step) {
        std::vector<BYTE> answer;
        EXPECT_EQ((step % 2 ? server : client)->Step(token, &answer), step < 2 ? SEC_I_CONTINUE_NEEDED : SEC_E_OK) << step;
        token = answer;
    }
    return {std::move(client), std::move(server)};
}

TEST(ChannelFuzz, MutatedPacketStreamsNeverCrashTheReceivePath) {
    std::vector<BYTE> seed = {0, 0, 0, 1};  // a keep-alive answer, the message whole, then in chunks
    for (const auto& packets : {SamplePackets(65536, 1), SamplePackets(1024, 5)}) seed.insert(seed.end(), packets.begin(), packets.end());
    EXPECT_GT(ForEachMutation(seed, 0xC4A7, 3000, [&](const std::vector<BYTE>& input, int) { return Receive(input, true) > 0; }), 0);
}

TEST(ChannelFuzz, MutatedProtectedPacketsAreRefusedOrDecryptFaithfully) {
    testsupport::FakePlatform fake;
    testsupport::Mutator mutator(0x9807EC7);
    size_t delivered = 0;
    for (int round = 0; round < 300 && !HasFatalFailure(); ++round) {
        auto [client, server] = Contexts();  // a fresh pair per round: sequence numbers start over
        auto protect = [&](const BYTE* data, size_t length, CORE::SecureBytes* body) { return client->Protect(data, length, body); };
        const std::vector<BYTE> packets = SamplePackets(2048, 3, protect);
        const size_t got = Receive(round == 0 ? packets : mutator.Mutate(packets), false, std::move(server));
        EXPECT_TRUE(round > 0 || got == 1u);
        delivered += got;
    }
    EXPECT_GT(delivered, 0u);
}

}  // namespace
}  // namespace mfwtest
