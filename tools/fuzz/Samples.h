// The valid bag and message the framework targets mutate: every item kind (text with characters
// outside the BMP, a nameless item, a sub-bag, binary data with and without bytes), and a
// message with every envelope field, an attachment and filter tags.
#pragma once
#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/wire/Message.h"

namespace fuzz {

inline CORE::PropertyBag SampleBag() {
    CORE::PropertyBag upns, bag;
    upns.Set(L"user@corp.example", L"1");
    upns.Set(L"other@corp.example", L"");
    upns.SetBag(L"nested", CORE::PropertyBag());
    bag.Set(L"userName", L"J\u00f6rg");
    bag.Set(L"", L"nameless");
    bag.Set(L"ticket", L"\u20ac-ticket-\U0001F511");
    bag.SetBag(L"upns", upns);
    const BYTE blob[] = {0, 1, 2, 3, 0xFE, 0xFF};
    bag.SetBinary(L"__RemoteInfo__#?$*", blob, sizeof(blob));
    bag.SetBinary(L"none", blob, 0);
    return bag;
}

inline CORE::Message SampleMessage() {
    CORE::Message message = CORE::Message::NewRequest(L"DesktopManager", L"GetCredentialsForTicket", SampleBag());
    message.replyToId = L"reply";
    message.hasAttachment = true;
    message.attachment = {1, 2, 3, 4};
    message.filterTags.Set(L"tag", L"v");
    return message;
}

}  // namespace fuzz
