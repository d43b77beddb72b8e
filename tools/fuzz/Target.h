// One parser of outside bytes as the fuzz driver drives it: the valid inputs it mutates, and a
// run that feeds one mutated input to the parser and judges what the parser made of it.
#pragma once
#include "GuardedBuffer.h"
#include "PrivateMachine.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fuzz {

enum class Verdict {
    Refused,
    Accepted,
    WronglyAccepted,  // accepted, but what came out breaks the target's rule
};

struct Input {
    const BYTE* data;  // ends right before slot 0's guard page
    size_t size;       // bytes (a text target's characters are two bytes each)
    size_t seed;       // index into Target::seeds of what was mutated
    GuardedBuffer& buffer;  // slots 1 to 4 are free for what the target derives from the input
};

struct Seed {
    std::vector<BYTE> bytes;
    bool wide = false;  // UTF-16 text, mutated a character at a time
};

struct Target {
    std::string name;
    std::vector<Seed> seeds;  // each one must be accepted as it stands; input I mutates seed I % size
    std::function<Verdict(const Input&)> run;
    // Optional: makes seed `index` afresh before it is mutated, for seeds bound to state made
    // per input (the keys of a new security context).
    std::function<void(size_t index, std::vector<BYTE>* seed)> renew;
    // After the last input: empty, or what went wrong over the whole run (a leak).
    std::function<std::string()> finish;
};

// Each factory sets its target up in the run's private HKLM.
using TargetFactory = std::unique_ptr<Target> (*)(PrivateMachine& machine);

// The targets, each in a file of its own; null when the set-up failed (reason on stderr).
std::unique_ptr<Target> CredentialTarget(PrivateMachine& machine);
std::unique_ptr<Target> ChannelTarget(PrivateMachine& machine);
std::unique_ptr<Target> MessageTarget(PrivateMachine& machine);
std::unique_ptr<Target> MessageTextTarget(PrivateMachine& machine);
std::unique_ptr<Target> BagTarget(PrivateMachine& machine);
std::unique_ptr<Target> BagXmlTarget(PrivateMachine& machine);
std::unique_ptr<Target> PayloadTarget(PrivateMachine& machine);
std::unique_ptr<Target> CardTarget(PrivateMachine& machine);
std::unique_ptr<Target> EntraTarget(PrivateMachine& machine);
std::unique_ptr<Target> DllTarget(PrivateMachine& machine);

// A text seed, and the text of an input made from one.
inline Seed TextSeed(std::wstring_view text) {
    const auto* p = reinterpret_cast<const BYTE*>(text.data());
    return Seed{std::vector<BYTE>(p, p + text.size() * sizeof(wchar_t)), true};
}
inline std::wstring_view WideView(const Input& input) {
    return {reinterpret_cast<const wchar_t*>(input.data), input.size / sizeof(wchar_t)};
}

}  // namespace fuzz
