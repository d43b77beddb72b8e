#include "base/Serialization.h"

#include "base/Guids.h"

#include <gtest/gtest.h>

namespace {

// The copy itself is checked where the filter passes a remote credential on.
TEST(DuplicateSerialization, RefusesEmptyOrMissingInput) {
    BYTE bytes[] = {1};
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION copy = {};
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION empty = {7, CLSID_credprovider, 0, bytes};
    EXPECT_FALSE(DuplicateSerialization(&empty, &copy));
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION noBuffer = {7, CLSID_credprovider, 1, nullptr};
    EXPECT_FALSE(DuplicateSerialization(&noBuffer, &copy));
    EXPECT_FALSE(DuplicateSerialization(nullptr, &copy));
    EXPECT_FALSE(DuplicateSerialization(&empty, nullptr));
    // Nothing was allocated or touched.
    EXPECT_EQ(copy.rgbSerialization, nullptr);
    EXPECT_EQ(copy.cbSerialization, 0u);
}

}  // namespace
