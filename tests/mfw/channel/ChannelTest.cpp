// The receive path of a channel fed bytes directly, and a channel over a real transport
// whose other end the test plays by hand.
#include "mfw/MfwTestSupport.h"

#include "lib/mfw/common/bag/ByteData.h"
#include "lib/mfw/common/channel/NodeManagerNames.h"
#include "lib/mfw/common/wire/PacketFraming.h"
#include "support/WaitFor.h"

#include <deque>

namespace mfwtest {
namespace {

using CORE::Message;
using CORE::MessageChannel;
using CORE::SharedMemTransport;
namespace Packet = CORE::Packet;

std::vector<BYTE> Word(uint32_t word) {
    std::vector<BYTE> bytes(4);
    CORE::StoreU32BE(bytes.data(), word);
    return bytes;
}

// A channel whose peer is a bare transport of this test.
class RawPeerFixture : public testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        const std::wstring prefix = L"Local\\TcChannelTest." + std::to_wstring(::GetCurrentProcessId()) + L"." + std::to_wstring(++counter);
        ASSERT_TRUE(peer.Create(prefix, ::GetCurrentProcessId()));
        auto transport = std::make_unique<SharedMemTransport>();
        ASSERT_TRUE(transport->Open(prefix, ::GetCurrentProcessId()));
        channel = new MessageChannel(L"test", true);
        channel->AttachTransport(std::move(transport));
    }
    void TearDown() override {
        channel->Close();
        channel->Release();
        EndChannelThreads();
    }
    // What the channel wrote to its peer, record by record (empty when nothing came).
    std::vector<BYTE> PeerReads(DWORD timeoutMs = 2000) {
        std::vector<BYTE> record;
        if (peer.Receive(&record, timeoutMs) != SharedMemTransport::OK) record.clear();
        return record;
    }
    bool Feed(const std::vector<BYTE>& block, std::deque<Message>* messages = nullptr) {
        std::deque<Message> local;
        return channel->ChannelRecvDone(block.data(), block.size(), messages ? messages : &local);
    }
    static std::vector<BYTE> Flat(const Message& message) {
        std::vector<BYTE> bytes;
        EXPECT_TRUE(message.FlattenPlain(&bytes));
        return bytes;
    }
    static std::vector<std::vector<BYTE>> Packets(const Message& message, uint32_t chunk, uint32_t id = 7) {
        std::vector<BYTE> bytes = Flat(message);
        std::vector<std::vector<BYTE>> packets;
        EXPECT_TRUE(Packet::BuildPackets(bytes.data(), bytes.size(), chunk, id, false, nullptr, &packets));
        return packets;
    }

    testsupport::LogCapture log;
    SharedMemTransport peer;
    MessageChannel* channel = nullptr;
};

TEST(PacketFraming, WordAnnouncesLengthAndKindAndImplausibleSizesAndOverrunsAreCaught) {
    EXPECT_EQ(Packet::Word(Packet::KIND_CHUNK | Packet::KIND_CHUNK_NEXT | Packet::KIND_PROTECTED, 0x20), 0xFCA00020u);
    auto sized = [](uint32_t word, size_t size) {
        std::vector<BYTE> block = Word(word);
        block.resize(size, 0xAB);
        return block;
    };
    const struct {
        const char* what;
        std::vector<BYTE> block;
        Packet::ParseStatus status;
    } cases[] = {
        {"one message", sized(0xFFE00010, 16), Packet::ParseStatus::Ok},
        {"control word 3", Word(3), Packet::ParseStatus::InvalidSize},
        {"control word 4", Word(4), Packet::ParseStatus::InvalidSize},
        {"unknown kind bits", sized(0xFDE00008, 8), Packet::ParseStatus::InvalidSize},
        {"length below the header", Word(0xFFE00004), Packet::ParseStatus::InvalidSize},
        {"chunk without room for its field", sized(0xFEE00007, 7), Packet::ParseStatus::InvalidSize},
        {"length past the block", sized(0xFFE00010, 15), Packet::ParseStatus::OverrunPacket},
        {"huge length", sized(0xFFFFFFFF, 64), Packet::ParseStatus::OverrunPacket},
        {"two stray bytes", std::vector<BYTE>{0, 0, 0, 1, 0, 0}, Packet::ParseStatus::OverrunSize},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Packet::ParseBlock(c.block.data(), c.block.size(), [](const Packet::View&) { return true; }), c.status)
            << c.what;
    const std::vector<BYTE>& one = cases[0].block;
    std::vector<Packet::View> views;
    ASSERT_EQ(Packet::ParseBlock(one.data(), one.size(), [&](const Packet::View& view) { return views.push_back(view), true; }),
              Packet::ParseStatus::Ok);
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].kind, Packet::KIND_MESSAGE);
    EXPECT_EQ(views[0].bodyLength, 12u);
    EXPECT_EQ(views[0].body, one.data() + 4);
}

