#include "lib/mfw/common/bag/CharEncConverter.h"
#include "lib/mfw/common/bag/Properties.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

using CORE::PropertyBag;

namespace {

struct Flat {
    std::vector<BYTE> sizes, binary, strings;
    uint32_t count = 0;
};

// Flattens into generously sized streams and trims them to what was written.
bool FlattenBag(const PropertyBag& bag, int encoding, Flat* flat) {
    flat->sizes.assign(4096, 0);
    flat->binary.assign(4096, 0);
    flat->strings.assign(8192, 0);
    CORE::ByteData sizes(flat->sizes.data(), flat->sizes.size());
    CORE::ByteData binary(flat->binary.data(), flat->binary.size());
    CORE::ByteData strings(flat->strings.data(), flat->strings.size());
    bool ok = encoding == CORE::CHAR_ENC_UNDEFINED ? CORE::Properties::flattenPlain(bag, sizes, binary, strings)
                                                   : CORE::Properties::flatten(bag, encoding, sizes, binary, strings);
    flat->sizes.resize(sizes.Consumed());
    flat->binary.resize(binary.Consumed());
    flat->strings.resize(strings.Consumed());
    flat->count = static_cast<uint32_t>(flat->sizes.size() / 6);
    return ok;
}

bool LoadBag(const Flat& flat, int encoding, PropertyBag* bag) {
    CORE::ByteData sizes(flat.sizes.data(), flat.sizes.size());
    CORE::ByteData binary(flat.binary.data(), flat.binary.size());
    CORE::ByteData strings(flat.strings.data(), flat.strings.size());
    return encoding == CORE::CHAR_ENC_UNDEFINED ? CORE::Properties::loadPlain(*bag, sizes, flat.count, binary, strings)
                                                : CORE::Properties::load(*bag, encoding, sizes, flat.count, binary, strings);
}

std::vector<BYTE> Bytes(std::initializer_list<int> values) {
    std::vector<BYTE> out;
    for (int v : values) out.push_back(static_cast<BYTE>(v));
    return out;
}

TEST(PropertiesFlatten, OneEmptyStringValue) {
    PropertyBag bag;
    bag.Set(L"ab", L"");
    Flat utf8, utf16;
    ASSERT_TRUE(FlattenBag(bag, CORE::CHAR_ENC_UTF8, &utf8));
    EXPECT_EQ(utf8.sizes, Bytes({0, 2, 0, 0, 0, 0}));
    EXPECT_EQ(utf8.strings, Bytes({'a', 'b'}));
    EXPECT_TRUE(utf8.binary.empty());
    ASSERT_TRUE(FlattenBag(bag, CORE::CHAR_ENC_UTF16, &utf16));
    EXPECT_EQ(utf16.sizes, Bytes({0, 2, 0, 0, 0, 0}));
    EXPECT_EQ(utf16.strings, Bytes({'a', 0, 'b', 0}));
}

TEST(PropertiesFlatten, BinaryLengthCarriesBit31) {
    PropertyBag bag;
    const BYTE data[] = {7, 8, 9};
    bag.SetBinary(L"k", data, 3);
    Flat flat;
    ASSERT_TRUE(FlattenBag(bag, CORE::CHAR_ENC_UTF8, &flat));
    EXPECT_EQ(flat.sizes, Bytes({0, 1, 0x80, 0, 0, 3}));
    EXPECT_EQ(flat.binary, Bytes({7, 8, 9}));
    EXPECT_EQ(flat.strings, Bytes({'k'}));
}

TEST(PropertiesFlatten, EmptySubBagIsStartThenEnd) {
    PropertyBag bag;
    bag.SetBag(L"s", PropertyBag());
    bag.Set(L"v", L"x");
    Flat flat;
    ASSERT_TRUE(FlattenBag(bag, CORE::CHAR_ENC_UTF8, &flat));
    EXPECT_EQ(flat.sizes, Bytes({0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 1, 0, 0, 0, 1}));
    EXPECT_EQ(flat.strings, Bytes({'s', 'v', 'x'}));
}

TEST(PropertiesFlatten, LengthsCountBytesForUtf8AndCharactersForUtf16) {
    PropertyBag bag;
    bag.Set(L"\u00e9", L"\u20ac");  // 2 and 3 bytes in UTF-8
    Flat utf8, utf16, plain;
    ASSERT_TRUE(FlattenBag(bag, CORE::CHAR_ENC_UTF8, &utf8));
    EXPECT_EQ(utf8.sizes, Bytes({0, 2, 0, 0, 0, 3}));
    EXPECT_EQ(utf8.strings, Bytes({0xC3, 0xA9, 0xE2, 0x82, 0xAC}));
    ASSERT_TRUE(FlattenBag(bag, CORE::CHAR_ENC_UTF16, &utf16));
    EXPECT_EQ(utf16.sizes, Bytes({0, 1, 0, 0, 0, 1}));
    EXPECT_EQ(utf16.strings, Bytes({0xE9, 0x00, 0xAC, 0x20}));
    ASSERT_TRUE(FlattenBag(bag, CORE::CHAR_ENC_UNDEFINED, &plain));
    EXPECT_EQ(plain.strings, utf16.strings);
}

TEST(PropertiesFlatten, RoundTripsEveryEncoding) {
    PropertyBag inner;
    inner.Set(L"UPN@corp", L"1");
    inner.SetBag(L"empty", PropertyBag());
    PropertyBag bag;
    bag.Set(L"userName", L"J\u00f6rg");
    bag.SetBag(L"upns", inner);
    const BYTE data[] = {0, 1, 2, 0xFF};
    bag.SetBinary(L"blob", data, 4);
    bag.SetBinary(L"none", nullptr, 0);
    bag.Set(L"", L"nameless string");
    for (int encoding : {CORE::CHAR_ENC_UNDEFINED, CORE::CHAR_ENC_UTF8, CORE::CHAR_ENC_UTF16}) {
        Flat flat;
        ASSERT_TRUE(FlattenBag(bag, encoding, &flat)) << encoding;
        PropertyBag back;
        ASSERT_TRUE(LoadBag(flat, encoding, &back)) << encoding;
        EXPECT_TRUE(back.Equals(bag)) << encoding << " " << std::string(back.ToXml().begin(), back.ToXml().end());
    }
}

TEST(PropertiesFlatten, RefusesWhatCannotBeWrittenFaithfully) {
    struct Case {
        const char* what;
        PropertyBag bag;
        int encoding;
        const wchar_t* logged;
    };
    PropertyBag lone, nameless, longName, unknown;
    lone.Set(L"v", std::wstring(1, wchar_t(0xD800)));
    nameless.SetBag(L"", PropertyBag());  // would read back as an end entry
    longName.Set(std::wstring(0x10000, L'n'), L"");
    unknown.Set(L"v", L"x");
    Case cases[] = {
        {"lone surrogate in Utf8", lone, CORE::CHAR_ENC_UTF8, L"Failed to re-encode/serialize item value, item name=v, encoding=Utf8"},
        {"sub-bag without name", nameless, CORE::CHAR_ENC_UTF16, L"Failed to re-encode/serialize item name="},
        {"name over 16 bits", longName, CORE::CHAR_ENC_UTF16, L"Failed to re-encode/serialize item name="},
        {"unknown encoding", unknown, 3, L"Unsupported conversion code=3"},
    };
    for (auto& c : cases) {
        testsupport::LogCapture log;
        std::vector<BYTE> big(0x30000);
        CORE::ByteData sizes(big.data(), 0x100), binary(big.data() + 0x100, 0x100), strings(big.data() + 0x200, 0x2FE00);
        EXPECT_FALSE(CORE::Properties::flatten(c.bag, c.encoding, sizes, binary, strings)) << c.what;
        EXPECT_TRUE(log.Contains(c.logged)) << c.what << "\n" << std::string(log.Dump().begin(), log.Dump().end());
    }
}

TEST(PropertiesFlatten, StopsWhenAStreamIsFull) {
    PropertyBag bag;
    bag.Set(L"name", L"value");
    BYTE sizeRoom[5], binaryRoom[4], stringRoom[64];
    CORE::ByteData sizes(sizeRoom, 5), binary(binaryRoom, 4), strings(stringRoom, 64);
    testsupport::LogCapture log;
    EXPECT_FALSE(CORE::Properties::flatten(bag, CORE::CHAR_ENC_UTF8, sizes, binary, strings));
    EXPECT_TRUE(log.Contains(L"No memory found to serialize propSizeEntry, item name=name"));
}

TEST(PropertiesLoad, RefusesUnbalancedSubBags) {
    struct Case {
        int encoding;
        std::vector<BYTE> sizes;
        std::vector<BYTE> strings;
        const wchar_t* logged;
    } cases[] = {
        {CORE::CHAR_ENC_UTF8, Bytes({0, 0, 0xFF, 0xFF, 0xFF, 0xFF}), {}, L"Message invalid, subbag expected but not found"},
        {CORE::CHAR_ENC_UNDEFINED, Bytes({0, 0, 0xFF, 0xFF, 0xFF, 0xFF}), {}, L"Message invalid, subbag end when no subbag"},
        {CORE::CHAR_ENC_UTF16, Bytes({0, 1, 0xFF, 0xFF, 0xFF, 0xFF}), Bytes({'s', 0}),
         L"Message invalid, unmatched subbag left without an end"},
        {CORE::CHAR_ENC_UNDEFINED, Bytes({0, 1, 0xFF, 0xFF, 0xFF, 0xFF}), Bytes({'s', 0}), L"Message invalid, end when subbags"},
    };
    for (const auto& c : cases) {
        testsupport::LogCapture log;
        Flat flat;
        flat.sizes = c.sizes;
        flat.strings = c.strings;
        flat.count = 1;
        PropertyBag bag;
        bag.Set(L"stale", L"1");
        EXPECT_FALSE(LoadBag(flat, c.encoding, &bag));
        EXPECT_TRUE(bag.IsEmpty());
        EXPECT_TRUE(log.Contains(c.logged, CORE::LOG_ERROR)) << std::string(log.Dump().begin(), log.Dump().end());
    }
}

TEST(PropertiesLoad, RefusesLengthsBeyondTheirArea) {
    struct Case {
        const char* what;
        int encoding;
        std::vector<BYTE> sizes;
        std::vector<BYTE> binary;
        std::vector<BYTE> strings;
        const wchar_t* logged;
    } cases[] = {
        {"name past string area", CORE::CHAR_ENC_UTF8, Bytes({0, 5, 0, 0, 0, 0}), {}, Bytes({'a'}),
         L"failed to get Property name, encoding=Utf8"},
        {"utf8 value past area", CORE::CHAR_ENC_UTF8, Bytes({0, 1, 0x7F, 0xFF, 0xFF, 0xFF}), {}, Bytes({'a', 'b'}),
         L"Not enough bytes left to read from(Utf8 to Utf16), found=1, need=2147483647"},
        {"utf16 value past area", CORE::CHAR_ENC_UTF16, Bytes({0, 1, 0, 0, 0, 2}), {}, Bytes({'a', 0, 'b', 0}),
         L"Not enough bytes left to read from(Utf16 to Utf16), found=2, need=4"},
        {"binary past area", CORE::CHAR_ENC_UTF8, Bytes({0, 1, 0xFF, 0xFF, 0xFF, 0xFE}), Bytes({1}), Bytes({'b'}),
         L"buffer not found to copy binary data, required=2147483646, name=b"},
        {"invalid utf8", CORE::CHAR_ENC_UTF8, Bytes({0, 1, 0, 0, 0, 1}), {}, Bytes({'a', 0xC3}),
         L"failed to get Property value data(string), name=a, encoding=Utf8"},
        {"count past entries", CORE::CHAR_ENC_UTF8, Bytes({0, 1, 0, 0}), {}, Bytes({'a'}), L"Not enough buffer left"},
    };
    for (const auto& c : cases) {
        testsupport::LogCapture log;
        Flat flat{c.sizes, c.binary, c.strings, 1};
        PropertyBag bag;
        EXPECT_FALSE(LoadBag(flat, c.encoding, &bag)) << c.what;
        EXPECT_TRUE(log.Contains(c.logged)) << c.what << "\n" << std::string(log.Dump().begin(), log.Dump().end());
    }
}

TEST(PropertiesLoad, DuplicateNamesKeepTheFirstPositionAndTheLastValue) {
    Flat flat{Bytes({0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 1}), {}, Bytes({'a', '1', 'b', '2', 'A', '3'}), 3};
    PropertyBag bag;
    ASSERT_TRUE(LoadBag(flat, CORE::CHAR_ENC_UTF8, &bag));
    ASSERT_EQ(bag.Count(), 2u);
    EXPECT_EQ(bag.GetNameAt(0), L"a");
    EXPECT_EQ(bag.GetStringAt(0), L"3");
}

TEST(PropertiesLoad, RefusesNestingBeyondTheLimit) {
    Flat flat;
    for (int i = 0; i < 100; ++i) {
        flat.sizes.insert(flat.sizes.end(), {0, 1, 0xFF, 0xFF, 0xFF, 0xFF});
        flat.strings.push_back('n');
    }
    for (int i = 0; i < 100; ++i) flat.sizes.insert(flat.sizes.end(), {0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
    flat.count = 200;
    PropertyBag bag;
    EXPECT_FALSE(LoadBag(flat, CORE::CHAR_ENC_UTF8, &bag));
}

TEST(ByteData, ChecksNeverWrapAndNeverTouchMemory) {
    BYTE buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    CORE::ByteData reader(static_cast<const void*>(buffer), 8);
    ASSERT_TRUE(reader.Skip(6));
    EXPECT_FALSE(reader.Skip(SIZE_MAX));  // consumed + required would wrap
    EXPECT_FALSE(reader.Skip(3));
    uint16_t value = 0;
    EXPECT_TRUE(reader.ReadU16(&value));
    EXPECT_EQ(value, 0x0708);
    EXPECT_FALSE(reader.ReadU16(&value));
    CORE::ByteData writer(buffer, 8);
    EXPECT_FALSE(writer.Write(buffer, 0));
    EXPECT_TRUE(writer.WriteU32(0xA1B2C3D4));
    EXPECT_FALSE(writer.WriteU32(1) && writer.WriteU32(2));
    EXPECT_EQ(buffer[0], 0xA1);
    CORE::ByteData readOnly(static_cast<const void*>(buffer), 8);
    EXPECT_FALSE(readOnly.WriteU16(1));  // a reader is never written through
}

}  // namespace
