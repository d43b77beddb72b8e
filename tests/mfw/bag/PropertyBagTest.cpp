// The property bag: names, copies, typed access and its bounds, the error fields, and the
// XML form with its escaping, tolerated spellings and refusals.
#include "mfw/MfwTestSupport.h"

#include "lib/mfw/common/util/coreException.h"

#include <functional>

namespace mfwtest {
namespace {

using CORE::PropertyBag;

TEST(PropertyBag, NamesIgnoreCaseAReplacementKeepsTheFirstSpellingAndPlaceAndChangesOfACopyStayInIt) {
    PropertyBag bag = Bag({{L"USERNAME", L"old"}, {L"domainName", L"corp"}, {L"userName", L"new"}});
    EXPECT_EQ(std::to_wstring(bag.Count()) + L":" + bag.GetNameAt(0) + L"=" + bag.GetStringAt(0) + L"," + bag.GetNameAt(1), L"2:USERNAME=new,domainName");
    bag = Bag({{L"a", L"1"}, {L"ab", L"2"}, {L"\u00C9t\u00E9", L"3"}, {L"\u00E9T\u00C9", L"4"}});  // non-ASCII folds too
    EXPECT_EQ(std::to_wstring(bag.Count()) + bag.Get(L"\u00C9T\u00C9"), L"34");
    PropertyBag original = Bag({{L"name", L"before"}});
    original.SetBag(L"sub", Bag({{L"x", L"1"}}));
    PropertyBag copy = original, gotSub = original.GetBag(L"sub");
    copy.Set(L"NAME", L"after");
    copy.Set(L"added", L"y");
    gotSub.Set(L"x", L"changed");
    EXPECT_EQ(std::make_tuple(original.Get(L"name"), original.Count(), copy.Get(L"name"), original.GetBag(L"sub").Get(L"x")),
              std::make_tuple(std::wstring(L"before"), size_t(2), std::wstring(L"after"), std::wstring(L"1")));
}

TEST(PropertyBag, TypedAccessAnswersOnlyForItsTypeAndIndexesFromTheCountOnThrow) {
    PropertyBag bag = Bag({{L"s", L"text"}});
    bag.SetBag(L"g", PropertyBag());
    const BYTE bytes[] = {1, 2, 3};
    bag.SetBinary(L"b", bytes, 3);
    EXPECT_EQ(bag.Get(L"b", L"dflt") + bag.Get(L"g", L"dflt") + bag.Get(L"missing", L"dflt"), L"dfltdfltdflt");
    std::vector<BYTE> out;
    EXPECT_TRUE(bag.GetBinary(L"B", &out) && out == std::vector<BYTE>({1, 2, 3}) && !bag.GetBinary(L"s", &out));
    EXPECT_EQ(bag.GetNameAt(2), L"b");  // the last index answers, one past it throws
    const std::pair<std::function<void()>, std::string> cases[] = {  // each text after "PropertyBag: "
        {[&] { bag.GetString(L"g"); }, "name 'g' does not exist as string"}, {[&] { bag.GetBag(L"s"); }, "name 's' does not exist as bag"},
        {[&] { bag.GetNameAt(3); }, "index is out of range"}, {[&] { bag.GetStringAt(3); }, "index is out of range"},
        {[&] { bag.GetStringAt(1); }, "index is not a string"}, {[&] { bag.GetTypeAt(3); }, "index is out of range"},
        {[&] { bag.GetBagAt(0); }, "index is out of range or not a bag"}, {[&] { bag.GetBagAt(3); }, "index is out of range or not a bag"},
    };
    for (const auto& [call, text] : cases) {
        std::string thrown = "nothing thrown";
        try { call(); } catch (const CORE::coreException& e) { thrown = e.what(); }
        EXPECT_EQ(thrown, "PropertyBag: " + text);
    }
}

TEST(PropertyBagErrors, SetErrorReplacesTheContentAndReadingsFollowCodeAndText) {
    PropertyBag bag = Bag({{L"userName", L"u"}});
    bag.SetError(5, L" \t\r\nno route\n ");
    EXPECT_TRUE(bag.Equals(Bag({{L"ErrorCode", L"5"}, {L"ErrorText", L"no route"}}))) << Narrow(bag.ToXml());
    bag.SetErrorText(L"only text");
    EXPECT_TRUE(bag.Equals(Bag({{L"ErrorText", L"only text"}}))) << Narrow(bag.ToXml());
    // ErrorCode, ErrorText (null: absent); GetError, GetErrorText, GetErrorDescription
    const std::tuple<const wchar_t*, const wchar_t*, DWORD, const wchar_t*, const wchar_t*> cases[] = {
        {nullptr, nullptr, 0, L"dflt", L"Unspecified error"},
        {L"0", L"went wrong", 0xFFFFFFFF, L"went wrong", L"went wrong"},
        {L"12", nullptr, 12, L"ErrorCode 12 (0xc)", L"ErrorCode = 12 (0x000000000000000C)"},
        {L" 007 ", L"bad", 7, L"bad", L"bad - ErrorCode = 7 (0x0000000000000007)"},
        {L"junk", nullptr, 0, L"dflt", L"Unspecified error"},
    };
    for (const auto& [code, text, error, errorText, description] : cases) {
        PropertyBag bag;
        if (code) bag.Set(L"ErrorCode", code);
        if (text) bag.Set(L"ErrorText", text);
        EXPECT_EQ(std::make_tuple(bag.GetError(), bag.GetErrorText(L"dflt"), bag.GetErrorDescription()),
                  std::make_tuple(error, std::wstring(errorText), std::wstring(description)));
    }
}

TEST(PropertyBagXml, WritesEveryItemKindEscapedPerModeAndFullModeRoundTripsAnyTextAndToleratedSpellingsAreRead) {
    PropertyBag bag = Bag({{L"user", L"a<b"}});
    bag.SetBag(L"sub", Bag({{L"k", L"v"}}));
    const BYTE bytes[] = {0xFB, 0xFF, 0x00};
    bag.SetBinary(L"bin", bytes, 3);
    EXPECT_EQ(bag.ToXml(), L"<PROPERTYBAG><ITEM name=\"user\">a&lt;b</ITEM><ITEM name=\"sub\" type=\"BAG\"><ITEM name=\"k\">v</ITEM>"
                           L"</ITEM><ITEM name=\"bin\" type=\"BINARY\">+/8A</ITEM></PROPERTYBAG>");
    EXPECT_EQ(PropertyBag().ToXml(), L"");
    const std::pair<int, const wchar_t*> cases[] = {
        {PropertyBag::XML_ESCAPE_FULL, L"&amp;&lt;&gt;&quot;&apos;&#x000009;&#x000000;z"},
        {PropertyBag::XML_ESCAPE_MINIMAL, L"&&lt;>\"'\t&#x000000;z"},
        {PropertyBag::XML_ESCAPE_NONE, L"&<>\"'\t"},
    };
    for (const auto& [mode, written] : cases)
        EXPECT_EQ(Bag({{L"v", std::wstring(L"&<>\"'\t\0z", mode == PropertyBag::XML_ESCAPE_NONE ? 6 : 8)}}).ToXml(mode),
                  std::wstring(L"<PROPERTYBAG><ITEM name=\"v\">") + written + L"</ITEM></PROPERTYBAG>");
    PropertyBag full = Bag({{L"a\"'<>&", L"  spaced  \r\n"}, {L"blank", L""}}), back;
    full.SetBag(L"in", Bag({{L"deep", std::wstring(L"\0\x1f\x7f \u00e9\U0001F600", 7)}}));
    full.SetBag(L"none", PropertyBag());
    full.SetBinary(L"empty", nullptr, 0);
    ASSERT_TRUE(back.FromXml(L"\r\n  " + full.ToXml() + L"\n"));
    EXPECT_TRUE(back.Equals(full)) << Narrow(back.ToXml());
    ASSERT_TRUE(full.FromXml(L"<PROPERTYBAG version='2'>\n <ITEM type='BAG' name='s'> <ITEM name='x'/> </ITEM>\n"
                            L" <ITEM name=\"r\">&#65;&#x42;&bogus;&</ITEM><ITEM name='e' type='BAG'/></PROPERTYBAG>"));
    ASSERT_EQ(full.Count(), 3u);
    EXPECT_EQ(full.GetBag(L"s").GetString(L"x") + L"|" + full.GetString(L"r") + L"|" + std::to_wstring(full.GetBag(L"e").Count()), L"|AB&bogus;&|0");
    EXPECT_TRUE(full.FromXml(L"  <PROPERTYBAG/>  ") && full.IsEmpty());
}

TEST(PropertyBagXml, FailuresNameTheReasonAndPositionAndLeaveTheBagEmpty) {
    std::wstring deep = L"<PROPERTYBAG>";
    for (int i = 0; i < 200; ++i) deep += L"<ITEM name='n' type='BAG'>";
    for (int i = 0; i < 200; ++i) deep += L"</ITEM>";
    const std::pair<std::wstring, const wchar_t*> cases[] = {
        {L"<BAG></BAG>", L"PropertyBag Parse failed: expected start of property bag, line=1, col=1"},
        {L"<PROPERTYBAG></PROPERTYBAG>x", L"PropertyBag Parse failed: un-expected data after property bag, line=1, col=28"},
        {L"<PROPERTYBAG>\n  <ITEM>v</ITEM></PROPERTYBAG>", L"PropertyBag Parse failed: item without name, line=2, col=3"},
        {L"<PROPERTYBAG><ITEM name='b' type='BINARY'>#</ITEM></PROPERTYBAG>", L"invalid base64 data"},
        {L"<PROPERTYBAG><ITEM name='a'>v</ITEM>", L"unexpected end of text"},
        {L"<PROPERTYBAG><ITEM name='a'>v</ITEMS></PROPERTYBAG>", L"expected end of item"},
        {L"<PROPERTYBAG><FOO/></PROPERTYBAG>", L"expected item"},
        {deep + L"</PROPERTYBAG>", L"property bags nested too deep"},
    };
    for (const auto& [text, logged] : cases) {
        testsupport::LogCapture log;
        PropertyBag bag = Bag({{L"stale", L"x"}});
        EXPECT_TRUE(!bag.FromXml(text) && bag.IsEmpty() && log.Contains(logged, CORE::LOG_WARN)) << Narrow(text.substr(0, 80) + L"\n" + log.Dump());
    }
}

TEST(Base64, DecodesOnlyCanonicalText) {
    std::vector<BYTE> out;
    EXPECT_TRUE(CORE::Base64Decode(L"TWFu\r\nTWE=", 10, &out) && std::string(out.begin(), out.end()) == "ManMa");
    for (const wchar_t* bad : {L"TWF", L"TWE=TWFu", L"TWF="})  // short, data after the pad, stray bits
        EXPECT_FALSE(CORE::Base64Decode(bad, wcslen(bad), &out)) << Narrow(bad);
    EXPECT_EQ(CORE::Base64Encode(reinterpret_cast<const BYTE*>("Ma"), 2), L"TWE=");
}

}  // namespace
}  // namespace mfwtest
