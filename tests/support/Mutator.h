// Deterministic mutations of a valid input for the parser robustness tests: bit flips, byte
// overwrites with boundary values, insertions, deletions and truncations, from a fixed seed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

class Mutator {
public:
    explicit Mutator(uint64_t seed) : state_(seed ? seed : 0x9E3779B97F4A7C15ull) {}

    uint64_t Next() {
        // xorshift64*: small, fast and the same on every platform.
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1Dull;
    }
    size_t Below(size_t n) { return n ? static_cast<size_t>(Next() % n) : 0; }

    // One to four mutations of `input`; element type is a byte or a wide character.
    template <typename T>
    std::vector<T> Mutate(const std::vector<T>& input) {
        std::vector<T> out = input;
        size_t rounds = 1 + Below(4);
        for (size_t r = 0; r < rounds; ++r) {
            switch (Below(6)) {
            case 0:  // flip one bit
                if (!out.empty()) {
                    size_t at = Below(out.size());
                    out[at] = static_cast<T>(out[at] ^ (T(1) << Below(sizeof(T) * 8)));
                }
                break;
            case 1: {  // boundary value
                static const uint32_t values[] = {0, 1, 0x7F, 0x80, 0xFF, 0xFFFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
                if (!out.empty()) out[Below(out.size())] = static_cast<T>(values[Below(9)]);
                break;
            }
            case 2:  // truncate
                out.resize(Below(out.size() + 1));
                break;
            case 3:  // insert a random element
                out.insert(out.begin() + static_cast<std::ptrdiff_t>(Below(out.size() + 1)), static_cast<T>(Next()));
                break;
            case 4:  // delete a run
                if (!out.empty()) {
                    size_t at = Below(out.size());
                    size_t n = 1 + Below(8);
                    out.erase(out.begin() + static_cast<std::ptrdiff_t>(at),
                              out.begin() + static_cast<std::ptrdiff_t>(at + (n < out.size() - at ? n : out.size() - at)));
                }
                break;
            case 5:  // duplicate a run (repeats structure such as entries and tags)
                if (!out.empty()) {
                    size_t at = Below(out.size());
                    size_t n = 1 + Below(16);
                    if (n > out.size() - at) n = out.size() - at;
                    std::vector<T> run(out.begin() + static_cast<std::ptrdiff_t>(at),
                                       out.begin() + static_cast<std::ptrdiff_t>(at + n));
                    out.insert(out.begin() + static_cast<std::ptrdiff_t>(Below(out.size() + 1)), run.begin(), run.end());
                }
                break;
            }
        }
        return out;
    }

private:
    uint64_t state_;
};

}  // namespace testsupport
