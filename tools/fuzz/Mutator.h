// Deterministic mutations of a valid input for the fuzz driver and the parser tests: bit flips,
// byte overwrites with boundary values, insertions, deletions and truncations, from a fixed seed.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

class Mutator {
public:
    explicit Mutator(uint64_t seed) : state_(seed ? seed : 0x9E3779B97F4A7C15ull) {}

    // One to four mutations of `input`; element type is a byte or a wide character.
    template <typename T>
    std::vector<T> Mutate(const std::vector<T>& input) {
        static const uint32_t boundaries[] = {0, 1, 0x7F, 0x80, 0xFF, 0xFFFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
        std::vector<T> out = input;
        auto at = [&out](size_t index) { return out.begin() + static_cast<std::ptrdiff_t>(index); };
        for (size_t rounds = 1 + Below(4); rounds > 0; --rounds) {
            const size_t kind = Below(6);
            if (out.empty() && kind != 2 && kind != 3) continue;  // nothing to flip, overwrite or cut
            if (kind == 0) {  // flip one bit
                const size_t i = Below(out.size());
                out[i] = static_cast<T>(out[i] ^ (T(1) << Below(sizeof(T) * 8)));
            } else if (kind == 1) {  // boundary value
                out[Below(out.size())] = static_cast<T>(boundaries[Below(9)]);
            } else if (kind == 2) {  // truncate
                out.resize(Below(out.size() + 1));
            } else if (kind == 3) {  // insert a random element
                out.insert(at(Below(out.size() + 1)), static_cast<T>(Next()));
            } else if (kind == 4) {  // delete a run
                const size_t i = Below(out.size());
                out.erase(at(i), at(i + std::min<size_t>(1 + Below(8), out.size() - i)));
            } else {  // duplicate a run (repeats structure such as entries and tags)
                const size_t i = Below(out.size());
                const std::vector<T> run(at(i), at(i + std::min<size_t>(1 + Below(16), out.size() - i)));
                out.insert(at(Below(out.size() + 1)), run.begin(), run.end());
            }
        }
        return out;
    }

private:
    uint64_t Next() {  // xorshift64*: small, fast and the same on every platform
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1Dull;
    }
    size_t Below(size_t n) { return n ? static_cast<size_t>(Next() % n) : 0; }

    uint64_t state_;
};

}  // namespace fuzz
