#include "base/Serialization.h"

#include "base/Guids.h"

#include <gtest/gtest.h>

namespace {

TEST(DuplicateSerialization, CopiesScalarsAndBytesIntoAnOwnedBuffer) {
    BYTE bytes[] = {1, 2, 3, 4, 5};
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION source = {7, CLSID_credprovider, sizeof(bytes), bytes};
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION copy = {};
    ASSERT_TRUE(DuplicateSerialization(&source, &copy));
    EXPECT_EQ(copy.ulAuthenticationPackage, 7u);
    EXPECT_TRUE(IsEqualCLSID(copy.clsidCredentialProvider, CLSID_credprovider));
    ASSERT_EQ(copy.cbSerialization, sizeof(bytes));
    EXPECT_NE(copy.rgbSerialization, bytes);
    EXPECT_EQ(memcmp(copy.rgbSerialization, bytes, sizeof(bytes)), 0);
    ::CoTaskMemFree(copy.rgbSerialization);
}

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
