#include "lib/mfw/common/bag/Properties.h"

#include "lib/mfw/common/bag/CharEncConverter.h"
#include "lib/mfw/common/util/LogSink.h"
#include "lib/mfw/common/util/coreException.h"

#include <cstring>
#include <new>
#include <vector>

namespace CORE {
namespace Properties {
namespace {

bool FlattenItems(const PropertyBag& bag, int code, int reported, ByteData& sizes, ByteData& binary,
                  ByteData& strings);

// A sub-bag is its start entry, its own items, then an end entry with no name.
bool FlattenSubBag(const PropertyBag::Item& item, uint16_t nameLength, int code, int reported, ByteData& sizes,
                   ByteData& binary, ByteData& strings) {
    const std::wstring_view itemName = item.Name();
    if (!sizes.CheckDestBytes(kSizeEntryBytes) || !sizes.WriteU16(nameLength) || !sizes.WriteU32(kSubBagValue)) {
        LogToSink(LOG_ERROR, L"CORE::Properties::flatten(): No memory found to serialize propSizeEntry, item name=%s",
                   std::wstring(itemName).c_str());
        return false;
    }
    if (!FlattenItems(item.Bag(), code, reported, sizes, binary, strings)) return false;
    if (!sizes.CheckDestBytes(kSizeEntryBytes) || !sizes.WriteU16(0) || !sizes.WriteU32(kSubBagValue)) {
        LogToSink(LOG_ERROR,
                   L"CORE::Properties::flatten(): No memory found to serialize propSizeEntry after submap processing, item name=%s",
                   std::wstring(itemName).c_str());
        return false;
    }
    return true;
}

// `code` is the encoding of the strings, `reported` the one named in log lines (0 for plain).
bool FlattenItems(const PropertyBag& bag, int code, int reported, ByteData& sizes, ByteData& binary,
                  ByteData& strings) {
    const wchar_t* encodingName = CharEncodingName(reported);
    for (size_t i = 0; i < bag.Count(); ++i) {
        const PropertyBag::Item& item = bag.ItemAt(i);
        const std::wstring_view itemName = item.Name();
        size_t nameUnits = 0;
        // A sub-bag without a name would read back as an end entry; names have 16 bits.
        bool nameOk = CharEncConverter::ConvertFromUtf16(code, itemName.data(), itemName.size(), strings, &nameUnits) &&
                      nameUnits <= 0xFFFF && !(item.Type() == PropertyBag::ITEM_BAG && nameUnits == 0);
        if (!nameOk) {
            LogToSink(LOG_ERROR, L"CORE::Properties::flatten(): Failed to re-encode/serialize item name=%s, encoding=%s",
                       std::wstring(itemName).c_str(), encodingName);
            return false;
        }
        const uint16_t nameLength = static_cast<uint16_t>(nameUnits);
        switch (item.Type()) {
        case PropertyBag::ITEM_BAG:
            if (!FlattenSubBag(item, nameLength, code, reported, sizes, binary, strings)) return false;
            break;
        case PropertyBag::ITEM_BINARY: {
            size_t length = item.Binary().size();
            if (length > PropertyBag::kMaxBinaryLength || (length && !binary.Write(item.Binary().data(), length))) {
                LogToSink(LOG_ERROR, L"CORE::Properties::flatten(): Failed to serialize binary data, item name=%s, size=%d",
                           std::wstring(itemName).c_str(), static_cast<int>(length));
                return false;
            }
            if (!sizes.CheckDestBytes(kSizeEntryBytes) || !sizes.WriteU16(nameLength) ||
                !sizes.WriteU32(static_cast<uint32_t>(length) + kBinaryFlag)) {
                LogToSink(LOG_ERROR, L"CORE::Properties::flatten(): No memory found to serialize propSizeEntry, item name=%s",
                           std::wstring(itemName).c_str());
                return false;
            }
            break;
        }
        case PropertyBag::ITEM_STRING: {
            size_t valueUnits = 0;
            const std::wstring_view text = item.Text();
            if (!CharEncConverter::ConvertFromUtf16(code, text.data(), text.size(), strings, &valueUnits) ||
                valueUnits >= kBinaryFlag) {
                LogToSink(LOG_ERROR,
                           L"CORE::Properties::flatten(): Failed to re-encode/serialize item value, item name=%s, encoding=%s",
                           std::wstring(itemName).c_str(), encodingName);
                return false;
            }
            if (!sizes.CheckDestBytes(kSizeEntryBytes) || !sizes.WriteU16(nameLength) ||
                !sizes.WriteU32(static_cast<uint32_t>(valueUnits))) {
                LogToSink(LOG_ERROR, L"CORE::Properties::flatten(): No memory found to serialize propSizeEntry, item name=%s",
                           std::wstring(itemName).c_str());
                return false;
            }
            break;
        }
        }
    }
    return true;
}

struct Frame {
    std::wstring name;
    PropertyBag bag;
};

// The common case of loading: a string item whose name and value both lie in the string
// area, UTF-16 or ASCII-only UTF-8, copied straight into a new item. Anything else (other
// text, lengths past the area) goes the long way, which also says what is wrong.
bool FastString(int code, ByteData& strings, uint16_t nameLength, uint32_t valueLength, PropertyBag& bag) {
    const size_t unit = code == CHAR_ENC_UTF8 ? 1 : 2;
    const size_t total = (static_cast<size_t>(nameLength) + valueLength) * unit;
    if (total > strings.Remaining() || total == 0) return false;
    const BYTE* bytes = strings.Current();
    if (code == CHAR_ENC_UTF8) {
        BYTE any = 0;
        for (size_t i = 0; i < total; ++i) any |= bytes[i];
        if (any & 0x80) return false;
    }
    wchar_t* chars = nullptr;
    PropertyBag::Item* item = PropertyBag::Item::CreateUnfilled(PropertyBag::ITEM_STRING, nameLength, valueLength, &chars);
    if (unit == 2) {
        std::memcpy(chars, bytes, total);
    } else {
        for (size_t i = 0; i < total; ++i) chars[i] = static_cast<wchar_t>(bytes[i]);
    }
    strings.Skip(total);
    bag.PutItem(item);
    return true;
}

// The value of a binary item lies in the binary area.
bool LoadBinary(const std::wstring& name, uint32_t length, ByteData& binary, PropertyBag& bag) {
    const BYTE* data = nullptr;
    if (length && binary.Remaining() < length) {
        LogToSink(LOG_ERROR,
                   L"CORE::Properties::load(): Message invalid, buffer not found to copy binary data, required=%d, name=%s",
                   static_cast<int>(length), name.c_str());
        return false;
    }
    if (length && !binary.Take(length, &data)) {
        LogToSink(LOG_ERROR, L"CORE::Properties::load(): Failed to update source binary buffer count, name=%s",
                   name.c_str());
        return false;
    }
    bag.SetBinary(name, data, length);
    return true;
}

// An end entry: the innermost open sub-bag is finished and goes into its parent.
bool CloseSubBag(std::vector<Frame>& stack, bool plain) {
    if (stack.size() < 2) {
        LogToSink(LOG_ERROR, plain ? L"CORE::Properties::load(): Message invalid, subbag end when no subbag"
                                    : L"CORE::Properties::load(): Message invalid, subbag expected but not found");
        return false;
    }
    Frame done = std::move(stack.back());
    stack.pop_back();
    stack.back().bag.SetBag(done.name, done.bag);
    return true;
}

bool LoadItems(PropertyBag& result, int code, bool plain, ByteData& sizes, uint32_t count, ByteData& binary,
               ByteData& strings) {
    const wchar_t* encodingName = CharEncodingName(plain ? CHAR_ENC_UNDEFINED : code);
    // Sub-bags are built bottom-up: a frame per open sub-bag, put into its parent at its end.
    std::vector<Frame> stack(1);
    stack.front().bag.Reserve(count < 256 ? count : 256);
    std::wstring name, value;
    for (uint32_t index = 0; index < count; ++index) {
        uint16_t nameLength = 0;
        uint32_t valueLength = 0;
        if (!sizes.ReadU16(&nameLength) || !sizes.ReadU32(&valueLength)) {
            LogToSink(LOG_ERROR, L"CORE::Properties::load(): Message invalid, failed to get Property name, encoding=%s",
                       encodingName);
            return false;
        }
        if (valueLength == kSubBagValue && nameLength == 0) {
            if (!CloseSubBag(stack, plain)) return false;
            continue;
        }
        if (valueLength < kBinaryFlag && FastString(code, strings, nameLength, valueLength, stack.back().bag)) continue;
        if (!CharEncConverter::ConvertToUtf16(code, strings, nameLength, &name)) {
            LogToSink(LOG_ERROR,
                       valueLength == kSubBagValue
                           ? L"CORE::Properties::load(): Message invalid, failed to get Property value name, encoding=%s"
                           : L"CORE::Properties::load(): Message invalid, failed to get Property name, encoding=%s",
                       encodingName);
            return false;
        }
        if (valueLength == kSubBagValue) {
            if (stack.size() > static_cast<size_t>(PropertyBag::kMaxDepth)) {
                LogToSink(LOG_ERROR, L"CORE::Properties::load(): Message invalid, subbags nested too deep, name=%s",
                           name.c_str());
                return false;
            }
            stack.push_back(Frame{name, PropertyBag()});
            continue;
        }
        if (valueLength & kBinaryFlag) {
            if (!LoadBinary(name, valueLength & ~kBinaryFlag, binary, stack.back().bag)) return false;
            continue;
        }
        if (!CharEncConverter::ConvertToUtf16(code, strings, valueLength, &value)) {
            LogToSink(LOG_ERROR,
                       L"CORE::Properties::load(): Message invalid, failed to get Property value data(string), name=%s, encoding=%s",
                       name.c_str(), encodingName);
            return false;
        }
        stack.back().bag.PutItem(PropertyBag::Item::Create(PropertyBag::ITEM_STRING, name, value));
    }
    if (stack.size() != 1) {
        LogToSink(LOG_ERROR, plain ? L"CORE::Properties::load(): Message invalid, end when subbags"
                                    : L"CORE::Properties::load(): Message invalid, unmatched subbag left without an end");
        return false;
    }
    result = std::move(stack.front().bag);
    return true;
}

bool GuardedLoad(PropertyBag& bag, int code, bool plain, ByteData& sizes, uint32_t count, ByteData& binary,
                 ByteData& strings) {
    bag.Clear();
    try {
        if (LoadItems(bag, code, plain, sizes, count, binary, strings)) return true;
    } catch (const std::exception&) {
        LogToSink(LOG_ERROR, L"CORE::Properties::load(): Message invalid, out of memory");
    }
    bag.Clear();
    return false;
}

}  // namespace

bool flatten(const PropertyBag& bag, int encoding, ByteData& sizes, ByteData& binary, ByteData& strings) {
    if (encoding != CHAR_ENC_UTF8 && encoding != CHAR_ENC_UTF16) {
        LogToSink(LOG_ERROR, L"CORE::CharEncConverter::ConvertFromUtf16(): Unsupported conversion code=%d", encoding);
        return false;
    }
    return FlattenItems(bag, encoding, encoding, sizes, binary, strings);
}

bool flattenPlain(const PropertyBag& bag, ByteData& sizes, ByteData& binary, ByteData& strings) {
    return FlattenItems(bag, CHAR_ENC_UTF16, CHAR_ENC_UNDEFINED, sizes, binary, strings);
}

bool load(PropertyBag& bag, int encoding, ByteData& sizes, uint32_t count, ByteData& binary, ByteData& strings) {
    if (encoding != CHAR_ENC_UTF8 && encoding != CHAR_ENC_UTF16) {
        LogToSink(LOG_ERROR, L"CORE::CharEncConverter::ConvertToUtf16(): Unsupported encoding code=%d", encoding);
        bag.Clear();
        return false;
    }
    return GuardedLoad(bag, encoding, false, sizes, count, binary, strings);
}

bool loadPlain(PropertyBag& bag, ByteData& sizes, uint32_t count, ByteData& binary, ByteData& strings) {
    return GuardedLoad(bag, CHAR_ENC_UTF16, true, sizes, count, binary, strings);
}

}  // namespace Properties
}  // namespace CORE
