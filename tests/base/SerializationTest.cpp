#include "base/Serialization.h"

#include "base/Guids.h"

#include <gtest/gtest.h>

namespace {

// The copy itself is checked where the filter passes a remote credential on; refused input
// allocates and touches nothing.
TEST(DuplicateSerialization, RefusesEmptyOrMissingInput) {
    BYTE bytes[] = {1};
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION copy = {}, empty = {7, CLSID_credprovider, 0, bytes},
                                                 noBuffer = {7, CLSID_credprovider, 1, nullptr};
    EXPECT_FALSE(DuplicateSerialization(&empty, &copy) || DuplicateSerialization(&noBuffer, &copy) ||
                 DuplicateSerialization(nullptr, &copy) || DuplicateSerialization(&empty, nullptr));
    EXPECT_TRUE(copy.rgbSerialization == nullptr && copy.cbSerialization == 0);
}

}  // namespace
