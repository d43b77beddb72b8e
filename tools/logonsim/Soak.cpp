#include "Soak.h"

#include "ProcessResources.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace logonsim {
namespace {

// Nearest rank: the smallest value with at least `fraction` of the samples at or below it.
double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(fraction * static_cast<double>(values.size()) + 0.999999);
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

void PrintCounts(const ResourceCounts& counts) {
    std::printf(" handles=%lu private_kb=%llu threads=%lu\n", static_cast<unsigned long>(counts.handles),
                counts.privateKb, static_cast<unsigned long>(counts.threads));
    std::fflush(stdout);
}

}  // namespace

int RunSoak(const Options& options, int count, int window, const std::function<void(const Outcome&)>& onFailure) {
    LoadedDll dll(options.dllPath);
    std::printf("BASELINE");
    PrintCounts(CountResources());
    int failures = 0, windowFailures = 0, index = 0;
    std::vector<double> remote, logon;
    for (int i = 1; i <= count; ++i) {
        const Outcome outcome = dll.Logon(options);
        if (!outcome.ok) {
            ++failures, ++windowFailures;
            onFailure(outcome);
        }
        remote.push_back(outcome.remoteMicros / 1000);
        logon.push_back(outcome.logonMicros / 1000);
        if (i % window != 0 && i != count) continue;
        std::printf("WINDOW index=%d logons=%zu failures=%d remote_p50_ms=%.2f remote_p99_ms=%.2f logon_p50_ms=%.2f "
                    "logon_p99_ms=%.2f",
                    ++index, remote.size(), windowFailures, Percentile(remote, 0.5), Percentile(remote, 0.99),
                    Percentile(logon, 0.5), Percentile(logon, 0.99));
        PrintCounts(CountResources());
        remote.clear(), logon.clear(), windowFailures = 0;
    }
    return failures;
}

}  // namespace logonsim
