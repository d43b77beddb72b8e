// Flatten and load of a typical answer bag (about 20 string items) on one core, in the
// encoded Utf8 form and the plain form: round trips per second, target 100,000. The baseline
// of the same run is a plain copy of the flattened bytes.
#include "BenchSupport.h"

#include "lib/mfw/common/bag/CharEncConverter.h"
#include "lib/mfw/common/bag/Properties.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

CORE::PropertyBag Answer() {
    CORE::PropertyBag answer;
    for (int i = 1; i <= 20; ++i)
        answer.Set(L"property" + std::to_wstring(i), L"value-" + std::to_wstring(i) + L"-0123456789abcdefghijklmnopqrstuvwxyz");
    return answer;
}

struct Buffers {
    std::vector<BYTE> sizes = std::vector<BYTE>(4096), binary = std::vector<BYTE>(4096), strings = std::vector<BYTE>(16384);
};

bool RoundTrip(const CORE::PropertyBag& bag, int encoding, Buffers& b, CORE::PropertyBag* back) {
    CORE::ByteData s(b.sizes.data(), b.sizes.size()), bin(b.binary.data(), b.binary.size()), str(b.strings.data(), b.strings.size());
    bool ok = encoding == 0 ? CORE::Properties::flattenPlain(bag, s, bin, str) : CORE::Properties::flatten(bag, encoding, s, bin, str);
    if (!ok) return false;
    CORE::ByteData rs(b.sizes.data(), s.Consumed()), rb(b.binary.data(), bin.Consumed()), rt(b.strings.data(), str.Consumed());
    uint32_t count = static_cast<uint32_t>(s.Consumed() / 6);
    return encoding == 0 ? CORE::Properties::loadPlain(*back, rs, count, rb, rt)
                         : CORE::Properties::load(*back, encoding, rs, count, rb, rt);
}

}  // namespace

int wmain() {
    ::SetThreadAffinityMask(::GetCurrentThread(), 1);
    const CORE::PropertyBag bag = Answer();
    Buffers buffers;
    int failures = 0;
    for (int encoding : {CORE::CHAR_ENC_UTF8, CORE::CHAR_ENC_UNDEFINED}) {
        CORE::PropertyBag back;
        for (int i = 0; i < 2000; ++i) failures += RoundTrip(bag, encoding, buffers, &back) ? 0 : 1;  // warm-up
        if (!back.Equals(bag)) ++failures;
        // Seven windows of 300 ms: the median says what a shared machine gives, the best what
        // the code can do when it has the core to itself.
        std::vector<double> windows;
        for (int window = 0; window < 7; ++window) {
            long rounds = 0;
            const double start = bench::NowMicros();
            double now = start;
            while (now - start < 300000) {
                for (int i = 0; i < 500; ++i) failures += RoundTrip(bag, encoding, buffers, &back) ? 0 : 1;
                rounds += 500;
                now = bench::NowMicros();
            }
            windows.push_back(static_cast<double>(rounds) * 1e6 / (now - start));
        }
        const double perSecond = bench::Percentile(windows, 0.5);
        const double best = bench::Percentile(windows, 1.0);
        // Baseline: copying the same number of bytes there and back.
        const size_t bytes = 20 * 6 + 20 * (10 + 50);
        std::vector<BYTE> from(bytes, 1), to(bytes);
        long copies = 0;
        const double copyStart = bench::NowMicros();
        while (bench::NowMicros() - copyStart < 200000) {
            for (int i = 0; i < 10000; ++i) {
                std::memcpy(to.data(), from.data(), bytes);
                std::memcpy(from.data(), to.data(), bytes);
            }
            copies += 10000;
        }
        const double copiesPerSecond = static_cast<double>(copies) * 1e6 / (bench::NowMicros() - copyStart);
        bench::JsonLine(encoding == CORE::CHAR_ENC_UTF8 ? "bag_flatten_load_utf8" : "bag_flatten_load_plain",
                        bench::Field("items", 20, 0) + "," + bench::Field("roundtrips_per_sec", perSecond, 0) + "," +
                            bench::Field("best_window_per_sec", best, 0) + "," +
                            bench::Field("memcpy_baseline_per_sec", copiesPerSecond, 0) + "," +
                            bench::Field("target_per_sec", 100000, 0) + "," +
                            bench::Field("within_target", perSecond >= 100000) + "," +
                            bench::Field("failures", static_cast<double>(failures), 0));
    }
    return failures == 0 ? 0 : 2;
}
