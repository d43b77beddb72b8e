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
    Message message;
    message.messageType = CORE::MSG_REQUEST;
    message.queueName = L"DesktopManager";
    message.queueHint = L"GetCredentialsForTicket";
    message.messageId = L"id-1";
    message.payload = Bag({{L"sessionId", L"2"}, {L"userName", L"\u00e9mile"}});
    return message;
}

TEST(Message, EmptyPayloadHasOnlyTheEnvelope) {
    Message message;
    message.messageType = CORE::MSG_ONEWAY;
    message.queueName = L"Q";
    message.queueHint = L"h";
    std::vector<BYTE> bytes;
    ASSERT_TRUE(message.Flatten(CORE::CHAR_ENC_UTF8, &bytes));
    const std::vector<BYTE> expected = {0, 4, 0, 3, 0, 1, 0, 1, 0, 0, 0, 0,  // flags, type, lengths
                                        0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 'Q', 'h'};
    EXPECT_EQ(bytes, expected);
    Message back;
    ASSERT_TRUE(Message::Parse(bytes.data(), bytes.size(), CORE::CHAR_ENC_UTF8, &back));
    EXPECT_EQ(back.queueName, L"Q");
    EXPECT_TRUE(back.replyToId.empty());
    EXPECT_TRUE(back.payload.IsEmpty());
}

TEST(Message, RoundTripsInEveryBinaryForm) {
    Message message = Sample();
    message.replyToId = L"r";
    message.hasAttachment = true;
    const BYTE blob[] = {9};
    message.payload.SetBinary(L"b", blob, 1);
    for (const std::vector<BYTE>& attachment : {std::vector<BYTE>{1, 2, 3}, std::vector<BYTE>{}})
        for (int encoding : {0, 1, 2}) {
            message.attachment = attachment;
            std::vector<BYTE> bytes;
            ASSERT_TRUE(encoding == 0 ? message.FlattenPlain(&bytes) : message.Flatten(encoding, &bytes));
            EXPECT_EQ(CORE::LoadU16BE(bytes.data()), encoding == 0 ? 0x2 : encoding == 1 ? 0x6 : 0xA);
            Message back;
            ASSERT_TRUE(Message::Parse(bytes.data(), bytes.size(), encoding, &back)) << encoding;
            EXPECT_EQ(std::tie(back.messageType, back.queueHint, back.messageId, back.replyToId, back.hasAttachment, back.attachment),
                      std::tie(message.messageType, message.queueHint, message.messageId, message.replyToId,
                               message.hasAttachment, message.attachment));
            EXPECT_TRUE(back.payload.Equals(message.payload)) << Narrow(back.payload.ToXml());
        }
}

TEST(Message, SizeChecksComeInOrder) {
    std::vector<BYTE> bytes;
    ASSERT_TRUE(Sample().Flatten(CORE::CHAR_ENC_UTF8, &bytes));
    // The flattened sample with big-endian words stored over it: {offset, value, width}.
    auto patched = [&](std::initializer_list<std::tuple<size_t, uint32_t, int>> words) {
        std::vector<BYTE> out = bytes;
        for (auto [offset, value, width] : words)
            width == 2 ? CORE::StoreU16BE(out.data() + offset, static_cast<uint16_t>(value)) : CORE::StoreU32BE(out.data() + offset, value);
        return out;
    };
    std::vector<BYTE> longer = bytes;
    longer.push_back(0);
    const struct {
        const char* what;
        std::vector<BYTE> input;
        const wchar_t* logged;
    } cases[] = {
        {"27 bytes", std::vector<BYTE>(bytes.begin(), bytes.begin() + 27), L"Message invalid, size less than base structure"},
        {"one byte longer", longer, L"Message invalid, sizes does not add up"},
        {"one byte shorter", std::vector<BYTE>(bytes.begin(), bytes.end() - 1), L"Message invalid, sizes does not add up"},
        {"entry count whose six times wraps", patched({{12, 0xFFFFFFFF, 4}}), L"Message invalid, sizes does not add up"},
        {"huge attachment", patched({{0, 0x6, 2}, {20, 0xFFFFFFFF, 4}}), L"Message invalid, sizes does not add up"},
        {"queue name past area", patched({{4, 0xFFFF, 2}}), L"Failed to read/re-encode queueName, encoding=Utf8"},
        {"other encoding", patched({{0, 0x8, 2}}), L"expected encoding=Utf8"},
    };
    for (const auto& c : cases) {
        testsupport::LogCapture log;
        Message out;
        EXPECT_FALSE(Message::Parse(c.input.data(), c.input.size(), CORE::CHAR_ENC_UTF8, &out)) << c.what;
        EXPECT_TRUE(log.Contains(c.logged, CORE::LOG_ERROR)) << c.what << "\n" << Narrow(log.Dump());
    }
}

