// Small helpers of the benchmarks: timing, percentiles and one JSON line per figure.
#pragma once
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

inline double NowMicros() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

// The value below which `fraction` of the samples lie.
inline double Percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    size_t index = static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(index, samples.size() - 1)];
}

// {"bench":"<name>", <fields>}
inline void JsonLine(const char* name, const std::string& fields) {
    std::printf("{\"bench\":\"%s\",%s}\n", name, fields.c_str());
    std::fflush(stdout);
}

inline std::string Field(const char* key, double value, int decimals = 1) {
    char buffer[96];
    std::snprintf(buffer, sizeof(buffer), "\"%s\":%.*f", key, decimals, value);
    return buffer;
}
inline std::string Field(const char* key, bool value) { return std::string("\"") + key + "\":" + (value ? "true" : "false"); }

}  // namespace bench
