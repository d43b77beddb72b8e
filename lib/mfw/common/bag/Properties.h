// The binary flattened form of a property bag: three streams written side by side (size
// entries, binary area, string area) that the message envelope places in one buffer.
//
// Size entry, 6 bytes, big-endian:
//   offset 0, 2 bytes: name length (characters for Utf16 and the plain form, bytes for Utf8)
//   offset 2, 4 bytes: value length:
//        string value   characters (Utf16, plain) or bytes (Utf8), bit 31 clear
//        binary value   byte length + 0x80000000
//        sub-bag        0xFFFFFFFF, followed by the sub-bag's entries and its end entry
//        end entry      0xFFFFFFFF with name length 0 (no name in the string area)
// Items in order. A string item puts its name and then its value in the string area; a binary
// item puts its name in the string area and its bytes in the binary area; no terminators.
// Encodings: 1 Utf8, 2 Utf16 (two bytes per character, little-endian as in memory) and the
// plain form (0), which copies UTF-16 characters like Utf16 and reports its own load errors.
#pragma once
#include "lib/mfw/common/bag/ByteData.h"
#include "lib/mfw/common/bag/PropertyBag.h"

#include <cstdint>

namespace CORE {
namespace Properties {

constexpr uint32_t kSubBagValue = 0xFFFFFFFF;
constexpr uint32_t kBinaryFlag = 0x80000000;
constexpr size_t kSizeEntryBytes = 6;

// Appends the bag to the three streams; logs and returns false when an item cannot be written.
bool flatten(const PropertyBag& bag, int encoding, ByteData& sizes, ByteData& binary, ByteData& strings);
bool flattenPlain(const PropertyBag& bag, ByteData& sizes, ByteData& binary, ByteData& strings);
// Rebuilds the bag from `count` size entries; on failure logs and leaves the bag empty.
bool load(PropertyBag& bag, int encoding, ByteData& sizes, uint32_t count, ByteData& binary, ByteData& strings);
bool loadPlain(PropertyBag& bag, ByteData& sizes, uint32_t count, ByteData& binary, ByteData& strings);

}  // namespace Properties
}  // namespace CORE
