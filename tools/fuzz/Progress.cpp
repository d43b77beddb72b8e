#include "Progress.h"

#include "platform/UniqueResource.h"

#include <cstdio>
#include <exception>

namespace fuzz {
namespace {

Progress* g_progress = nullptr;
const GuardedBuffer* g_buffer = nullptr;

void Print(const std::string& line) {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

[[noreturn]] void Report(const char* fault, int exitCode, const EXCEPTION_RECORD* record = nullptr) {
    Progress& p = *g_progress;
    ++p.inputs;  // the input that faulted was run
    (exitCode == kExitOverread ? p.overreads : p.crashes)++;
    const std::wstring file = WriteInput(p, fault);
    Print(ResultLine(p, fault) + "\n");
    // Where it happened, as module and offset, for addr2line on the module's debug file.
    HMODULE module = nullptr;
    wchar_t moduleName[MAX_PATH] = L"?";
    const void* address = record ? record->ExceptionAddress : nullptr;
    if (address && ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                        static_cast<LPCWSTR>(address), &module))
        ::GetModuleFileNameW(module, moduleName, MAX_PATH);
    std::fprintf(stderr, "%s: %s at input %llu (exception 0x%08lx at %ls+0x%llx, thread %lu), written to %ls\n",
                 p.target.c_str(), fault, static_cast<unsigned long long>(p.index), record ? record->ExceptionCode : 0ul,
                 moduleName, static_cast<unsigned long long>(static_cast<const BYTE*>(address) - reinterpret_cast<BYTE*>(module)),
                 ::GetCurrentThreadId(), file.c_str());
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(exitCode));
    for (;;) ::Sleep(INFINITE);
}

// First chance: an access to a guard page is an over-read even where the code would catch it.
LONG WINAPI OnFirstChance(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2 &&
        g_buffer->IsGuard(record->ExceptionInformation[1]))
        Report("overread", kExitOverread, record);
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI OnUnhandled(EXCEPTION_POINTERS* pointers) { Report("crash", kExitCrash, pointers->ExceptionRecord); }

}  // namespace

std::string ResultLine(const Progress& p, const char* fault) {
    char line[512];
    const double seconds = static_cast<double>(::GetTickCount64() - p.startTick) / 1000.0;
    std::snprintf(line, sizeof(line),
                  "{\"target\":\"%s\",\"inputs\":%llu,\"crashes\":%llu,\"overreads\":%llu,\"wrongly_accepted\":%llu,"
                  "\"accepted\":%llu,\"seconds\":%.1f,\"start\":%llu,\"next\":%llu",
                  p.target.c_str(), static_cast<unsigned long long>(p.inputs), static_cast<unsigned long long>(p.crashes),
                  static_cast<unsigned long long>(p.overreads), static_cast<unsigned long long>(p.wronglyAccepted),
                  static_cast<unsigned long long>(p.accepted), seconds, static_cast<unsigned long long>(p.start),
                  static_cast<unsigned long long>(p.start + p.inputs));
    std::string out = line;
    if (fault) out += std::string(",\"fault\":\"") + fault + "\",\"fault_index\":" + std::to_string(p.index);
    return out + "}";
}

std::wstring WriteInput(const Progress& p, const char* kind) {
    wchar_t name[MAX_PATH];
    std::swprintf(name, MAX_PATH, L"%ls\\%hs-%hs-%llu.hex", p.outDir.c_str(), p.target.c_str(), kind,
                  static_cast<unsigned long long>(p.index));
    platform::unique_hfile file(::CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return L"";
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < p.size; ++i) hex += {kDigits[p.input[i] >> 4], kDigits[p.input[i] & 15]};
    hex += '\n';
    DWORD written = 0;
    ::WriteFile(file.get(), hex.data(), static_cast<DWORD>(hex.size()), &written, nullptr);
    return name;
}

void InstallFaultTrap(Progress* progress, const GuardedBuffer* buffer) {
    g_progress = progress;
    g_buffer = buffer;
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    ::AddVectoredExceptionHandler(1, &OnFirstChance);
    ::SetUnhandledExceptionFilter(&OnUnhandled);
    std::set_terminate([] { Report("crash", kExitCrash); });
}

}  // namespace fuzz
