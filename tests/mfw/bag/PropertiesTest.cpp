// The three-stream binary form of a bag: size entries, binary data and strings in each
// encoding, and what loading refuses.
#include "mfw/MfwTestSupport.h"
#include "tools/fuzz/BagStreams.h"

namespace mfwtest {
namespace {

using CORE::PropertyBag;
using fuzz::Flat;
using fuzz::FlattenBag;
using fuzz::LoadBag;

PropertyBag WithBinary(PropertyBag bag, const wchar_t* name, std::vector<BYTE> data) {
    bag.SetBinary(name, data.data(), data.size());
    return bag;
}
PropertyBag WithSubBag(PropertyBag bag, const wchar_t* name, const PropertyBag& sub) {
    bag.SetBag(name, sub);
    return bag;
}

TEST(PropertiesFlatten, StreamsHoldSizeEntriesBinaryDataAndEncodedStrings) {
    const PropertyBag empty = Bag({{L"ab", L""}}), accented = Bag({{L"\u00e9", L"\u20ac"}});  // 2 and 3 bytes in UTF-8
    const std::tuple<const char*, PropertyBag, int, std::vector<BYTE>, std::vector<BYTE>, std::vector<BYTE>> cases[] = {
        // what, bag, encoding, the size, binary and string streams
        {"empty value Utf8", empty, CORE::CHAR_ENC_UTF8, {0, 2, 0, 0, 0, 0}, {}, {'a', 'b'}},
        {"empty value Utf16", empty, CORE::CHAR_ENC_UTF16, {0, 2, 0, 0, 0, 0}, {}, {'a', 0, 'b', 0}},
        {"binary length carries bit 31", WithBinary(PropertyBag(), L"k", {7, 8, 9}), CORE::CHAR_ENC_UTF8,
         {0, 1, 0x80, 0, 0, 3}, {7, 8, 9}, {'k'}},
        {"empty sub-bag is start then end", WithSubBag(Bag({{L"v", L"x"}}), L"s", PropertyBag()), CORE::CHAR_ENC_UTF8,
         {0, 1, 0, 0, 0, 1, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, {}, {'v', 'x', 's'}},
        {"Utf8 lengths count bytes", accented, CORE::CHAR_ENC_UTF8, {0, 2, 0, 0, 0, 3}, {}, {0xC3, 0xA9, 0xE2, 0x82, 0xAC}},
        {"Utf16 lengths count characters", accented, CORE::CHAR_ENC_UTF16, {0, 1, 0, 0, 0, 1}, {}, {0xE9, 0, 0xAC, 0x20}},
        {"plain form is Utf16", accented, CORE::CHAR_ENC_UNDEFINED, {0, 1, 0, 0, 0, 1}, {}, {0xE9, 0, 0xAC, 0x20}},
    };
    for (const auto& [what, bag, encoding, sizes, binary, strings] : cases) {
        Flat flat;
        ASSERT_TRUE(FlattenBag(bag, encoding, &flat)) << what;
        EXPECT_EQ(std::tie(flat.sizes, flat.binary, flat.strings), std::tie(sizes, binary, strings)) << what;
    }
}

TEST(PropertiesFlatten, RefusesWhatCannotBeWrittenFaithfullyOrDoesNotFit) {
    const struct { const char* what; PropertyBag bag; int encoding; const wchar_t* logged; size_t sizeRoom = 0x100; }
        cases[] = {
        {"lone surrogate in Utf8", Bag({{L"v", std::wstring(1, wchar_t(0xD800))}}), CORE::CHAR_ENC_UTF8, L"item value, item name=v, encoding=Utf8"},
        {"sub-bag without name", WithSubBag(PropertyBag(), L"", PropertyBag()), CORE::CHAR_ENC_UTF16, L"serialize item name="},  // reads back as an end
        {"name over 16 bits", Bag({{std::wstring(0x10000, L'n').c_str(), L""}}), CORE::CHAR_ENC_UTF16, L"serialize item name="},
        {"unknown encoding", Bag({{L"v", L"x"}}), 3, L"Unsupported conversion code=3"},
        {"size stream full", Bag({{L"name", L"value"}}), CORE::CHAR_ENC_UTF8, L"No memory found to serialize propSizeEntry", 5},
    };
    for (const auto& c : cases) {
        testsupport::LogCapture log;
        std::vector<BYTE> big(0x30000);
        CORE::ByteData sizes(big.data(), c.sizeRoom), binary(big.data() + 0x100, 0x100), strings(big.data() + 0x200, 0x2FE00);
        EXPECT_TRUE(!CORE::Properties::flatten(c.bag, c.encoding, sizes, binary, strings) && log.Contains(c.logged)) << c.what << "\n" << Narrow(log.Dump());
    }
}

TEST(PropertiesLoad, RefusesUnbalancedSubBagsAndLengthsBeyondTheirAreaAndDuplicateNamesKeepTheFirstPositionAndTheLastValue) {
    const std::vector<BYTE> subBagStart = {0, 1, 0xFF, 0xFF, 0xFF, 0xFF}, subBagEnd = {0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    Flat deep{{}, {}, std::vector<BYTE>(100, 'n')};  // sub-bags nested beyond the limit
    for (const auto* entry : {&subBagStart, &subBagEnd})
        for (int i = 0; i < 100; ++i) deep.sizes.insert(deep.sizes.end(), entry->begin(), entry->end());
    const struct { const char* what; int encoding; std::vector<BYTE> sizes, binary, strings; const wchar_t* logged;
                   uint32_t count = 1; } cases[] = {
        {"end in Utf8", CORE::CHAR_ENC_UTF8, subBagEnd, {}, {}, L"Message invalid, subbag expected but not found"},
        {"end in plain", CORE::CHAR_ENC_UNDEFINED, subBagEnd, {}, {}, L"Message invalid, subbag end when no subbag"},
        {"start in Utf16", CORE::CHAR_ENC_UTF16, subBagStart, {}, {'s', 0}, L"Message invalid, unmatched subbag left without an end"},
        {"start in plain", CORE::CHAR_ENC_UNDEFINED, subBagStart, {}, {'s', 0}, L"Message invalid, end when subbags"},
        {"name past string area", CORE::CHAR_ENC_UTF8, {0, 5, 0, 0, 0, 0}, {}, {'a'}, L"failed to get Property name, encoding=Utf8"},
        {"utf8 value past area", CORE::CHAR_ENC_UTF8, {0, 1, 0x7F, 0xFF, 0xFF, 0xFF}, {}, {'a', 'b'}, L"(Utf8 to Utf16), found=1, need=2147483647"},
        {"utf16 value past area", CORE::CHAR_ENC_UTF16, {0, 1, 0, 0, 0, 2}, {}, {'a', 0, 'b', 0}, L"(Utf16 to Utf16), found=2, need=4"},
        {"binary past area", CORE::CHAR_ENC_UTF8, {0, 1, 0xFF, 0xFF, 0xFF, 0xFE}, {1}, {'b'}, L"copy binary data, required=2147483646"},
        {"invalid utf8", CORE::CHAR_ENC_UTF8, {0, 1, 0, 0, 0, 1}, {}, {'a', 0xC3}, L"value data(string), name=a, encoding=Utf8"},
        {"count past entries", CORE::CHAR_ENC_UTF8, {0, 1, 0, 0}, {}, {'a'}, L"Not enough buffer left"},
        {"nested too deep", CORE::CHAR_ENC_UTF8, deep.sizes, {}, deep.strings, L"Message invalid, subbags nested too deep", 200},
    };
    for (const auto& c : cases) {
        testsupport::LogCapture log;
        PropertyBag bag = Bag({{L"stale", L"1"}});
        EXPECT_TRUE(!LoadBag(Flat{c.sizes, c.binary, c.strings, c.count}, c.encoding, &bag) && bag.IsEmpty() && log.Contains(c.logged, CORE::LOG_ERROR))
            << c.what << "\n" << Narrow(log.Dump());
    }
    PropertyBag bag;
    ASSERT_TRUE(LoadBag(Flat{{0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 1}, {}, {'a', '1', 'b', '2', 'A', '3'}, 3}, CORE::CHAR_ENC_UTF8, &bag));
    EXPECT_TRUE(bag.Equals(Bag({{L"a", L"3"}, {L"b", L"2"}})) && bag.GetNameAt(0) == L"a") << Narrow(bag.ToXml());
}

TEST(ByteData, ChecksNeverWrapAndNeverTouchMemory) {
    BYTE buffer[8] = {};
    CORE::ByteData reader(static_cast<const void*>(buffer), 8), writer(buffer, 8), readOnly(static_cast<const void*>(buffer), 8);
    ASSERT_TRUE(reader.Skip(6));
    // consumed + required would wrap; nothing to write; a reader is never written through
    EXPECT_FALSE(reader.Skip(SIZE_MAX) || writer.Write(buffer, 0) || readOnly.WriteU16(1));
    EXPECT_TRUE(writer.WriteU32(1) && writer.WriteU32(2) && !writer.WriteU32(3));
}

}  // namespace
}  // namespace mfwtest
