// No secret goes back to the heap readable: every block freed while a test watches is searched
// for a canary text the test put in a bag; and the secure string wipes its own storage when it
// is cleared, grown or moved.
#include "../MfwTestSupport.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/util/SecureString.h"
#include "support/FreedMemoryWatch.h"
#include "support/LogSecrets.h"

#include <gtest/gtest.h>

namespace {

constexpr wchar_t kCanary[] = L"Canary-5d1e-secret";
using CORE::SecureWString;
namespace watch = testsupport::freedwatch;

bool Contains(const void* memory, size_t bytes, const wchar_t* text) {
    const auto* p = static_cast<const BYTE*>(memory);
    return testsupport::logfiles::Contains(std::vector<BYTE>(p, p + bytes), text, wcslen(text) * sizeof(wchar_t));
}

// Wiping clears the inline buffer; growing out of it and moving leave no copy in the object.
TEST(SecureWString, WipingGrowingAndMovingLeaveNoCopyBehind) {
    SecureWString pin(std::wstring_view(L"1234")), secret(std::wstring_view(L"abcd"));
    SecureWString source(std::wstring_view(L"9876"));
    const wchar_t* storage = pin.c_str();  // inline: lives inside the object
    pin.Wipe();
    secret.append(L"efghijklmnopqrstuvwxyz");
    SecureWString target(std::move(source)), assigned;
    EXPECT_TRUE(pin.empty() && secret == L"abcdefghijklmnopqrstuvwxyz" && target == L"9876");
    EXPECT_FALSE(Contains(storage, 8 * sizeof(wchar_t), L"1234") || Contains(&secret, sizeof(secret), L"abcd") ||
                 Contains(&source, sizeof(source), L"9876"));
    assigned = std::move(target);
    EXPECT_TRUE(assigned == L"9876" && target.empty());
}

}  // namespace

TEST(FreedSecrets, BagItemsAreWipedBeforeTheirMemoryIsFreed) {
    CORE::SecureWString secret(kCanary);  // allocated, and wiped, outside the watch
    std::vector<BYTE> blob(reinterpret_cast<const BYTE*>(kCanary), reinterpret_cast<const BYTE*>(kCanary) + sizeof(kCanary));
    watch::Start(kCanary);
    {
        CORE::PropertyBag bag;
        bag.SetSecret(L"password", secret);
        bag.SetBinary(L"blob", blob.data(), blob.size());
        CORE::PropertyBag outer;
        outer.SetBag(L"inner", bag);
        bag.SetSecret(L"password", CORE::SecureWString(L"replaced"));  // the old item goes now
        EXPECT_EQ(outer.GetBag(L"inner").GetSecret(L"password"), std::wstring_view(kCanary));
    }
    EXPECT_EQ(watch::Stop(), 0);
    ::SecureZeroMemory(blob.data(), blob.size());
}

// A request and its answer cross a real protected channel (the stand-in node manager runs on
// threads of this process, so both ends are watched): no packet, record or flattened message
// that carried the secret goes back to the heap readable.
class FreedSecretsChannel : public mfwtest::ChannelFixture {};

TEST_F(FreedSecretsChannel, NoChannelBufferKeepsTheSecret) {
    ASSERT_TRUE(StartServer(With(CORE::PropertyBag(), L"DesktopManager", L"Echo", mfwtest::Bag({{L"echo", L"true"}})), true));
    CORE::MessageFrameWork* framework = CORE::MessageFrameWork::GetFrameWork();
    CORE::MessageChannel* channel = framework->ConnectChannel(CORE::MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
    ASSERT_NE(channel, nullptr);
    const CORE::SecureWString secret(kCanary);
    watch::Start(kCanary);
    for (int round = 0; round < 3; ++round) {
        CORE::PropertyBag request, response;
        request.SetSecret(L"password", secret);
        EXPECT_EQ(framework->SendMsg(L"DesktopManager", L"Echo", request, response, channel, 30000), 0u);
        EXPECT_TRUE(response.GetSecret(L"password") == secret.view());
    }
    const int readable = watch::Stop();
    framework->CloseChannel(channel);
    EXPECT_EQ(readable, 0);
}