TEST_F(RawPeerFixture, KeepAliveRequestIsAnsweredAndAbortCloses) {
    EXPECT_TRUE(Feed(Word(0)));
    EXPECT_EQ(PeerReads(), Word(1));
    // Traced like the channel's other lines, without the keep-alive logging setting.
    EXPECT_TRUE(testsupport::WaitFor([&] { return log.Contains(L"Sending keep alive response", CORE::LOG_TRACE); }));
    EXPECT_TRUE(Feed(Word(1)));
    EXPECT_TRUE(PeerReads(100).empty());  // a response needs no answer
    EXPECT_FALSE(Feed(Word(2)));
    EXPECT_TRUE(log.Contains(L"Session aborted by the remote end", CORE::LOG_INFO));
    EXPECT_FALSE(Feed(Word(3)));
    EXPECT_TRUE(log.Contains(L"Invalid message size received, closing down"));
    EXPECT_FALSE(Feed({0, 0, 0, 1, 0xFF, 0xE0}));
    EXPECT_TRUE(log.Contains(L"Buffer overrun on read packet size"));
    EXPECT_FALSE(Feed({0xFF, 0xE0, 0x00, 0x20, 1, 2}));
    EXPECT_TRUE(log.Contains(L"Buffer overrun on read packet"));
}

