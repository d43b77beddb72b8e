// Property bag loading in each binary encoding (plain, Utf8, Utf16: the seed's index) and from
// the XML form. Rule: a loaded bag is written again and loads as the same bag; a refused load
// leaves the bag empty.
//
// A binary input holds the three streams behind a 12-byte header, so one mutation can hit the
// item count, the stream lengths and the contents:
//   0 u32 item count, 4 u32 length of the size stream, 8 u32 length of the binary stream (all
//   big-endian), then the size stream, the binary stream and the string stream (the rest).
// Each stream is placed before a guard page of its own, as a load reads them apart.
#include "BagStreams.h"
#include "Samples.h"
#include "Target.h"

#include "lib/mfw/common/bag/ByteData.h"

namespace fuzz {
namespace {

std::vector<BYTE> Pack(const CORE::PropertyBag& bag, int encoding) {
    Flat flat;
    if (!FlattenBag(bag, encoding, &flat)) return {};
    std::vector<BYTE> out(12);
    CORE::StoreU32BE(out.data(), flat.count);
    CORE::StoreU32BE(out.data() + 4, static_cast<uint32_t>(flat.sizes.size()));
    CORE::StoreU32BE(out.data() + 8, static_cast<uint32_t>(flat.binary.size()));
    for (const auto* stream : {&flat.sizes, &flat.binary, &flat.strings}) out.insert(out.end(), stream->begin(), stream->end());
    return out;
}

// Loads the streams of `in` from slots 1 to 3; false when the header does not fit or the load fails.
bool Unpack(const Input& in, int encoding, CORE::PropertyBag* bag) {
    if (in.size < 12) return false;
    const uint64_t sizesLength = CORE::LoadU32BE(in.data + 4), binaryLength = CORE::LoadU32BE(in.data + 8);
    if (sizesLength > in.size - 12 || binaryLength > in.size - 12 - sizesLength) return false;
    const BYTE* at = in.data + 12;
    const size_t stringsLength = in.size - 12 - sizesLength - binaryLength;
    const BYTE* sizes = in.buffer.Place(1, at, sizesLength);
    const BYTE* binary = in.buffer.Place(2, at + sizesLength, binaryLength);
    const BYTE* strings = in.buffer.Place(3, at + sizesLength + binaryLength, stringsLength);
    CORE::ByteData sizeData(sizes, sizesLength), binaryData(binary, binaryLength), stringData(strings, stringsLength);
    const uint32_t count = CORE::LoadU32BE(in.data);
    return encoding == CORE::CHAR_ENC_UNDEFINED ? CORE::Properties::loadPlain(*bag, sizeData, count, binaryData, stringData)
                                                : CORE::Properties::load(*bag, encoding, sizeData, count, binaryData, stringData);
}

Verdict RunBinary(const Input& in) {
    const int encoding = static_cast<int>(in.seed);
    CORE::PropertyBag bag, again;
    if (!Unpack(in, encoding, &bag)) return bag.IsEmpty() ? Verdict::Refused : Verdict::WronglyAccepted;
    const std::vector<BYTE> packed = Pack(bag, encoding);
    GuardedBuffer& buffer = in.buffer;
    const BYTE* placed = buffer.Place(4, packed.data(), packed.size());  // the input stays in slot 0
    const bool ok = placed && Unpack(Input{placed, packed.size(), in.seed, buffer}, encoding, &again) && again.Equals(bag);
    return ok ? Verdict::Accepted : Verdict::WronglyAccepted;
}

Verdict RunXml(const Input& in) {
    CORE::PropertyBag bag, again;
    if (!bag.FromXml(WideView(in))) return bag.IsEmpty() ? Verdict::Refused : Verdict::WronglyAccepted;
    const bool ok = again.FromXml(bag.IsEmpty() ? L"<PROPERTYBAG/>" : bag.ToXml()) && again.Equals(bag);
    return ok ? Verdict::Accepted : Verdict::WronglyAccepted;
}

}  // namespace

std::unique_ptr<Target> BagTarget(PrivateMachine&) {
    auto target = std::make_unique<Target>();
    target->name = "bag";
    for (int encoding = 0; encoding < 3; ++encoding) target->seeds.push_back({Pack(SampleBag(), encoding)});
    target->run = &RunBinary;
    return target;
}

std::unique_ptr<Target> BagXmlTarget(PrivateMachine&) {
    auto target = std::make_unique<Target>();
    target->name = "bag-xml";
    target->seeds = {TextSeed(SampleBag().ToXml())};
    target->run = &RunXml;
    return target;
}

}  // namespace fuzz
