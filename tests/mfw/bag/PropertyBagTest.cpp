#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/util/coreException.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <functional>

using CORE::PropertyBag;

namespace {

std::string ThrownText(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const CORE::coreException& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

TEST(PropertyBag, SettingANameInAnotherCaseReplacesInPlaceKeepingTheFirstSpelling) {
    PropertyBag bag;
    bag.Set(L"USERNAME", L"old");
    bag.Set(L"domainName", L"corp");
    bag.Set(L"userName", L"new");
    ASSERT_EQ(bag.Count(), 2u);
    EXPECT_EQ(bag.GetNameAt(0), L"USERNAME");
    EXPECT_EQ(bag.GetStringAt(0), L"new");
    EXPECT_EQ(bag.Get(L"username"), L"new");
    EXPECT_EQ(bag.GetNameAt(1), L"domainName");
}

TEST(PropertyBag, NamesOfDifferentLengthOrLettersAreDistinct) {
    PropertyBag bag;
    bag.Set(L"a", L"1");
    bag.Set(L"ab", L"2");
    bag.Set(L"\u00C9t\u00E9", L"3");
    bag.Set(L"\u00E9T\u00C9", L"4");  // non-ASCII letters fold too
    EXPECT_EQ(bag.Count(), 3u);
    EXPECT_EQ(bag.Get(L"\u00C9T\u00C9"), L"4");
}

TEST(PropertyBag, CopiesShareItemsButChangesStayInTheirOwnBag) {
    PropertyBag sub;
    sub.Set(L"x", L"1");
    PropertyBag original;
    original.Set(L"name", L"before");
    original.SetBag(L"sub", sub);
    PropertyBag copy = original;
    copy.Set(L"NAME", L"after");
    copy.Set(L"added", L"y");
    EXPECT_EQ(original.Get(L"name"), L"before");
    EXPECT_EQ(original.Count(), 2u);
    EXPECT_EQ(copy.Get(L"name"), L"after");
    PropertyBag gotSub = original.GetBag(L"sub");
    gotSub.Set(L"x", L"changed");
    EXPECT_EQ(original.GetBag(L"sub").Get(L"x"), L"1");
}

TEST(PropertyBag, TypedGettersOnlyAnswerForTheirType) {
    PropertyBag bag;
    bag.Set(L"s", L"text");
    const BYTE bytes[] = {1, 2, 3};
    bag.SetBinary(L"b", bytes, 3);
    bag.SetBag(L"g", PropertyBag());
    EXPECT_EQ(bag.Get(L"b", L"dflt"), L"dflt");
    EXPECT_EQ(bag.Get(L"g", L"dflt"), L"dflt");
    EXPECT_EQ(bag.Get(L"missing", L"dflt"), L"dflt");
    std::vector<BYTE> out;
    EXPECT_TRUE(bag.GetBinary(L"B", &out));
    EXPECT_EQ(out, std::vector<BYTE>({1, 2, 3}));
    EXPECT_FALSE(bag.GetBinary(L"s", &out));
}

TEST(PropertyBag, AccessorsThrowTheirDocumentedTexts) {
    PropertyBag bag;
    bag.Set(L"s", L"text");
    bag.SetBag(L"g", PropertyBag());
    struct Case {
        const char* what;
        std::function<void()> call;
        const char* text;
    } cases[] = {
        {"GetString of a bag", [&] { bag.GetString(L"g"); }, "PropertyBag: name 'g' does not exist as string"},
        {"GetString missing", [&] { bag.GetString(L"zz"); }, "PropertyBag: name 'zz' does not exist as string"},
        {"GetBag of a string", [&] { bag.GetBag(L"s"); }, "PropertyBag: name 's' does not exist as bag"},
        {"GetNameAt", [&] { bag.GetNameAt(2); }, "PropertyBag: index is out of range"},
        {"GetStringAt range", [&] { bag.GetStringAt(2); }, "PropertyBag: index is out of range"},
        {"GetStringAt bag", [&] { bag.GetStringAt(1); }, "PropertyBag: index is not a string"},
        {"GetBagAt string", [&] { bag.GetBagAt(0); }, "PropertyBag: index is out of range or not a bag"},
        {"GetBagAt range", [&] { bag.GetBagAt(9); }, "PropertyBag: index is out of range or not a bag"},
        {"GetTypeAt", [&] { bag.GetTypeAt(2); }, "PropertyBag: index is out of range"},
    };
    for (const auto& c : cases) EXPECT_EQ(ThrownText(c.call), c.text) << c.what;
}

TEST(PropertyBag, ElementCountCoversNestedItemsAndEndEntries) {
    PropertyBag inner;
    inner.Set(L"ab", L"cde");
    PropertyBag bag;
    bag.Set(L"n", L"");
    bag.SetBag(L"sub", inner);
    bag.SetBag(L"empty", PropertyBag());
    const BYTE bytes[4] = {};
    bag.SetBinary(L"bin", bytes, 4);
    PropertyBag::ElementCount count;
    ASSERT_TRUE(bag.GetElementCount(&count));
    EXPECT_EQ(count.entries, 1u + 2u + 1u + 2u + 1u);  // n, sub+end, ab, empty+end, bin
    EXPECT_EQ(count.characters, 1u + 3u + 2u + 3u + 5u + 3u);
    EXPECT_EQ(count.binaryBytes, 4u);
}

TEST(PropertyBag, EmptyBagHasNoElementCount) {
    testsupport::LogCapture log;
    PropertyBag::ElementCount count;
    EXPECT_FALSE(PropertyBag().GetElementCount(&count));
    EXPECT_TRUE(log.Contains(L"CORE::PropertyBag::GetElementCount(): No properties available"));
}

TEST(PropertyBagErrors, SetErrorClearsTheBagAndTrimsTheText) {
    PropertyBag bag;
    bag.Set(L"userName", L"u");
    bag.SetError(5, L" \t\r\nno route\n ");
    ASSERT_EQ(bag.Count(), 2u);
    EXPECT_EQ(bag.Get(L"ErrorCode"), L"5");
    EXPECT_EQ(bag.Get(L"ErrorText"), L"no route");
    bag.SetErrorText(L"only text");
    EXPECT_EQ(bag.Count(), 1u);
}

TEST(PropertyBagErrors, CodeAndTextReadings) {
    struct Case {
        const wchar_t* code;  // null: absent
        const wchar_t* text;  // null: absent
        DWORD error;
        const wchar_t* errorText;
        const wchar_t* description;
    } cases[] = {
        {nullptr, nullptr, 0, L"dflt", L"Unspecified error"},
        {L"0", L"went wrong", 0xFFFFFFFF, L"went wrong", L"went wrong"},
        {L"12", nullptr, 12, L"ErrorCode 12 (0xc)", L"ErrorCode = 12 (0x000000000000000C)"},
        {L" 007 ", L"bad", 7, L"bad", L"bad - ErrorCode = 7 (0x0000000000000007)"},
        {L"0x10", L"", 16, L"ErrorCode 16 (0x10)", L"ErrorCode = 16 (0x0000000000000010)"},
        {L"junk", nullptr, 0, L"dflt", L"Unspecified error"},
    };
    for (const auto& c : cases) {
        PropertyBag bag;
        if (c.code) bag.Set(L"ErrorCode", c.code);
        if (c.text) bag.Set(L"ErrorText", c.text);
        EXPECT_EQ(bag.GetError(), c.error) << (c.code ? c.code : L"-");
        EXPECT_EQ(bag.GetErrorText(L"dflt"), c.errorText);
        EXPECT_EQ(bag.GetErrorDescription(), c.description);
    }
}

TEST(PropertyBagXml, WritesEveryItemKind) {
    PropertyBag inner;
    inner.Set(L"k", L"v");
    PropertyBag bag;
    bag.Set(L"user", L"a<b");
    bag.SetBag(L"sub", inner);
    const BYTE bytes[] = {0xFB, 0xFF, 0x00};
    bag.SetBinary(L"bin", bytes, 3);
    EXPECT_EQ(bag.ToXml(),
              L"<PROPERTYBAG><ITEM name=\"user\">a&lt;b</ITEM><ITEM name=\"sub\" type=\"BAG\"><ITEM name=\"k\">v</ITEM>"
              L"</ITEM><ITEM name=\"bin\" type=\"BINARY\">+/8A</ITEM></PROPERTYBAG>");
    EXPECT_EQ(PropertyBag().ToXml(), L"");
}

TEST(PropertyBagXml, EscapesPerMode) {
    const std::wstring value(L"&<>\"'\t\0z", 8);
    struct Case {
        int mode;
        const wchar_t* written;
    } cases[] = {
        {PropertyBag::XML_ESCAPE_FULL, L"&amp;&lt;&gt;&quot;&apos;&#x000009;&#x000000;z"},
        {PropertyBag::XML_ESCAPE_MINIMAL, L"&&lt;>\"'\t&#x000000;z"},
    };
    for (const auto& c : cases) {
        PropertyBag bag;
        bag.Set(L"v", value);
        EXPECT_EQ(bag.ToXml(c.mode), std::wstring(L"<PROPERTYBAG><ITEM name=\"v\">") + c.written + L"</ITEM></PROPERTYBAG>");
    }
    PropertyBag bag;
    bag.Set(L"v", L"&<");
    EXPECT_EQ(bag.ToXml(PropertyBag::XML_ESCAPE_NONE), L"<PROPERTYBAG><ITEM name=\"v\">&<</ITEM></PROPERTYBAG>");
}

TEST(PropertyBagXml, FullModeRoundTripsAnyText) {
    PropertyBag inner;
    inner.Set(L"deep", std::wstring(L"\0\x1f\x7f \u00e9\U0001F600", 7));
    PropertyBag bag;
    bag.Set(L"a\"'<>&", L"  spaced  \r\n");
    bag.SetBag(L"in", inner);
    bag.SetBag(L"none", PropertyBag());
    bag.SetBinary(L"empty", nullptr, 0);
    bag.Set(L"blank", L"");
    PropertyBag back;
    ASSERT_TRUE(back.FromXml(L"\r\n  " + bag.ToXml() + L"\n"));
    EXPECT_TRUE(back.Equals(bag)) << back.ToXml();
}

TEST(PropertyBagXml, ReadsToleratedSpellings) {
    PropertyBag bag;
    ASSERT_TRUE(bag.FromXml(L"<PROPERTYBAG version='2'>\n <ITEM type='BAG' name='s'> <ITEM name='x'/> </ITEM>\n"
                            L" <ITEM name=\"r\">&#65;&#x42;&bogus;&</ITEM><ITEM name='e' type='BAG'/></PROPERTYBAG>"));
    ASSERT_EQ(bag.Count(), 3u);
    EXPECT_EQ(bag.GetBag(L"s").GetString(L"x"), L"");
    EXPECT_EQ(bag.GetString(L"r"), L"AB&bogus;&");
    EXPECT_EQ(bag.GetBag(L"e").Count(), 0u);
    EXPECT_TRUE(bag.FromXml(L"  <PROPERTYBAG/>  "));
    EXPECT_TRUE(bag.IsEmpty());
}

TEST(PropertyBagXml, FailuresNameTheReasonAndPositionAndLeaveTheBagEmpty) {
    struct Case {
        const wchar_t* text;
        const wchar_t* logged;
    } cases[] = {
        {L"<BAG></BAG>", L"PropertyBag Parse failed: expected start of property bag, line=1, col=1"},
        {L"", L"PropertyBag Parse failed: expected start of property bag, line=1, col=1"},
        {L"<PROPERTYBAG></PROPERTYBAG>x", L"PropertyBag Parse failed: un-expected data after property bag, line=1, col=28"},
        {L"<PROPERTYBAG>\n  <ITEM>v</ITEM></PROPERTYBAG>", L"PropertyBag Parse failed: item without name, line=2, col=3"},
        {L"<PROPERTYBAG><ITEM name='b' type='BINARY'>#</ITEM></PROPERTYBAG>", L"invalid base64 data"},
        {L"<PROPERTYBAG><ITEM name='a'>v</ITEM>", L"unexpected end of text"},
        {L"<PROPERTYBAG><ITEM name='a'>v</ITEMS></PROPERTYBAG>", L"expected end of item"},
        {L"<PROPERTYBAG><FOO/></PROPERTYBAG>", L"expected item"},
    };
    for (const auto& c : cases) {
        testsupport::LogCapture log;
        PropertyBag bag;
        bag.Set(L"stale", L"x");
        EXPECT_FALSE(bag.FromXml(c.text)) << c.text;
        EXPECT_TRUE(bag.IsEmpty());
        EXPECT_TRUE(log.Contains(c.logged, CORE::LOG_WARN)) << log.Dump();
    }
}

TEST(PropertyBagXml, RefusesNestingBeyondTheLimit) {
    std::wstring deep = L"<PROPERTYBAG>";
    for (int i = 0; i < 200; ++i) deep += L"<ITEM name='n' type='BAG'>";
    for (int i = 0; i < 200; ++i) deep += L"</ITEM>";
    deep += L"</PROPERTYBAG>";
    PropertyBag bag;
    EXPECT_FALSE(bag.FromXml(deep));
}

TEST(Base64, DecodesOnlyCanonicalText) {
    std::vector<BYTE> out;
    EXPECT_TRUE(CORE::Base64Decode(L"TWFu\r\nTWE=", 10, &out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "ManMa");
    EXPECT_FALSE(CORE::Base64Decode(L"TWF", 3, &out));
    EXPECT_FALSE(CORE::Base64Decode(L"TWE=TWFu", 8, &out));
    EXPECT_FALSE(CORE::Base64Decode(L"TWF=", 4, &out));  // stray bits
    EXPECT_EQ(CORE::Base64Encode(reinterpret_cast<const BYTE*>("Ma"), 2), L"TWE=");
}

}  // namespace