// The peer named one challenge event while authenticating; later internal challenges for any
// other event of the machine are refused.
TEST_F(RawPeerFixture, InternalChallengeSetsOnlyThisChannelsEvent) {
    const std::wstring tag = std::to_wstring(::GetCurrentProcessId());
    const std::wstring mine = L"TcChannelTest.mine." + tag, other = L"TcChannelTest.other." + tag;
    platform::unique_handle mineEvent(::CreateEventW(nullptr, TRUE, FALSE, CORE::ChallengeEventName(mine).c_str()));
    platform::unique_handle otherEvent(::CreateEventW(nullptr, TRUE, FALSE, CORE::ChallengeEventName(other).c_str()));
    channel->SetChallengeEvent(mine);
    struct Sink : CORE::IChannelSink {
        std::atomic<int> seen{0};
        void OnChannelMessage(MessageChannel*, Message&) override { ++seen; }
        void OnChannelClosed(MessageChannel*) override {}
    } sink;
    ASSERT_TRUE(channel->StartReceiving(&sink));
    auto oneway = [](const wchar_t* hint, const std::wstring& event) {
        Message message;
        message.messageType = CORE::MSG_ONEWAY;
        message.queueHint = hint;
        message.payload.Set(L"challengeEvent", event);
        return message;
    };
    // In order: the two challenges, then a message for the sink that shows both were handled.
    for (const Message& message : {oneway(CORE::kLocalChallengeHint, other), oneway(CORE::kLocalChallengeHint, mine),
                                   oneway(L"Marker", L"")})
        for (const auto& packet : Packets(message, 65536))
            ASSERT_EQ(peer.Send(packet.data(), packet.size(), 1000), SharedMemTransport::OK);
    ASSERT_TRUE(testsupport::WaitFor([&] { return sink.seen.load() == 1; }));
    EXPECT_EQ(::WaitForSingleObject(otherEvent.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(::WaitForSingleObject(mineEvent.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(log.Contains(L"refusing a local client challenge for '" + other + L"'", CORE::LOG_ERROR));
}

// Its waiters would otherwise sit out their whole time-out.
TEST_F(RawPeerFixture, UnparsableBodyClosesTheChannel) {
    std::vector<BYTE> block = Word(0xFFE0000C);
    block.resize(12, 0x55);
    std::deque<Message> messages;
    EXPECT_FALSE(Feed(block, &messages));
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(log.Contains(L"Invalid message received"));
}

// One way only: a fault that the echo of the framework tests would undo on the way back shows here.
TEST_F(RawPeerFixture, ChunksReassembleIntoOneMessage) {
    Message big = Message::NewRequest(L"DesktopManager", L"Big", CORE::PropertyBag());
    std::vector<BYTE> blob(70000);
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<BYTE>(i * 7);
    big.payload.SetBinary(L"blob", blob.data(), blob.size());
    auto packets = Packets(big, 16384);
    ASSERT_EQ(packets.size(), 5u);
    std::deque<Message> messages;
    for (const auto& packet : packets) ASSERT_TRUE(Feed(packet, &messages));
    ASSERT_EQ(messages.size(), 1u);
    std::vector<BYTE> back;
    ASSERT_TRUE(messages.front().payload.GetBinary(L"blob", &back));
    EXPECT_EQ(back, blob);
}

TEST_F(RawPeerFixture, ChunksOutOfOrderCloseTheChannel) {
    Message big = Message::NewRequest(L"DesktopManager", L"Big", CORE::PropertyBag());
    std::vector<BYTE> blob(40000, 1);
    big.payload.SetBinary(L"blob", blob.data(), blob.size());
    auto a = Packets(big, 16384, 7);  // first, next, last
    auto b = Packets(big, 16384, 9);
    std::vector<BYTE> badFormat = a[0];
    CORE::StoreU32BE(badFormat.data() + 4, 0x40000007);  // reserved bit 30
    std::vector<BYTE> zeroId = a[0];
    CORE::StoreU32BE(zeroId.data() + 4, 0);
    std::vector<BYTE> huge = Word(Packet::Word(Packet::KIND_CHUNK, 16));  // refused before allocating
    huge.resize(16);
    CORE::StoreU32BE(huge.data() + 4, 5);
    CORE::StoreU32BE(huge.data() + 8, 0xFFFFFFF0);  // total length
    struct Case {
        const char* what;
        std::vector<std::vector<BYTE>> sequence;
        const wchar_t* logged;
    } cases[] = {
        {"first while chunking", {a[0], b[0]}, L"Invalid first message chunk when already chunking, closing down"},
        {"continuation of another message", {a[0], b[1]}, L"Invalid continuation chunk message id received, closing down"},
        {"continuation without a first", {a[1]}, L"Invalid continuation chunk message id received, closing down"},
        {"last of another message", {a[0], a[1], b[2]}, L"Invalid last chunk message id received, closing down"},
        {"reserved id bit", {badFormat}, L"Invalid chunk message id format received, closing down"},
        {"id zero", {zeroId}, L"Invalid chunk message id format received, closing down"},
        {"last before the whole size", {a[0], a[2]}, L"Invalid message size received, closing down"},
        {"whole message while chunking", {a[0], Word(0xFFE00010)}, L"Invalid continuation chunk message id received"},
        {"total beyond the cap", {huge}, L"Invalid message size received, closing down"},
    };
    for (const auto& c : cases) {
        log.Clear();
        TearDown();
        SetUp();
        bool open = true;
        for (auto packet : c.sequence) {
            if (packet.size() == 4) packet.resize(16);
            open = Feed(packet);
        }
        EXPECT_FALSE(open) << c.what;
        EXPECT_TRUE(log.Contains(c.logged)) << c.what << "\n" << Narrow(log.Dump());
    }
}

class Sink : public CORE::IChannelSink {
public:
    void OnChannelMessage(MessageChannel*, Message&) override { ++messages; }
    void OnChannelClosed(MessageChannel*) override { ::SetEvent(closed.get()); }
    std::atomic<int> messages{0};
    platform::unique_handle closed{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

TEST_F(RawPeerFixture, SilentPeerIsAbortedByTheDisconnectTimer) {
    Sink sink;
    ASSERT_TRUE(channel->StartReceiving(&sink));
    channel->UseKeepAlive(1, false);
    // The peer sees keep-alive requests, answers none, and is given up on after a second.
    EXPECT_EQ(PeerReads(3000), Word(0));
    EXPECT_EQ(::WaitForSingleObject(sink.closed.get(), 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(log.Contains(L"Aborting channel on missing keep alive responses")) << Narrow(log.Dump());
    EXPECT_TRUE(channel->IsClosed());
}

TEST_F(RawPeerFixture, PeerThatVanishesMidMessageClosesTheChannel) {
    Sink sink;
    ASSERT_TRUE(channel->StartReceiving(&sink));
    Message big = Message::NewRequest(L"Q", L"H", CORE::PropertyBag());
    std::vector<BYTE> blob(50000, 3);
    big.payload.SetBinary(L"blob", blob.data(), blob.size());
    auto packets = Packets(big, 16384);
    ASSERT_EQ(peer.Send(packets[0].data(), packets[0].size(), 1000), SharedMemTransport::OK);
    peer.Close();
    EXPECT_EQ(::WaitForSingleObject(sink.closed.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(sink.messages.load(), 0);
}

TEST(SharedMemTransport, RecordsWrapAroundTheRingAndCorruptCountersOrOversizedRecordsClose) {
    const std::wstring prefix = L"Local\\TcTransportTest." + std::to_wstring(::GetCurrentProcessId());
    SharedMemTransport server, client;
    ASSERT_TRUE(server.Create(prefix, ::GetCurrentProcessId(), 4096));
    ASSERT_TRUE(client.Open(prefix, ::GetCurrentProcessId()));
    std::vector<BYTE> record;
    for (int round = 0; round < 50; ++round) {
        std::vector<BYTE> data(1000 + round * 37 % 900, static_cast<BYTE>(round));
        ASSERT_EQ(client.Send(data.data(), data.size(), 1000), SharedMemTransport::OK);
        ASSERT_EQ(server.Receive(&record, 1000), SharedMemTransport::OK);
        ASSERT_EQ(record, data) << round;
    }
    // A hostile peer claims far more than the ring holds: closed instead of read out of bounds.
    platform::unique_handle section(::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, (prefix + L".Map").c_str()));
    auto* view = static_cast<BYTE*>(::MapViewOfFile(section.get(), FILE_MAP_ALL_ACCESS, 0, 0, 4096));
    ASSERT_NE(view, nullptr);
    *reinterpret_cast<volatile LONG64*>(view + 64) = 0x7FFFFFFFFFFF;
    ::UnmapViewOfFile(view);
    testsupport::LogCapture log;
    EXPECT_EQ(server.Receive(&record, 1000), SharedMemTransport::CLOSED);
    EXPECT_TRUE(log.Contains(L"shared memory ring corrupt"));
    std::vector<BYTE> tooBig(4096);
    EXPECT_EQ(client.Send(tooBig.data(), tooBig.size(), 10), SharedMemTransport::CLOSED);
}

}  // namespace
}  // namespace mfwtest