TEST(Message, FilterTagsTravelInThePayloadAndRemoteInfoIsLeftAlone) {
    Message message = Sample();
    message.filterTags.Set(L"route", L"a");
    const BYTE origin[] = {1, 2};
    message.payload.SetBinary(CORE::kRemoteInfoItem, origin, 2);
    std::vector<BYTE> bytes;
    ASSERT_TRUE(message.Flatten(CORE::CHAR_ENC_UTF8, &bytes));
    EXPECT_FALSE(message.payload.Contains(CORE::kFilterTagsItem));  // the caller's payload is untouched
    Message back;
    ASSERT_TRUE(Message::Parse(bytes.data(), bytes.size(), CORE::CHAR_ENC_UTF8, &back));
    EXPECT_FALSE(back.payload.Contains(CORE::kFilterTagsItem));
    EXPECT_EQ(back.filterTags.Get(L"route"), L"a");
    std::vector<BYTE> remote;
    EXPECT_TRUE(back.payload.GetBinary(CORE::kRemoteInfoItem, &remote));
    EXPECT_EQ(remote, std::vector<BYTE>({1, 2}));
}

TEST(Message, LanguageIdIsAddedOnlyWhenItSaysSomething) {
    struct Case {
        DWORD id, defaultId;
        const wchar_t* present;
        const wchar_t* expected;
    } cases[] = {
        {0x407, 0x409, nullptr, L"1031"},
        {0x409, 0x409, nullptr, nullptr},
        {0, 0x409, nullptr, nullptr},
        {0x407, 0x409, L"1036", L"1036"},
    };
    for (const auto& c : cases) {
        Message message = Sample();
        if (c.present) message.payload.Set(CORE::kLanguageIdItem, c.present);
        message.AddLanguageId(c.id, c.defaultId);
        EXPECT_EQ(message.payload.Get(CORE::kLanguageIdItem, L"<none>"), c.expected ? c.expected : L"<none>") << c.id;
    }
}

TEST(Message, NewRequestsGetDistinctUuidsAndResponsesCarryTheirResultInTheHint) {
    Message request = Message::NewRequest(L"DesktopManager", L"op", PropertyBag());
    EXPECT_EQ(request.messageId.size(), 36u);
    EXPECT_NE(request.messageId, Message::NewRequest(L"DesktopManager", L"op", PropertyBag()).messageId);
    Message response = request.MakeResponse(10, PropertyBag());
    EXPECT_EQ(response.messageType, CORE::MSG_RESPONSE);
    EXPECT_EQ(response.replyToId, request.messageId);
    EXPECT_EQ(response.ResultCode(), 10u);
    EXPECT_STREQ(CORE::ResultName(response.ResultCode()), L"SystemBusy");
    EXPECT_STREQ(CORE::ResultName(11), L"<UNKNOWN>");
    for (const wchar_t* garbled : {L"", L"x", L"-1", L"0x0", L"99999999999"}) {
        response.queueHint = garbled;
        EXPECT_EQ(response.ResultCode(), 1u) << Narrow(garbled);
    }
    Message cancel = request.MakeCancel();
    EXPECT_EQ(cancel.messageType, CORE::MSG_CANCEL);
    EXPECT_EQ(cancel.messageId, request.messageId);
    EXPECT_EQ(cancel.queueName, L"DesktopManager");
}

TEST(Message, WireFormFollowsPeerLevelAndEncoding) {
    struct Case {
        unsigned level;
        int encoding;
        CORE::WireForm form;
    } cases[] = {
        {11, 1, CORE::WIRE_FORM_UTF8},  {10, 1, CORE::WIRE_FORM_UTF8},  {11, 2, CORE::WIRE_FORM_PLAIN},
        {9, 1, CORE::WIRE_FORM_PLAIN},  {4, 2, CORE::WIRE_FORM_PLAIN},  {3, 1, CORE::WIRE_FORM_LEGACY},
        {11, 0, CORE::WIRE_FORM_NONE},
    };
    for (const auto& c : cases) EXPECT_EQ(CORE::ChooseWireForm(c.level, c.encoding), c.form) << c.level << "/" << c.encoding;
}

TEST(MessageLegacy, RoundTripsAndRefusesMalformedText) {
    Message message = Sample();
    message.replyToId = L"r";
    std::wstring text;
    ASSERT_TRUE(message.FlattenLegacy(&text));
    EXPECT_EQ(text.rfind(L"01\t1\tDesktopManager\tid-1\tr\tGetCredentialsForTicket\t<PROPERTYBAG>", 0), 0u);
    Message back;
    ASSERT_TRUE(Message::ParseLegacy(text.data(), text.size(), &back));
    EXPECT_EQ(back.queueHint, message.queueHint);
    EXPECT_TRUE(back.payload.Equals(message.payload));
    struct Case {
        std::wstring input;
        const wchar_t* logged;
    } cases[] = {
        {L"01\t1\tq\tid\tr\thint", L"num of delimiters must be least 6"},
        {L"02\t1\tq\tid\tr\thint\t", L"bad protocol level specified"},
        {L"01\t1\tq\tid\tr\thint\t<PROPERTYBAG><ITEM>", L"payload does not parse"},
    };
    for (const auto& c : cases) {
        testsupport::LogCapture log;
        EXPECT_FALSE(Message::ParseLegacy(c.input.data(), c.input.size(), &back));
        EXPECT_TRUE(log.Contains(c.logged)) << Narrow(log.Dump());
    }
    message.queueName = L"tab\there";
    EXPECT_FALSE(message.FlattenLegacy(&text));
}

}  // namespace
}  // namespace mfwtest
