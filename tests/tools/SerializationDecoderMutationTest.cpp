// Bounded mutation of every buffer kind (fixed seed): the decoder never reads outside the bytes
// it is given (they end at a no-access page), refuses every truncation, and whatever it accepts
// it decodes consistently.
#include "DecoderSeeds.h"

#include "platform/sim/SimProtectedForm.h"
#include "tools/logonsim/SerializationDecoder.h"

#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using logonsim::DecodeSerialization;
using logonsim::DecodedSecret;
using logonsim::DecodedSerialization;
using logonsim::SecretForm;

namespace {

// Input bytes placed so that they end exactly where a no-access page begins: one byte read past
// the end is an access violation, which ends the test program.
class GuardedBytes {
public:
    static constexpr size_t kPage = 4096;
    static constexpr size_t kCapacity = 4 * kPage;

    GuardedBytes() {
        base_ = static_cast<BYTE*>(::VirtualAlloc(nullptr, kCapacity + kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (base_) ::VirtualProtect(base_ + kCapacity, kPage, PAGE_NOACCESS, &old);
    }
    ~GuardedBytes() {
        if (base_) ::VirtualFree(base_, 0, MEM_RELEASE);
    }
    bool Valid() const { return base_ != nullptr; }
    const BYTE* Place(const std::vector<BYTE>& bytes) {
        BYTE* at = base_ + kCapacity - bytes.size();
        if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
        return at;
    }

private:
    BYTE* base_ = nullptr;
};

size_t SecretChars(const DecodedSecret& s) { return s.raw.size() / 2; }

// What an accepted decode must satisfy whatever the bytes were.
void ExpectConsistent(const DecodedSerialization& d, size_t size, const DecodedSerialization& again) {
    ASSERT_TRUE(d.error.empty());
    // Every string came from inside the buffer.
    for (size_t chars : {d.domain.size(), d.user.size(), d.localUser.size(), SecretChars(d.password),
                         SecretChars(d.pin), SecretChars(d.localPassword), d.csp.card.size(), d.csp.reader.size(),
                         d.csp.container.size(), d.csp.provider.size()})
        EXPECT_LE(2 * chars, size);
    // A recovered secret is exactly what the simulation protects back to the bytes carried.
    for (const DecodedSecret* s : {&d.password, &d.pin, &d.localPassword}) {
        if (s->form != SecretForm::SimProtected) continue;
        std::wstring form(platform::sim::SimProtectedLength(s->clear.size()), L'\0');
        platform::sim::SimProtect(s->clear.data(), s->clear.size(), form.data());
        ASSERT_EQ(form.size() * 2, s->raw.size());
        for (size_t i = 0; i < form.size(); ++i)
            ASSERT_EQ(static_cast<uint16_t>(form[i]), s->raw[2 * i] | (s->raw[2 * i + 1] << 8));
    }
    if (d.hybrid) {
        EXPECT_GE(d.embeddedOffset, 48u);
        EXPECT_LE(static_cast<uint64_t>(d.embeddedOffset) + d.embeddedSize, size);
    }
    // The same bytes decode the same way.
    EXPECT_EQ(again.ok, d.ok);
    EXPECT_EQ(again.kind, d.kind);
    EXPECT_EQ(again.domain, d.domain);
    EXPECT_EQ(again.user, d.user);
    EXPECT_EQ(again.password.raw, d.password.raw);
    EXPECT_EQ(again.pin.raw, d.pin.raw);
    EXPECT_EQ(again.csp.container, d.csp.container);
}

class DecoderMutation : public testing::Test {
protected:
    DecoderMutation() : seeds(decodertest::BuildSeeds()) {}
    testsupport::FakePlatform os;
    std::vector<decodertest::Seed> seeds;
    GuardedBytes guard;
};

TEST_F(DecoderMutation, EveryTruncationThatCutsContentIsRefused) {
    ASSERT_TRUE(guard.Valid());
    ASSERT_EQ(seeds.size(), 7u);
    for (const auto& seed : seeds) {
        SCOPED_TRACE(seed.name);
        for (size_t length = 0; length < seed.bytes.size(); ++length) {
            std::vector<BYTE> prefix(seed.bytes.begin(), seed.bytes.begin() + static_cast<ptrdiff_t>(length));
            auto decoded = DecodeSerialization(seed.packageId, guard.Place(prefix), length);
            if (length < seed.contentEnd)
                ASSERT_FALSE(decoded.ok) << "prefix of " << length << " bytes accepted";
            else
                ASSERT_TRUE(decoded.ok) << "only slack was cut at " << length;
        }
    }
}

TEST_F(DecoderMutation, MutatedBuffersNeverReadOutsideAndAreRefusedOrDecodedConsistently) {
    ASSERT_TRUE(guard.Valid());
    ASSERT_FALSE(seeds.empty());
    std::mt19937 random(0x5EED1234u);
    const uint64_t interesting[] = {0, 1, 2, 0x7F, 0x80, 0xFF, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
                                    0xFFFFFFFFFFFFFFFFull, 0x8000000000000000ull};
    int accepted = 0;
    int refused = 0;
    for (int iteration = 0; iteration < 20000; ++iteration) {
        const auto& seed = seeds[random() % seeds.size()];
        std::vector<BYTE> bytes = seed.bytes;
        const int mutations = 1 + static_cast<int>(random() % 4);
        for (int m = 0; m < mutations && !bytes.empty(); ++m) {
            switch (random() % 5) {
            case 0:  // flip one bit
                bytes[random() % bytes.size()] ^= static_cast<BYTE>(1u << (random() % 8));
                break;
            case 1: {  // an interesting value over a field-sized window
                const size_t width = size_t{1} << (1 + random() % 3);
                if (bytes.size() < width) break;
                const size_t at = random() % (bytes.size() - width + 1);
                uint64_t value = interesting[random() % (sizeof(interesting) / sizeof(interesting[0]))];
                if (random() % 3 == 0) value = bytes.size() - random() % 8;
                for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<BYTE>(value >> (8 * i));
                break;
            }
            case 2:  // truncate
                bytes.resize(random() % bytes.size());
                break;
            case 3:  // grow with noise
                for (int n = static_cast<int>(random() % 16); n > 0; --n) bytes.push_back(static_cast<BYTE>(random()));
                break;
            default:  // a random byte
                bytes[random() % bytes.size()] = static_cast<BYTE>(random());
                break;
            }
        }
        ASSERT_LE(bytes.size(), GuardedBytes::kCapacity);
        const BYTE* placed = guard.Place(bytes);
        DecodedSerialization decoded = DecodeSerialization(seed.packageId, placed, bytes.size());
        if (!decoded.ok) {
            ++refused;
            ASSERT_FALSE(decoded.error.empty()) << "iteration " << iteration;
            continue;
        }
        ++accepted;
        DecodedSerialization again = DecodeSerialization(seed.packageId, placed, bytes.size());
        SCOPED_TRACE(testing::Message() << "iteration " << iteration << ", seed " << seed.name);
        ExpectConsistent(decoded, bytes.size(), again);
        if (HasFatalFailure()) return;
    }
    // Both roads were taken, so the run proved something about each.
    EXPECT_GT(accepted, 1000);
    EXPECT_GT(refused, 1000);
}

}  // namespace
