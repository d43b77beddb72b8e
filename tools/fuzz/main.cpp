// tc_fuzz: runs seeded mutations of valid inputs through one parser of outside bytes, each input
// placed right before a guard page, and prints one JSON result line (Progress.h).
//   tc_fuzz.exe --target NAME --count N --seed S [--start I] [--out DIR]   (--list: the names)
// Input I is mutated from seed S and I alone, so a run resumed at I repeats the same inputs.
// Exit codes: 0 clean, 1 a wrongly accepted input or a failed final check, 2 bad use or set-up,
// kExitOverread / kExitCrash after a fault.
#include "Mutator.h"
#include "PrivateMachine.h"
#include "Progress.h"
#include "Target.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

using namespace fuzz;

const struct { const char* name; TargetFactory make; } kTargets[] = {
    {"credential", &CredentialTarget}, {"channel", &ChannelTarget}, {"message", &MessageTarget},
    {"message-text", &MessageTextTarget}, {"bag", &BagTarget}, {"bag-xml", &BagXmlTarget},
    {"payload", &PayloadTarget}, {"card", &CardTarget}, {"entra", &EntraTarget}, {"dll", &DllTarget},
};

uint64_t InputSeed(uint64_t seed, uint64_t index) {  // splitmix64 of the pair
    uint64_t z = seed + (index + 1) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::vector<BYTE> SeedBytes(Target& target, size_t index) {
    std::vector<BYTE> seed = target.seeds[index].bytes;
    if (target.renew) target.renew(index, &seed);
    return seed;
}

std::vector<BYTE> Mutated(Target& target, size_t seedIndex, uint64_t inputSeed) {
    Mutator mutator(inputSeed);
    const std::vector<BYTE> seed = SeedBytes(target, seedIndex);
    if (!target.seeds[seedIndex].wide) return mutator.Mutate(seed);
    std::vector<wchar_t> text(seed.size() / 2);
    std::memcpy(text.data(), seed.data(), text.size() * 2);
    text = mutator.Mutate(text);
    const auto* bytes = reinterpret_cast<const BYTE*>(text.data());
    return std::vector<BYTE>(bytes, bytes + text.size() * 2);
}

// Runs `bytes` as the current input of `progress`; false when it did not fit a slot.
bool RunOne(const Target& target, GuardedBuffer& buffer, Progress& progress, const std::vector<BYTE>& bytes,
            size_t seedIndex, Verdict* verdict) {
    const BYTE* placed = buffer.Place(0, bytes.data(), bytes.size());
    if (!placed) return false;
    progress.input = placed, progress.size = bytes.size();
    *verdict = target.run(Input{placed, bytes.size(), seedIndex, buffer});
    return true;
}

int Run(Target& target, uint64_t start, uint64_t count, uint64_t seed, const std::wstring& outDir) {
    GuardedBuffer buffer(5);
    static Progress progress;
    progress.target = target.name, progress.outDir = outDir, progress.start = start;
    progress.startTick = ::GetTickCount64();
    InstallFaultTrap(&progress, &buffer);
    // The seeds as they stand prove the set-up: the target accepts each of them.
    for (size_t s = 0; s < target.seeds.size(); ++s) {
        Verdict verdict = Verdict::Refused;
        progress.index = s;
        if (!RunOne(target, buffer, progress, SeedBytes(target, s), s, &verdict) || verdict != Verdict::Accepted) {
            std::fprintf(stderr, "%s: seed %zu is not accepted as it stands\n", target.name.c_str(), s);
            return 2;
        }
    }
    progress.startTick = ::GetTickCount64();
    for (uint64_t i = start; i < start + count; ++i) {
        progress.index = i;
        const size_t seedIndex = static_cast<size_t>(i % target.seeds.size());
        Verdict verdict = Verdict::Refused;
        if (!RunOne(target, buffer, progress, Mutated(target, seedIndex, InputSeed(seed, i)), seedIndex, &verdict)) continue;
        ++progress.inputs;
        if (verdict != Verdict::Refused) ++progress.accepted;
        if (verdict == Verdict::WronglyAccepted && ++progress.wronglyAccepted <= 10) {
            std::fprintf(stderr, "%s: input %llu wrongly accepted, written to %ls\n", target.name.c_str(),
                         static_cast<unsigned long long>(i), WriteInput(progress, "accepted").c_str());
        }
    }
    progress.input = nullptr, progress.size = 0;
    const std::string failure = target.finish ? target.finish() : std::string();
    if (!failure.empty()) std::fprintf(stderr, "%s: %s\n", target.name.c_str(), failure.c_str());
    std::printf("%s\n", ResultLine(progress).c_str());
    std::fflush(stdout);
    return progress.wronglyAccepted || !failure.empty() ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::string name;
    uint64_t count = 10000, seed = 1, start = 0;
    wchar_t here[MAX_PATH] = L".";
    ::GetCurrentDirectoryW(MAX_PATH, here);
    std::wstring outDir = here;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == L"--list") {
            for (const auto& t : kTargets) std::printf("%s\n", t.name);
            return 0;
        }
        if (!value) return std::fprintf(stderr, "missing value after %ls\n", arg.c_str()), 2;
        ++i;
        if (arg == L"--target") {
            for (const wchar_t* c = value; *c; ++c) name.push_back(static_cast<char>(*c));
        } else if (arg == L"--count") {
            count = std::wcstoull(value, nullptr, 10);
        } else if (arg == L"--seed") {
            seed = std::wcstoull(value, nullptr, 0);
        } else if (arg == L"--start") {
            start = std::wcstoull(value, nullptr, 10);
        } else if (arg == L"--out") {
            outDir = value;
        } else {
            return std::fprintf(stderr, "unknown option %ls\n", arg.c_str()), 2;
        }
    }
    ::CreateDirectoryW(outDir.c_str(), nullptr);
    for (const auto& t : kTargets) {
        if (name != t.name) continue;
        static PrivateMachine machine;
        if (!machine.ok()) return std::fprintf(stderr, "no private HKLM\n"), 2;
        // No log files: a million inputs would only rotate them, and the writer's disk work would
        // set the pace. Log records are still formatted and reach an observer where one listens.
        for (const wchar_t* setting : {L"logEnabled", L"debugEnabled", L"traceEnabled", L"eventEnabled"})
            machine.SetString(L"Software\\Velmora\\Zephral", setting, L"false");
        std::unique_ptr<Target> target = t.make(machine);
        if (!target || target->seeds.empty()) return std::fprintf(stderr, "%s: set-up failed\n", t.name), 2;
        return Run(*target, start, count, seed, outDir);
    }
    std::fprintf(stderr, "unknown target '%s' (--list names them)\n", name.c_str());
    return 2;
}
