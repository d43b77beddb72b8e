// Robustness of every parser of outside bytes: thousands of mutated and truncated inputs from a
// fixed seed. Nothing may crash or read out of bounds (the standard containers check their
// indexes in test builds), and whatever a parser accepts must survive a round trip.
#include "mfw/bag/BagStreams.h"
#include "lib/mfw/common/wire/Message.h"

namespace mfwtest {
namespace {

using CORE::PropertyBag;

constexpr int kRounds = 6000;

PropertyBag SampleBag() {
    PropertyBag upns = Bag({{L"user@corp.example", L"1"}, {L"other@corp.example", L""}});
    upns.SetBag(L"nested", PropertyBag());
    PropertyBag bag = Bag({{L"userName", L"J\u00f6rg"}, {L"", L"nameless"}, {L"ticket", L"\u20ac-ticket-\U0001F511"}});
    bag.SetBag(L"upns", upns);
    const BYTE blob[] = {0, 1, 2, 3, 0xFE, 0xFF};
    bag.SetBinary(L"__RemoteInfo__#?$*", blob, sizeof(blob));
    bag.SetBinary(L"none", blob, 0);
    return bag;
}

// One buffer holding the three streams, laid out as [count u32][sizes len u32][binary len u32]
// followed by the streams, so a single mutation can hit counts, lengths and contents.
std::vector<BYTE> Pack(const PropertyBag& bag, int encoding) {
    Flat flat;
    EXPECT_TRUE(FlattenBag(bag, encoding, &flat));
    std::vector<BYTE> out(12);
    CORE::StoreU32BE(out.data(), flat.count);
    CORE::StoreU32BE(out.data() + 4, static_cast<uint32_t>(flat.sizes.size()));
    CORE::StoreU32BE(out.data() + 8, static_cast<uint32_t>(flat.binary.size()));
    for (const auto* stream : {&flat.sizes, &flat.binary, &flat.strings}) out.insert(out.end(), stream->begin(), stream->end());
    return out;
}

bool Unpack(const std::vector<BYTE>& input, int encoding, PropertyBag* bag) {
    if (input.size() < 12) return false;
    const uint64_t sizesLength = CORE::LoadU32BE(input.data() + 4), binaryLength = CORE::LoadU32BE(input.data() + 8);
    if (sizesLength > input.size() - 12 || binaryLength > input.size() - 12 - sizesLength) return false;
    auto at = [&](uint64_t offset) { return input.begin() + 12 + static_cast<std::ptrdiff_t>(offset); };
    const Flat flat{{at(0), at(sizesLength)}, {at(sizesLength), at(sizesLength + binaryLength)},
                    {at(sizesLength + binaryLength), input.end()}, CORE::LoadU32BE(input.data())};
    return LoadBag(flat, encoding, bag);
}

class BagLoadFuzz : public testing::TestWithParam<int> {};

TEST_P(BagLoadFuzz, MutatedStreamsNeverCrashAndAcceptedBagsRoundTrip) {
    const int encoding = GetParam();
    const std::vector<BYTE> seed = Pack(SampleBag(), encoding);
    PropertyBag original;
    ASSERT_TRUE(Unpack(seed, encoding, &original) && original.Equals(SampleBag())) << Narrow(original.ToXml());  // the seed round-trips
    const int accepted = ForEachMutation(seed, 0x5EED0000 + static_cast<uint64_t>(encoding), kRounds, [&](const std::vector<BYTE>& input, int round) {
        PropertyBag bag, again;
        const bool ok = Unpack(input, encoding, &bag);
        EXPECT_TRUE(ok ? Unpack(Pack(bag, encoding), encoding, &again) && again.Equals(bag) : bag.IsEmpty()) << "round " << round;
        return ok;
    });
    EXPECT_TRUE(accepted > 0 && accepted < kRounds) << accepted;
}

INSTANTIATE_TEST_SUITE_P(Encodings, BagLoadFuzz, testing::Values(0, 1, 2));

TEST(XmlFuzz, MutatedTextNeverCrashesAndAcceptedBagsRoundTrip) {
    const std::wstring text = SampleBag().ToXml();
    const std::vector<wchar_t> seed(text.begin(), text.end());
    EXPECT_GT(ForEachMutation(seed, 0x0A11CE, kRounds, [&](const std::vector<wchar_t>& input, int round) {
        PropertyBag bag, again;
        const bool ok = bag.FromXml(std::wstring(input.begin(), input.end()));
        EXPECT_TRUE(ok ? again.FromXml(bag.IsEmpty() ? L"<PROPERTYBAG/>" : bag.ToXml()) && again.Equals(bag) : bag.IsEmpty()) << "round " << round;
        return ok;
    }), 0);
}


CORE::Message SampleMessage() {
    CORE::Message message = CORE::Message::NewRequest(L"DesktopManager", L"GetCredentialsForTicket", SampleBag());
    message.replyToId = L"reply";
    message.hasAttachment = true;
    message.attachment = {1, 2, 3, 4};
    message.filterTags.Set(L"tag", L"v");
    return message;
}

class MessageParseFuzz : public testing::TestWithParam<int> {};

TEST_P(MessageParseFuzz, MutatedBuffersNeverCrashAndAcceptedMessagesRoundTrip) {
    const int encoding = GetParam();
    CORE::SecureBytes flat;
    ASSERT_TRUE(encoding == 0 ? SampleMessage().FlattenPlain(&flat) : SampleMessage().Flatten(encoding, &flat));
    const std::vector<BYTE> seed(flat.begin(), flat.end());
    EXPECT_GT(ForEachMutation(seed, 0x3E55A6E + static_cast<uint64_t>(encoding), kRounds, [&](const std::vector<BYTE>& input, int round) {
        CORE::Message message, back;
        CORE::SecureBytes again;
        if (!CORE::Message::Parse(input.data(), input.size(), encoding, &message)) return false;
        EXPECT_TRUE((encoding == 0 ? message.FlattenPlain(&again) : message.Flatten(encoding, &again)) &&
                    CORE::Message::Parse(again.data(), again.size(), encoding, &back) && SameMessage(back, message)) << round;
        return true;
    }), 0);
}

INSTANTIATE_TEST_SUITE_P(Encodings, MessageParseFuzz, testing::Values(0, 1, 2));

TEST(MessageLegacyFuzz, MutatedTextNeverCrashesAndAcceptedMessagesRoundTrip) {
    std::wstring text;
    ASSERT_TRUE(SampleMessage().FlattenLegacy(&text));
    const std::vector<wchar_t> seed(text.begin(), text.end());
    EXPECT_GT(ForEachMutation(seed, 0x1E6AC7, kRounds / 3, [&](const std::vector<wchar_t>& input, int round) {
        CORE::Message message, back;
        std::wstring again;
        if (!CORE::Message::ParseLegacy(input.data(), input.size(), &message)) return false;
        // A mutated type above 9 has no legacy form.
        EXPECT_TRUE(!message.FlattenLegacy(&again) || (CORE::Message::ParseLegacy(again.data(), again.size(), &back) && SameMessage(back, message))) << round;
        return true;
    }), 0);
}

}  // namespace
}  // namespace mfwtest
