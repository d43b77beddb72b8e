// Where a fuzz run stands, its result line, and the fault trap that reports it when an input
// makes the process fault: a read or write in a guard page is an over-read, any other fault a
// crash. The trap writes the input to a file, prints the result line and ends the process with
// kExitOverread or kExitCrash; the caller resumes at the next index.
#pragma once
#include "GuardedBuffer.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace fuzz {

inline constexpr int kExitOverread = 3;
inline constexpr int kExitCrash = 4;

struct Progress {
    std::string target;
    std::wstring outDir;  // where offending inputs are written
    uint64_t start = 0, index = 0;  // first index of this run, index of the input being run
    uint64_t inputs = 0, crashes = 0, overreads = 0, wronglyAccepted = 0, accepted = 0;
    ULONGLONG startTick = 0;
    const BYTE* input = nullptr;  // the input being run, and its size in bytes
    size_t size = 0;
};

// {"target":..,"inputs":..,"crashes":..,"overreads":..,"wrongly_accepted":..,"accepted":..,
//  "seconds":..,"start":..,"next":..} and, after a fault, "fault" and "fault_index".
std::string ResultLine(const Progress& progress, const char* fault = nullptr);
// Writes the input as hex to <outDir>\<target>-<kind>-<index>.hex; the file name, or empty.
std::wstring WriteInput(const Progress& progress, const char* kind);
// Installs the trap for `progress` (which must outlive the run).
void InstallFaultTrap(Progress* progress, const GuardedBuffer* buffer);

}  // namespace fuzz
