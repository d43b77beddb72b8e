// The three streams of a bag's binary form as separate buffers, for the bag tests and the fuzz driver.
#pragma once
#include "lib/mfw/common/bag/CharEncConverter.h"
#include "lib/mfw/common/bag/Properties.h"
#include "lib/mfw/common/bag/PropertyBag.h"

#include <cstdint>
#include <vector>

namespace fuzz {

struct Flat {
    std::vector<BYTE> sizes, binary, strings;
    uint32_t count = 0;
};

// Flattens into generously sized streams and trims them to what was written.
inline bool FlattenBag(const CORE::PropertyBag& bag, int encoding, Flat* flat) {
    flat->sizes.assign(4096, 0);
    flat->binary.assign(4096, 0);
    flat->strings.assign(8192, 0);
    CORE::ByteData sizes(flat->sizes.data(), flat->sizes.size()), binary(flat->binary.data(), flat->binary.size()),
        strings(flat->strings.data(), flat->strings.size());
    bool ok = encoding == CORE::CHAR_ENC_UNDEFINED ? CORE::Properties::flattenPlain(bag, sizes, binary, strings)
                                                   : CORE::Properties::flatten(bag, encoding, sizes, binary, strings);
    flat->sizes.resize(sizes.Consumed());
    flat->binary.resize(binary.Consumed());
    flat->strings.resize(strings.Consumed());
    flat->count = static_cast<uint32_t>(flat->sizes.size() / 6);
    return ok;
}

// Reads the streams as they are: a read past one lands outside its allocation.
inline bool LoadBag(const Flat& flat, int encoding, CORE::PropertyBag* bag) {
    CORE::ByteData sizes(flat.sizes.data(), flat.sizes.size()), binary(flat.binary.data(), flat.binary.size()),
        strings(flat.strings.data(), flat.strings.size());
    return encoding == CORE::CHAR_ENC_UNDEFINED ? CORE::Properties::loadPlain(*bag, sizes, flat.count, binary, strings)
                                                : CORE::Properties::load(*bag, encoding, sizes, flat.count, binary, strings);
}

}  // namespace fuzz
