// The message envelope: its binary forms and their size checks, the legacy text form, the
// items it carries in the payload, responses and the wire form a peer level gets.
#include "mfw/MfwTestSupport.h"

#include "lib/mfw/common/bag/ByteData.h"
#include "lib/mfw/common/bag/CharEncConverter.h"
#include "lib/mfw/common/wire/Message.h"

namespace mfwtest {
namespace {

using CORE::Message;
using CORE::PropertyBag;

Message Sample() {
    Message message = Message::NewRequest(L"DesktopManager", L"GetCredentialsForTicket", Bag({{L"sessionId", L"2"}, {L"userName", L"\u00e9mile"}}));
    message.messageId = L"id-1";
    return message;
}
std::vector<BYTE> Flat(const Message& message, int encoding) {
    CORE::SecureBytes bytes;
    EXPECT_TRUE(encoding == 0 ? message.FlattenPlain(&bytes) : message.Flatten(encoding, &bytes));
    return std::vector<BYTE>(bytes.begin(), bytes.end());
}

TEST(Message, AnEmptyPayloadHasOnlyTheEnvelopeAndMessagesRoundTripInEveryBinaryFormWithTheFilterTagsInThePayload) {
    Message empty;
    empty.messageType = CORE::MSG_ONEWAY;
    empty.queueName = L"Q";
    empty.queueHint = L"h";
    const std::vector<BYTE> bytes = Flat(empty, CORE::CHAR_ENC_UTF8);
    EXPECT_EQ(bytes, std::vector<BYTE>({0, 4, 0, 3, 0, 1, 0, 1, 0, 0, 0, 0,  // flags, type, lengths
                                        0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 'Q', 'h'}));
    Message back;
    EXPECT_TRUE(Message::Parse(bytes.data(), bytes.size(), CORE::CHAR_ENC_UTF8, &back) && back.Equals(empty));
    Message message = Sample();
    message.replyToId = L"r";
    message.hasAttachment = true;
    message.filterTags.Set(L"route", L"a");
    const BYTE blob[] = {9};
    message.payload.SetBinary(CORE::kRemoteInfoItem, blob, 1);  // left alone
    for (const std::vector<BYTE>& attachment : {std::vector<BYTE>{1, 2, 3}, std::vector<BYTE>{}})
        for (int encoding : {0, 1, 2}) {
            message.attachment = attachment;
            const std::vector<BYTE> bytes = Flat(message, encoding);
            EXPECT_FALSE(message.payload.Contains(CORE::kFilterTagsItem));  // the caller's payload is untouched
            EXPECT_EQ(CORE::LoadU16BE(bytes.data()), encoding == 0 ? 0x2 : encoding == 1 ? 0x6 : 0xA);
            Message back;
            EXPECT_TRUE(Message::Parse(bytes.data(), bytes.size(), encoding, &back) && back.Equals(message)) << encoding << " " << Narrow(back.payload.ToXml());
        }
}

TEST(Message, SizeChecksComeInOrder) {
    const std::vector<BYTE> bytes = Flat(Sample(), CORE::CHAR_ENC_UTF8);
    // The flattened sample with big-endian words stored over it: {offset, value, width}.
    auto patched = [&](std::initializer_list<std::tuple<size_t, uint32_t, int>> words) {
        std::vector<BYTE> out = bytes;
        for (auto [offset, value, width] : words)
            if (offset + width <= out.size()) width == 2 ? CORE::StoreU16BE(out.data() + offset, static_cast<uint16_t>(value)) : CORE::StoreU32BE(out.data() + offset, value);
        return out;
    };
    std::vector<BYTE> longer = bytes;
    longer.push_back(0);
    const std::tuple<const char*, std::vector<BYTE>, const wchar_t*> cases[] = {
        {"27 bytes", std::vector<BYTE>(bytes.begin(), bytes.begin() + 27), L"Message invalid, size less than base structure"},
        {"one byte longer", longer, L"Message invalid, sizes does not add up"},
        {"one byte shorter", std::vector<BYTE>(bytes.begin(), bytes.end() - 1), L"Message invalid, sizes does not add up"},
        {"entry count whose six times wraps", patched({{12, 0xFFFFFFFF, 4}}), L"Message invalid, sizes does not add up"},
        {"huge attachment", patched({{0, 0x6, 2}, {20, 0xFFFFFFFF, 4}}), L"Message invalid, sizes does not add up"},
        {"queue name past area", patched({{4, 0xFFFF, 2}}), L"Failed to read/re-encode queueName, encoding=Utf8"},
        {"other encoding", patched({{0, 0x8, 2}}), L"expected encoding=Utf8"},
    };
    for (const auto& [what, input, logged] : cases) {
        testsupport::LogCapture log;
        Message out;
        EXPECT_TRUE(!Message::Parse(input.data(), input.size(), CORE::CHAR_ENC_UTF8, &out) && log.Contains(logged, CORE::LOG_ERROR))
            << what << "\n" << Narrow(log.Dump());
    }
}

TEST(Message, NewRequestsGetDistinctUuidsResponsesCarryTheirResultInTheHintAndTheWireFormFollowsPeerLevelAndEncoding) {
    Message request = Message::NewRequest(L"DesktopManager", L"op", PropertyBag());
    EXPECT_TRUE(request.messageId.size() == 36u && request.messageId != Message::NewRequest(L"DesktopManager", L"op", PropertyBag()).messageId);
    Message response = request.MakeResponse(10, PropertyBag()), cancel = request.MakeCancel();
    EXPECT_EQ(std::make_tuple(response.messageType, response.replyToId, response.ResultCode(), std::wstring(CORE::ResultName(10)),
                              std::wstring(CORE::ResultName(11))),
              std::make_tuple(CORE::MSG_RESPONSE, request.messageId, DWORD(10), std::wstring(L"SystemBusy"), std::wstring(L"<UNKNOWN>")));
    for (const wchar_t* garbled : {L"", L"x", L"-1", L"0x0", L"99999999999"}) {
        response.queueHint = garbled;
        EXPECT_EQ(response.ResultCode(), 1u) << Narrow(garbled);
    }
    EXPECT_EQ(std::tie(cancel.messageType, cancel.messageId, cancel.queueName), std::make_tuple(CORE::MSG_CANCEL, request.messageId, request.queueName));
    const std::tuple<unsigned, int, CORE::WireForm> cases[] = {
        {11, 1, CORE::WIRE_FORM_UTF8}, {10, 1, CORE::WIRE_FORM_UTF8}, {11, 2, CORE::WIRE_FORM_PLAIN}, {9, 1, CORE::WIRE_FORM_PLAIN},
        {4, 2, CORE::WIRE_FORM_PLAIN}, {3, 1, CORE::WIRE_FORM_LEGACY}, {11, 0, CORE::WIRE_FORM_NONE}};
    for (const auto& [level, encoding, form] : cases) EXPECT_EQ(CORE::ChooseWireForm(level, encoding), form) << level << "/" << encoding;
}

TEST(MessageLegacy, RoundTripsAndRefusesMalformedText) {
    Message message = Sample(), back;
    message.replyToId = L"r";
    std::wstring text;
    ASSERT_TRUE(message.FlattenLegacy(&text));
    EXPECT_EQ(text.rfind(L"01\t1\tDesktopManager\tid-1\tr\tGetCredentialsForTicket\t<PROPERTYBAG>", 0), 0u);
    EXPECT_TRUE(Message::ParseLegacy(text.data(), text.size(), &back) && back.queueHint == message.queueHint && back.payload.Equals(message.payload));
    const std::pair<std::wstring, const wchar_t*> cases[] = {
        {L"01\t1\tq\tid\tr\thint", L"num of delimiters must be least 6"},
        {L"02\t1\tq\tid\tr\thint\t", L"bad protocol level specified"},
        {L"01\t1\tq\tid\tr\thint\t<PROPERTYBAG><ITEM>", L"payload does not parse"},
    };
    for (const auto& [input, logged] : cases) {
        testsupport::LogCapture log;
        EXPECT_TRUE(!Message::ParseLegacy(input.data(), input.size(), &back) && log.Contains(logged)) << Narrow(log.Dump());
    }
    message.queueName = L"tab\there";
    EXPECT_FALSE(message.FlattenLegacy(&text));
}

}  // namespace
}  // namespace mfwtest
