// The unit the message framework exchanges over a channel: an envelope (type, queue name and
// hint, message id, reply-to id) around a property bag payload, with an optional attachment.
//
// Binary form, all numbers big-endian:
//   0   2  flags: 0x1 reserved flag (carried, not interpreted), 0x2 attachment present,
//          0x4 strings are Utf8, 0x8 strings are Utf16; neither 0x4 nor 0x8: plain form
//   2   2  messageType
//   4   2  length of queueName        (characters for Utf16 and plain, bytes for Utf8)
//   6   2  length of queueHint
//   8   2  length of messageId
//   10  2  length of replyToId
//   12  4  N, number of payload size entries
//   16  4  size of the string area in bytes
//   20  4  size of the attachment in bytes (0 without flag 0x2)
//   24  4  size of the payload's binary area in bytes
//   28  6N payload size entries (Properties.h)
//   then   the attachment, the payload's binary area, and the string area: queueName,
//          queueHint, messageId, replyToId without terminators, then the payload's strings.
// The four sections must add up to the buffer size exactly.
//
// Legacy text form (peers below protocol level 4), one UTF-16 text:
//   <flag '0'|'1'> '1' TAB <type digit> TAB queueName TAB messageId TAB replyToId TAB
//   queueHint TAB <payload in the XML form>
#pragma once
#include "lib/mfw/common/util/SecureBytes.h"
#include "lib/mfw/common/bag/PropertyBag.h"

#include <cstdint>
#include <string>
#include <vector>

namespace CORE {

enum MessageType : uint16_t {
    MSG_CANCEL = 0,
    MSG_REQUEST = 1,
    MSG_ONEWAY = 3,
    MSG_RESPONSE_FRAGMENT = 4,
    MSG_RESPONSE = 5,
    MSG_CHANNEL_INTERNAL_7 = 7,
    MSG_CHANNEL_INTERNAL_8 = 8,
};

enum MessageResult : DWORD {
    RESULT_OK = 0,
    RESULT_ERROR = 1,
    RESULT_ROUTING_FAILED = 2,
    RESULT_NO_QUEUE_HANDLER = 3,
    RESULT_NOT_AUTHORIZED = 4,
    RESULT_TIMEOUT = 5,
    RESULT_CANCELLED = 6,
    RESULT_SHUTTING_DOWN = 7,
    RESULT_QUEUE_PAUSED = 8,
    RESULT_SIZE_TOO_BIG = 9,
    RESULT_SYSTEM_BUSY = 10,
};

// "Ok", "Error", ... "SystemBusy"; "<UNKNOWN>" for other codes.
const wchar_t* ResultName(DWORD code) noexcept;

// Which serialised form a channel uses with a peer.
enum WireForm { WIRE_FORM_NONE = -1, WIRE_FORM_LEGACY = 0, WIRE_FORM_PLAIN = 1, WIRE_FORM_UTF8 = 2 };
// Level 10 or higher with Utf8 negotiated: Utf8; level 4 or higher: plain; else legacy text.
WireForm ChooseWireForm(unsigned peerLevel, int negotiatedEncoding) noexcept;

// Payload items the framework itself reads or writes.
extern const wchar_t kFilterTagsItem[];   // "___MESSAGE_FRAMEWORK_FILTER_TAGS___"
extern const wchar_t kRemoteInfoItem[];   // "__RemoteInfo__#?$*"
extern const wchar_t kLanguageIdItem[];   // "LanguageId"

class Message {
public:
    static constexpr size_t kHeaderBytes = 28;
    enum Flags : uint16_t { FLAG_RESERVED = 0x1, FLAG_ATTACHMENT = 0x2, FLAG_UTF8 = 0x4, FLAG_UTF16 = 0x8 };

    uint16_t messageType = MSG_REQUEST;
    std::wstring queueName;
    std::wstring queueHint;
    std::wstring messageId;
    std::wstring replyToId;
    PropertyBag payload;
    bool hasAttachment = false;
    std::vector<BYTE> attachment;
    PropertyBag filterTags;
    bool reservedFlag = false;  // flag 0x1

    // A request (type 1) with a new message id.
    static Message NewRequest(const std::wstring& queue, const std::wstring& hint, const PropertyBag& payload);
    // A new UUID in its standard text form; empty only when the system cannot make one.
    static std::wstring NewMessageId();
    // The final response (type 5) to this request carrying `result` in its hint.
    Message MakeResponse(DWORD result, const PropertyBag& responsePayload) const;
    // The cancel (type 0) of this request.
    Message MakeCancel() const;
    // The result code of a response: its hint in decimal; a hint that is not a number gives 1.
    DWORD ResultCode() const;
    // Same type, names, ids, attachment, payload and filter tags (the reserved flag aside).
    bool Equals(const Message& other) const;
    // Adds "LanguageId" when absent, not 0 and different from the framework's default.
    void AddLanguageId(DWORD languageId, DWORD defaultLanguageId);

    // Binary forms; false (logged) when the message cannot be written faithfully.
    bool Flatten(int encoding, SecureBytes* out) const;
    bool FlattenPlain(SecureBytes* out) const;
    // `encoding` is what the channel expects: 0 plain, 1 Utf8, 2 Utf16. Logs and returns false
    // on any inconsistency; `out` is then unspecified.
    static bool Parse(const BYTE* data, size_t size, int encoding, Message* out);

    bool FlattenLegacy(std::wstring* out) const;
    static bool ParseLegacy(const wchar_t* text, size_t length, Message* out);

private:
    bool FlattenAny(int code, bool plain, SecureBytes* out) const;
    uint16_t WireFlags(bool plain, int code) const noexcept;
    bool WriteAttachment(BYTE* at, size_t bytes) const;
    PropertyBag PayloadForWire() const;
    void TakeFilterTags();
};

}  // namespace CORE
