#include "lib/mfw/common/wire/Message.h"

#include "lib/mfw/common/bag/CharEncConverter.h"
#include "lib/mfw/common/bag/Properties.h"
#include "lib/mfw/common/util/LogSink.h"

#include <rpc.h>

#include <new>

namespace CORE {

const wchar_t kFilterTagsItem[] = L"___MESSAGE_FRAMEWORK_FILTER_TAGS___";
const wchar_t kRemoteInfoItem[] = L"__RemoteInfo__#?$*";
const wchar_t kLanguageIdItem[] = L"LanguageId";

const wchar_t* ResultName(DWORD code) noexcept {
    static const wchar_t* const names[] = {L"Ok",       L"Error",         L"RoutingFailed", L"NoQueueHandler",
                                           L"NotAuthorized", L"Timeout",  L"Cancelled",     L"ShuttingDown",
                                           L"QueuePaused",   L"SizeTooBig", L"SystemBusy"};
    return code < sizeof(names) / sizeof(names[0]) ? names[code] : L"<UNKNOWN>";
}

WireForm ChooseWireForm(unsigned peerLevel, int negotiatedEncoding) noexcept {
    if (peerLevel >= 10 && negotiatedEncoding == CHAR_ENC_UTF8) return WIRE_FORM_UTF8;
    if (peerLevel >= 10 && negotiatedEncoding != CHAR_ENC_UTF16) return WIRE_FORM_NONE;
    if (peerLevel >= 4) return WIRE_FORM_PLAIN;
    return WIRE_FORM_LEGACY;
}

std::wstring Message::NewMessageId() {
    UUID uuid;
    if (::UuidCreate(&uuid) != RPC_S_OK) return std::wstring();
    RPC_WSTR text = nullptr;
    if (::UuidToStringW(&uuid, &text) != RPC_S_OK || !text) return std::wstring();
    std::wstring id(reinterpret_cast<wchar_t*>(text));
    ::RpcStringFreeW(&text);
    return id;
}

Message Message::NewRequest(const std::wstring& queue, const std::wstring& hint, const PropertyBag& requestPayload) {
    Message message;
    message.messageType = MSG_REQUEST;
    message.queueName = queue;
    message.queueHint = hint;
    message.messageId = NewMessageId();
    message.payload = requestPayload;
    return message;
}

Message Message::MakeResponse(DWORD result, const PropertyBag& responsePayload) const {
    Message response;
    response.messageType = MSG_RESPONSE;
    response.queueName = queueName;
    response.queueHint = std::to_wstring(result);
    response.replyToId = messageId;
    response.payload = responsePayload;
    return response;
}

Message Message::MakeCancel() const {
    Message cancel;
    cancel.messageType = MSG_CANCEL;
    cancel.queueName = queueName;
    cancel.messageId = messageId;
    return cancel;
}

DWORD Message::ResultCode() const {
    // Strictly decimal: a garbled hint must not read as 0 (success).
    if (queueHint.empty() || queueHint.size() > 10) return RESULT_ERROR;
    unsigned long long value = 0;
    for (wchar_t c : queueHint) {
        if (c < L'0' || c > L'9') return RESULT_ERROR;
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    return value > 0xFFFFFFFFull ? RESULT_ERROR : static_cast<DWORD>(value);
}

void Message::AddLanguageId(DWORD languageId, DWORD defaultLanguageId) {
    if (languageId == 0 || languageId == defaultLanguageId || payload.Contains(kLanguageIdItem)) return;
    payload.Set(kLanguageIdItem, std::to_wstring(languageId));
}

PropertyBag Message::PayloadForWire() const {
    if (filterTags.IsEmpty()) return payload;
    PropertyBag wire = payload;  // shares the items; the caller's payload stays as it was
    wire.SetBag(kFilterTagsItem, filterTags);
    return wire;
}

void Message::TakeFilterTags() {
    if (payload.TypeOf(kFilterTagsItem) != PropertyBag::ITEM_BAG) return;
    filterTags = payload.GetBag(kFilterTagsItem);
    payload.Remove(kFilterTagsItem);
}

bool Message::Flatten(int encoding, SecureBytes* out) const {
    if (encoding != CHAR_ENC_UTF8 && encoding != CHAR_ENC_UTF16) {
        LogToSink(LOG_ERROR, L"CORE::Message::Flatten(): Unsupported char encoding code=%ld", static_cast<long>(encoding));
        return false;
    }
    return FlattenAny(encoding, false, out);
}

bool Message::Equals(const Message& o) const {
    return messageType == o.messageType && queueName == o.queueName && queueHint == o.queueHint &&
           messageId == o.messageId && replyToId == o.replyToId && hasAttachment == o.hasAttachment &&
           attachment == o.attachment && payload.Equals(o.payload) && filterTags.Equals(o.filterTags);
}

bool Message::FlattenPlain(SecureBytes* out) const { return FlattenAny(CHAR_ENC_UTF16, true, out); }

namespace {

// The four envelope strings lead the string area, in header order; their lengths go into the header.
bool FlattenMemberStrings(const std::wstring* const (&values)[4], int code, int reported, ByteData& strings,
                          uint16_t (&lengths)[4]) {
    static const wchar_t* const names[4] = {L"queueName", L"queueHint", L"messageId", L"replyToId"};
    for (int i = 0; i < 4; ++i) {
        size_t units = 0;
        if (!CharEncConverter::ConvertFromUtf16(code, values[i]->data(), values[i]->size(), strings, &units) ||
            units > 0xFFFF) {
            LogToSink(LOG_ERROR, L"CORE::Message::FlattenMemberStrings(): Failed to encode/serialize %s, encoding=%s",
                       names[i], CharEncodingName(reported));
            return false;
        }
        lengths[i] = static_cast<uint16_t>(units);
    }
    return true;
}

// Reads the four envelope strings with the lengths the header gives them.
bool ParseMemberStrings(const BYTE* data, int readCode, int encoding, ByteData& strings,
                        std::wstring* const (&values)[4]) {
    static const wchar_t* const formats[4] = {
        L"CORE::Message::Parse(): Failed to read/re-encode queueName, encoding=%s",
        L"CORE::Message::Parse(): Failed to read/re-encode queueHint, encoding=%s",
        L"CORE::Message::Parse(): Failed to read/re-encode messageId, encoding=%s",
        L"CORE::Message::Parse(): Failed to read/re-encode replyToId encoding=%s",
    };
    for (int i = 0; i < 4; ++i) {
        uint16_t length = LoadU16BE(data + 4 + 2 * i);
        if (!CharEncConverter::ConvertToUtf16(readCode, strings, length, values[i])) {
            LogToSink(LOG_ERROR, formats[i], CharEncodingName(encoding));
            return false;
        }
    }
    return true;
}

}  // namespace

bool Message::WriteAttachment(BYTE* at, size_t bytes) const {
    ByteData writer(at, bytes);
    if (writer.Write(attachment.data(), attachment.size())) return true;
    LogToSink(LOG_ERROR, L"CORE::Message::Flatten(): Failed to serialize binary data to output buffer, size=%d",
              static_cast<int>(bytes));
    return false;
}

uint16_t Message::WireFlags(bool plain, int code) const noexcept {
    uint16_t flags = plain ? 0 : (code == CHAR_ENC_UTF8 ? FLAG_UTF8 : FLAG_UTF16);
    if (hasAttachment) flags |= FLAG_ATTACHMENT;
    if (reservedFlag) flags |= FLAG_RESERVED;
    return flags;
}

bool Message::FlattenAny(int code, bool plain, SecureBytes* out) const {
    try {
        const int reported = plain ? CHAR_ENC_UNDEFINED : code;
        const PropertyBag wirePayload = PayloadForWire();
        PropertyBag::ElementCount count;
        if (!wirePayload.IsEmpty() && !wirePayload.GetElementCount(&count)) return false;
        const uint64_t envelopeChars = queueName.size() + queueHint.size() + messageId.size() + replyToId.size();
        const uint64_t perChar = code == CHAR_ENC_UTF8 ? 4 : 2;
        const uint64_t attachmentBytes = hasAttachment ? attachment.size() : 0;
        const uint64_t reserve = kHeaderBytes + 6 * count.entries + attachmentBytes + count.binaryBytes +
                                 (count.characters + envelopeChars) * perChar;
        if (count.entries > 0xFFFFFFFFull || attachmentBytes > 0xFFFFFFFFull || count.binaryBytes > 0xFFFFFFFFull ||
            reserve > 0x7FFFFFFFull) {
            LogToSink(LOG_ERROR, L"CORE::Message::Flatten(): Message too large, entries=%I64u, bytes=%I64u",
                       count.entries, reserve);
            return false;
        }
        out->assign(static_cast<size_t>(reserve), 0);
        BYTE* base = out->data();
        const size_t entriesAt = kHeaderBytes;
        const size_t attachmentAt = entriesAt + static_cast<size_t>(6 * count.entries);
        const size_t binaryAt = attachmentAt + static_cast<size_t>(attachmentBytes);
        const size_t stringsAt = binaryAt + static_cast<size_t>(count.binaryBytes);

        if (attachmentBytes && !WriteAttachment(base + attachmentAt, static_cast<size_t>(attachmentBytes))) return false;
        ByteData strings(base + stringsAt, out->size() - stringsAt);
        const std::wstring* const values[4] = {&queueName, &queueHint, &messageId, &replyToId};
        uint16_t lengths[4] = {};
        if (!FlattenMemberStrings(values, code, reported, strings, lengths)) return false;
        ByteData entries(base + entriesAt, static_cast<size_t>(6 * count.entries));
        ByteData binary(base + binaryAt, static_cast<size_t>(count.binaryBytes));
        if (!wirePayload.IsEmpty()) {
            bool ok = plain ? Properties::flattenPlain(wirePayload, entries, binary, strings)
                            : Properties::flatten(wirePayload, code, entries, binary, strings);
            if (!ok) return false;
        }
        const size_t stringBytes = strings.Consumed();
        StoreU16BE(base + 0, WireFlags(plain, code));
        StoreU16BE(base + 2, messageType);
        for (int i = 0; i < 4; ++i) StoreU16BE(base + 4 + 2 * i, lengths[i]);
        StoreU32BE(base + 12, static_cast<uint32_t>(count.entries));
        StoreU32BE(base + 16, static_cast<uint32_t>(stringBytes));
        StoreU32BE(base + 20, static_cast<uint32_t>(attachmentBytes));
        StoreU32BE(base + 24, static_cast<uint32_t>(stringsAt - binaryAt));
        out->resize(stringsAt + stringBytes);
        return true;
    } catch (const std::exception&) {
        LogToSink(LOG_ERROR, L"CORE::Message::Flatten(): OutOfMem");
        return false;
    }
}

bool Message::Parse(const BYTE* data, size_t size, int encoding, Message* out) {
    if (!data || size < kHeaderBytes) {
        LogToSink(LOG_ERROR, L"CORE::Message::Parse(): Message invalid, size less than base structure");
        return false;
    }
    try {
        const uint16_t flags = LoadU16BE(data);
        const uint32_t entryCount = LoadU32BE(data + 12);
        const uint64_t stringBytes = LoadU32BE(data + 16);
        const uint64_t attachmentBytes = (flags & FLAG_ATTACHMENT) ? LoadU32BE(data + 20) : 0;
        const uint64_t binaryBytes = LoadU32BE(data + 24);
        // 64-bit sums of 32-bit fields: a huge length from a peer cannot wrap past the check.
        const uint64_t stringsAt = kHeaderBytes + 6ull * entryCount + binaryBytes + attachmentBytes;
        if (stringsAt + stringBytes != size) {
            LogToSink(LOG_ERROR, L"CORE::Message::Parse(): Message invalid, sizes does not add up");
            return false;
        }
        const int code = (flags & FLAG_UTF8) ? CHAR_ENC_UTF8 : (flags & FLAG_UTF16) ? CHAR_ENC_UTF16 : CHAR_ENC_UNDEFINED;
        if (((flags & FLAG_UTF8) && (flags & FLAG_UTF16)) || code != encoding) {
            LogToSink(LOG_ERROR, L"CORE::Message::Parse(): Message invalid, char encoding flags=0x%x, expected encoding=%s",
                       static_cast<unsigned>(flags), CharEncodingName(encoding));
            return false;
        }
        const int readCode = code == CHAR_ENC_UNDEFINED ? CHAR_ENC_UTF16 : code;
        Message message;
        message.messageType = LoadU16BE(data + 2);
        message.reservedFlag = (flags & FLAG_RESERVED) != 0;
        ByteData strings(data + stringsAt, static_cast<size_t>(stringBytes));
        std::wstring* const values[4] = {&message.queueName, &message.queueHint, &message.messageId,
                                         &message.replyToId};
        if (!ParseMemberStrings(data, readCode, encoding, strings, values)) return false;
        const size_t entriesAt = kHeaderBytes;
        const size_t attachmentAt = entriesAt + 6ull * entryCount;
        const size_t binaryAt = attachmentAt + static_cast<size_t>(attachmentBytes);
        if (flags & FLAG_ATTACHMENT) {
            message.hasAttachment = true;
            message.attachment.assign(data + attachmentAt, data + binaryAt);
        }
        ByteData entries(data + entriesAt, 6ull * entryCount);
        ByteData binary(data + binaryAt, static_cast<size_t>(binaryBytes));
        if (entryCount) {
            bool ok = code == CHAR_ENC_UNDEFINED ? Properties::loadPlain(message.payload, entries, entryCount, binary, strings)
                                                 : Properties::load(message.payload, code, entries, entryCount, binary, strings);
            if (!ok) return false;
        }
        message.TakeFilterTags();
        *out = std::move(message);
        return true;
    } catch (const std::exception&) {
        LogToSink(LOG_ERROR, L"CORE::Message::Parse(): Message invalid, OutOfMem");
        return false;
    }
}

bool Message::FlattenLegacy(std::wstring* out) const {
    try {
        for (const std::wstring* field : {&queueName, &messageId, &replyToId, &queueHint})
            if (field->find(L'\t') != std::wstring::npos) {
                LogToSink(LOG_ERROR, L"CORE::Message::FlattenLegacy(): Field holds the delimiter, cannot serialize");
                return false;
            }
        if (messageType > 9) {
            LogToSink(LOG_ERROR, L"CORE::Message::FlattenLegacy(): Message type %u has no legacy form",
                       static_cast<unsigned>(messageType));
            return false;
        }
        out->clear();
        out->push_back(reservedFlag ? L'1' : L'0');
        out->push_back(L'1');
        out->push_back(L'\t');
        out->push_back(static_cast<wchar_t>(L'0' + messageType));
        out->push_back(L'\t');
        for (const std::wstring* field : {&queueName, &messageId, &replyToId, &queueHint}) {
            *out += *field;
            out->push_back(L'\t');
        }
        *out += PayloadForWire().ToXml(PropertyBag::XML_ESCAPE_FULL);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool Message::ParseLegacy(const wchar_t* text, size_t length, Message* out) {
    try {
        if (!text) length = 0;
        size_t tabs = 0;
        for (size_t i = 0; i < length && tabs < 6; ++i)
            if (text[i] == L'\t') ++tabs;
        if (tabs < 6) {
            LogToSink(LOG_ERROR, L"CORE::Message::ParseLegacy(): Message invalid, num of delimiters must be least 6");
            return false;
        }
        if (length < 5 || text[1] != L'1') {
            LogToSink(LOG_ERROR, L"CORE::Message::ParseLegacy(): Message invalid, bad protocol level specified");
            return false;
        }
        if (text[2] != L'\t' || text[3] < L'0' || text[3] > L'9' || text[4] != L'\t') {
            LogToSink(LOG_ERROR, L"CORE::Message::ParseLegacy(): Message invalid, bad message type");
            return false;
        }
        Message message;
        message.reservedFlag = text[0] != L'0';
        message.messageType = static_cast<uint16_t>(text[3] - L'0');
        size_t pos = 5;
        std::wstring* fields[] = {&message.queueName, &message.messageId, &message.replyToId, &message.queueHint};
        for (std::wstring* field : fields) {
            size_t end = pos;
            while (end < length && text[end] != L'\t') ++end;
            if (end >= length) {
                LogToSink(LOG_ERROR, L"CORE::Message::ParseLegacy(): Message invalid, num of delimiters must be least 6");
                return false;
            }
            field->assign(text + pos, end - pos);
            pos = end + 1;
        }
        std::wstring xml(text + pos, length - pos);
        while (!xml.empty() && xml.back() == L'\0') xml.pop_back();  // a terminator some peers send
        if (xml.find_first_not_of(L" \t\r\n") != std::wstring::npos && !message.payload.FromXml(xml)) {
            LogToSink(LOG_ERROR, L"CORE::Message::ParseLegacy(): Message invalid, payload does not parse");
            return false;
        }
        message.TakeFilterTags();
        *out = std::move(message);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace CORE
