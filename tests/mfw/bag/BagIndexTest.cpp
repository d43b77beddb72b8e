// Large bags: a message of a million distinct names loads in linear time, and the name index
// keeps every rule of the small bag (case, first spelling, order, removal, copies).
#include "lib/mfw/common/bag/Properties.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using CORE::PropertyBag;

TEST(BagIndex, MillionDistinctNamesLoadAndKeepTheBagRules) {
    constexpr uint32_t kItems = 1000000;
    PropertyBag bag;
    for (uint32_t i = 0; i < kItems; ++i) bag.Set(L"n" + std::to_wstring(i), L"v");
    std::vector<BYTE> sizes(kItems * 6 + 6), binary(16), strings(kItems * 24);
    CORE::ByteData s(sizes.data(), sizes.size()), b(binary.data(), binary.size()), t(strings.data(), strings.size());
    ASSERT_TRUE(CORE::Properties::flattenPlain(bag, s, b, t));
    // Quadratic name lookups would take hours here; the test's time-out is the bound.
    PropertyBag loaded;
    CORE::ByteData rs(sizes.data(), s.Consumed()), rb(binary.data(), 0), rt(strings.data(), t.Consumed());
    ASSERT_TRUE(CORE::Properties::loadPlain(loaded, rs, static_cast<uint32_t>(s.Consumed() / 6), rb, rt));
    ASSERT_EQ(loaded.Count(), kItems);
    EXPECT_TRUE(loaded.Equals(bag));

    PropertyBag copy = loaded;
    copy.Set(L"N500000", L"changed");  // replaced in place, first spelling kept
    EXPECT_EQ(copy.GetNameAt(500000) + L"=" + copy.Get(L"n500000") + L"," + loaded.Get(L"n500000"), L"n500000=changed,v");
    ASSERT_TRUE(copy.Remove(L"n0"));
    EXPECT_EQ(copy.GetNameAt(0) + L"," + copy.Get(L"N999999", L"absent") + L"," + copy.Get(L"n0", L"absent"), L"n1,v,absent");
    copy.Set(L"\u00C4rger", L"1");
    copy.Set(L"\u00E4RGER", L"2");  // case beyond ASCII folds the same way
    EXPECT_EQ(std::make_pair(copy.Count(), copy.Get(L"\u00E4rger")), std::make_pair(size_t(kItems), std::wstring(L"2")));
}

}  // namespace
