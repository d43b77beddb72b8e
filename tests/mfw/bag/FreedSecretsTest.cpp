// No secret goes back to the heap readable: this program replaces the global allocator so that
// every block freed while a test watches is searched for a canary text the test put in a bag
// (in UTF-16 and in UTF-8, the two wire encodings); and the secure string wipes its own
// storage when it is cleared, grown or moved.
#include "../MfwTestSupport.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/util/SecureString.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr wchar_t kCanary[] = L"Canary-5d1e-secret";
std::atomic<bool> g_watching{false};
std::atomic<int> g_readableFrees{0};
using CORE::SecureWString;

constexpr char kCanaryUtf8[] = "Canary-5d1e-secret";

void Inspect(void* block) {
    if (!block || !g_watching.load()) return;
    const size_t size = _msize(block);
    const BYTE* bytes = static_cast<const BYTE*>(block);
    const size_t wide = sizeof(kCanary) - sizeof(wchar_t), narrow = sizeof(kCanaryUtf8) - 1;
    for (size_t at = 0; at + narrow <= size; ++at)
        if ((at + wide <= size && std::memcmp(bytes + at, kCanary, wide) == 0) ||
            std::memcmp(bytes + at, kCanaryUtf8, narrow) == 0) {
            ++g_readableFrees;
            return;
        }
}

bool Contains(const void* memory, size_t bytes, const wchar_t* text) {
    const size_t textBytes = wcslen(text) * sizeof(wchar_t);
    const BYTE* p = static_cast<const BYTE*>(memory);
    for (size_t i = 0; i + textBytes <= bytes; ++i)
        if (std::memcmp(p + i, text, textBytes) == 0) return true;
    return false;
}

TEST(SecureWString, WipeClearsTheInlineBuffer) {
    SecureWString pin(std::wstring_view(L"1234"));
    const wchar_t* storage = pin.c_str();  // inline: lives inside the object
    pin.Wipe();
    EXPECT_TRUE(pin.empty());
    EXPECT_FALSE(Contains(storage, 8 * sizeof(wchar_t), L"1234"));
}

TEST(SecureWString, GrowingOutOfTheInlineBufferLeavesNoCopyBehind) {
    SecureWString secret(std::wstring_view(L"abcd"));
    const BYTE* object = reinterpret_cast<const BYTE*>(&secret);
    secret.append(L"efghijklmnopqrstuvwxyz");
    EXPECT_TRUE(secret == L"abcdefghijklmnopqrstuvwxyz");
    EXPECT_FALSE(Contains(object, sizeof(secret), L"abcd"));
}

TEST(SecureWString, MovingWipesTheSource) {
    SecureWString source(std::wstring_view(L"9876"));
    const BYTE* object = reinterpret_cast<const BYTE*>(&source);
    SecureWString target(std::move(source));
    EXPECT_TRUE(target == L"9876");
    EXPECT_FALSE(Contains(object, sizeof(source), L"9876"));
    SecureWString assigned;
    assigned = std::move(target);
    EXPECT_TRUE(assigned == L"9876");
    EXPECT_TRUE(target.empty());
}

}  // namespace

void* operator new(size_t size) {
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void operator delete(void* block) noexcept {
    Inspect(block);
    std::free(block);
}
void operator delete(void* block, size_t) noexcept { operator delete(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { operator delete(block); }

TEST(FreedSecrets, BagItemsAreWipedBeforeTheirMemoryIsFreed) {
    CORE::SecureWString secret(kCanary);  // allocated, and wiped, outside the watch
    std::vector<BYTE> blob(reinterpret_cast<const BYTE*>(kCanary), reinterpret_cast<const BYTE*>(kCanary) + sizeof(kCanary));
    g_watching = true;
    {
        CORE::PropertyBag bag;
        bag.SetSecret(L"password", secret);
        bag.SetBinary(L"blob", blob.data(), blob.size());
        CORE::PropertyBag outer;
        outer.SetBag(L"inner", bag);
        bag.SetSecret(L"password", CORE::SecureWString(L"replaced"));  // the old item goes now
        EXPECT_EQ(outer.GetBag(L"inner").GetSecret(L"password"), std::wstring_view(kCanary));
    }
    g_watching = false;
    ::SecureZeroMemory(blob.data(), blob.size());
    EXPECT_EQ(g_readableFrees.load(), 0);
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
    g_readableFrees = 0;
    g_watching = true;
    for (int round = 0; round < 3; ++round) {
        CORE::PropertyBag request, response;
        request.SetSecret(L"password", secret);
        EXPECT_EQ(framework->SendMsg(L"DesktopManager", L"Echo", request, response, channel, 30000), 0u);
        EXPECT_TRUE(response.GetSecret(L"password") == secret.view());
    }
    g_watching = false;
    framework->CloseChannel(channel);
    EXPECT_EQ(g_readableFrees.load(), 0);
}
