// Robustness of the channel's receive path and of the security tokens: mutated packet
// streams (control words, whole messages, chunks, protected packets) and mutated tokens from
// a fixed seed. Nothing may crash or read out of bounds, and what is delivered round-trips.
#include "mfw/MfwTestSupport.h"

#include "lib/mfw/common/bag/ByteData.h"
#include "lib/mfw/common/wire/PacketFraming.h"

#include <deque>

namespace mfwtest {
namespace {

using CORE::Message;
using CORE::MessageChannel;
namespace Packet = CORE::Packet;

Message Sample() {
    CORE::PropertyBag payload = Bag({{L"userName", L"alice"}, {L"ticket", L"T-1"}});
    std::vector<BYTE> blob(3000, 0x5A);
    payload.SetBinary(L"blob", blob.data(), blob.size());
    return Message::NewRequest(L"DesktopManager", L"GetCredentialsForTicket", payload);
}

std::vector<BYTE> Concat(const std::vector<std::vector<BYTE>>& packets) {
    std::vector<BYTE> out;
    for (const auto& packet : packets) out.insert(out.end(), packet.begin(), packet.end());
    return out;
}

// Every delivered message must survive being written and read again.
void CheckRoundTrip(const std::deque<Message>& messages, int round) {
    for (const auto& message : messages) {
        std::vector<BYTE> again;
        ASSERT_TRUE(message.FlattenPlain(&again)) << round;
        Message back;
        ASSERT_TRUE(Message::Parse(again.data(), again.size(), 0, &back)) << round;
        ASSERT_TRUE(SameMessage(back, message)) << round;
    }
}

TEST(ChannelFuzz, MutatedPacketStreamsNeverCrashTheReceivePath) {
    std::vector<BYTE> flat;
    ASSERT_TRUE(Sample().FlattenPlain(&flat));
    std::vector<std::vector<BYTE>> chunks, whole;
    ASSERT_TRUE(Packet::BuildPackets(flat.data(), flat.size(), 1024, 5, false, nullptr, &chunks));
    ASSERT_TRUE(Packet::BuildPackets(flat.data(), flat.size(), 65536, 1, false, nullptr, &whole));
    std::vector<BYTE> seed = {0, 0, 0, 1};
    for (auto* set : {&whole, &chunks})
        for (const auto& packet : *set) seed.insert(seed.end(), packet.begin(), packet.end());
    int delivered = 0;
    ForEachMutation(seed, 0xC4A7, 3000, [&](const std::vector<BYTE>& input, int round) {
        MessageChannel* channel = new MessageChannel(L"fuzz", true);  // no transport: nothing is answered
        std::deque<Message> messages;
        channel->ChannelRecvDone(input.data(), input.size(), &messages);
        channel->Release();
        delivered += static_cast<int>(messages.size());
        CheckRoundTrip(messages, round);
    });
    EXPECT_GT(delivered, 0);
}

TEST(ChannelFuzz, MutatedProtectedPacketsAreRefusedOrDecryptFaithfully) {
    testsupport::FakePlatform fake;
    std::vector<BYTE> flat;
    ASSERT_TRUE(Sample().FlattenPlain(&flat));
    testsupport::Mutator mutator(0x9807EC7);
    int delivered = 0;
    for (int round = 0; round < 300; ++round) {
        // A fresh pair of contexts per round: sequence numbers start over.
        auto client = std::make_unique<CORE::SecurityContext>();
        auto server = std::make_unique<CORE::SecurityContext>();
        client->SetRequestFlags(0x1E);
        ASSERT_EQ(client->Acquire(L"NTLM", false), SEC_E_OK);
        ASSERT_EQ(server->Acquire(L"NTLM", true), SEC_E_OK);
        std::vector<BYTE> a, b, c, d;
        ASSERT_EQ(client->Step({}, &a), SEC_I_CONTINUE_NEEDED);
        ASSERT_EQ(server->Step(a, &b), SEC_I_CONTINUE_NEEDED);
        ASSERT_EQ(client->Step(b, &c), SEC_E_OK);
        ASSERT_EQ(server->Step(c, &d), SEC_E_OK);
        std::vector<std::vector<BYTE>> packets;
        auto protect = [&](const BYTE* data, size_t length, std::vector<BYTE>* body) { return client->Protect(data, length, body); };
        ASSERT_TRUE(Packet::BuildPackets(flat.data(), flat.size(), 2048, 3, false, protect, &packets));
        std::vector<BYTE> input = round == 0 ? Concat(packets) : mutator.Mutate(Concat(packets));
        MessageChannel* channel = new MessageChannel(L"fuzz", false);
        channel->AttachSecurity(std::move(server));
        std::deque<Message> messages;
        channel->ChannelRecvDone(input.data(), input.size(), &messages);
        if (round == 0) {
            EXPECT_EQ(messages.size(), 1u);
        }
        delivered += static_cast<int>(messages.size());
        CheckRoundTrip(messages, round);
        channel->Release();
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(delivered, 0);
}

TEST(ChannelFuzz, MutatedSecurityTokensAreRefusedWithoutHarm) {
    testsupport::FakePlatform fake;
    testsupport::Mutator mutator(0x70CE5);
    CORE::SecurityContext seedClient;
    seedClient.SetRequestFlags(0x1E);
    ASSERT_EQ(seedClient.Acquire(L"Negotiate", false), SEC_E_OK);
    std::vector<BYTE> negotiate;
    ASSERT_EQ(seedClient.Step({}, &negotiate), SEC_I_CONTINUE_NEEDED);
    int accepted = 0;
    for (int round = 0; round < 1500; ++round) {
        // Server side: a mutated first token.
        CORE::SecurityContext server;
        ASSERT_EQ(server.Acquire(L"Negotiate", true), SEC_E_OK);
        std::vector<BYTE> challenge;
        SECURITY_STATUS status = server.Step(mutator.Mutate(negotiate), &challenge);
        if (status == SEC_I_CONTINUE_NEEDED) ++accepted;
        // Client side: a fresh client given a mutated answer to its first token.
        CORE::SecurityContext client;
        client.SetRequestFlags(0x1E);
        ASSERT_EQ(client.Acquire(L"Negotiate", false), SEC_E_OK);
        std::vector<BYTE> first, second;
        ASSERT_EQ(client.Step({}, &first), SEC_I_CONTINUE_NEEDED);
        CORE::SecurityContext honest;
        ASSERT_EQ(honest.Acquire(L"Negotiate", true), SEC_E_OK);
        std::vector<BYTE> goodChallenge;
        ASSERT_EQ(honest.Step(first, &goodChallenge), SEC_I_CONTINUE_NEEDED);
        std::vector<BYTE> mutated = mutator.Mutate(goodChallenge);
        status = client.Step(mutated, &second);
        // Mutual authentication: only the untouched challenge may complete.
        if (mutated != goodChallenge) {
            EXPECT_NE(status, SEC_E_OK) << round;
        }
    }
    EXPECT_GT(accepted, 0);
}

}  // namespace
}  // namespace mfwtest
