// Logging costs and limits, each figure next to a baseline from the same run:
//  - a call at a disabled level against a call of an empty function;
//  - an enabled LogMessage on the calling thread (median, formatting included, writer running)
//    against formatting the same text alone;
//  - the writer's throughput against a plain WriteFile loop writing the same lines;
//  - a flood of 1,000,000 records from 2 threads against a stalled writer: queue length,
//    memory growth and drop reports.
// The process runs against a private HKLM (like the tests) and a temporary log directory.
#include "lib/mfw/common/log/LogLine.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/UniqueResource.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace CORE;

namespace {

const wchar_t kGuardName[] = L"Velmora Zephral Framework Log Guard";

double Seconds(LARGE_INTEGER start, LARGE_INTEGER end) {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return t;
}

void Report(const char* figure, double value, const char* unit, double baseline, const char* baselineName,
            const char* limitText, bool pass) {
    std::printf("{\"bench\":\"log\",\"figure\":\"%s\",\"value\":%.3f,\"unit\":\"%s\",\"baseline\":%.3f,"
                "\"baseline_is\":\"%s\",\"limit\":\"%s\",\"pass\":%s}\n",
                figure, value, unit, baseline, baselineName, limitText, pass ? "true" : "false");
    std::fflush(stdout);
}

// A private HKLM under HKCU for this process, removed at the end.
class PrivateMachineKey {
public:
    PrivateMachineKey() {
        path_ = L"Software\\TcfiltrBench\\" + std::to_wstring(::GetCurrentProcessId());
        ::RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                          &key_, nullptr);
        ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, key_);
    }
    ~PrivateMachineKey() {
        ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        ::RegCloseKey(key_);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }
    void Set(const wchar_t* subkey, const wchar_t* name, const std::wstring& value) {
        ::RegSetKeyValueW(key_, subkey, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * 2));
    }

private:
    std::wstring path_;
    HKEY key_ = nullptr;
};

void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW data{};
    HANDLE find = ::FindFirstFileW((dir + L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(dir + name + L"\\");
            else
                ::DeleteFileW((dir + name).c_str());
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(dir.c_str());
}

class DropCounter : public ILogObserver {
public:
    void OnLogRecord(int, const std::wstring& text) override {
        if (text.compare(0, 22, L"Log message threshold ") == 0) ++reports;
    }
    std::atomic<int> reports{0};
};

__attribute__((noinline)) void EmptyCall(int, const wchar_t*, int) noexcept { __asm__ __volatile__(""); }

size_t PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof(counters));
    return counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
}

void DisabledLevel() {
    constexpr int kCalls = 5000000;
    LARGE_INTEGER start = Now();
    for (int i = 0; i < kCalls; ++i) LogMessage(LOG_TRACE, L"disabled %d", i);
    double logged = Seconds(start, Now()) * 1e9 / kCalls;
    void (*volatile call)(int, const wchar_t*, int) noexcept = &EmptyCall;
    start = Now();
    for (int i = 0; i < kCalls; ++i) call(LOG_TRACE, L"disabled %d", i);
    double empty = Seconds(start, Now()) * 1e9 / kCalls;
    Report("disabled_level_call", logged, "ns", empty, "empty function call", "< 50 ns", logged < 50.0);
}

void EnabledCall() {
    // Timed in groups of eight calls: the performance counter of the test system ticks
    // every 100 ns, too coarse for one call.
    constexpr int kGroup = 8;
    constexpr int kGroups = 20000;
    std::vector<double> logged, formatted;
    logged.reserve(kGroups);
    formatted.reserve(kGroups);
    const wchar_t* name = L"credprovider::GetSerialization";
    for (int g = 0; g < kGroups; ++g) {
        LARGE_INTEGER a = Now();
        for (int i = 0; i < kGroup; ++i)
            LogMessage(LOG_INFO, L"%s(): step %d of %S, hr=0x%08X", name, g * kGroup + i, "serialization", 0x80070057u);
        LARGE_INTEGER b = Now();
        logged.push_back(Seconds(a, b) * 1e9 / kGroup);
        if ((g & 127) == 127) ::Sleep(1);  // a caller's pace, so the writer keeps up
    }
    FlushLog();
    wchar_t buffer[512];
    for (int g = 0; g < kGroups; ++g) {
        LARGE_INTEGER a = Now();
        for (int i = 0; i < kGroup; ++i)
            _snwprintf(buffer, 511, L"%s(): step %d of %S, hr=0x%08X", name, g * kGroup + i, "serialization",
                       0x80070057u);
        LARGE_INTEGER b = Now();
        formatted.push_back(Seconds(a, b) * 1e9 / kGroup);
    }
    std::nth_element(logged.begin(), logged.begin() + kGroups / 2, logged.end());
    std::nth_element(formatted.begin(), formatted.begin() + kGroups / 2, formatted.end());
    double median = logged[kGroups / 2];
    Report("enabled_call_median", median, "ns", formatted[kGroups / 2], "formatting alone (median)", "< 2000 ns",
           median < 2000.0);
}

// The filter's flush at the exit of UpdateRemoteCredential: a logon's burst of lines, then the
// wait until they are written. Baseline: writing the same lines with WriteFile on this thread.
void FlushAfterBurst(const std::wstring& dir) {
    constexpr int kBursts = 300, kLines = 20;
    std::vector<double> flush, direct;
    platform::unique_handle file(::CreateFileW((dir + L"direct.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
    wchar_t line[160];
    for (int b = 0; b < kBursts; ++b) {
        for (int i = 0; i < kLines; ++i) LogMessage(LOG_INFO, L"credfilter::UpdateRemoteCredential(): step %d of %d", i, b);
        LARGE_INTEGER a = Now();
        FlushLog();
        flush.push_back(Seconds(a, Now()) * 1e6);
        a = Now();
        for (int i = 0; i < kLines; ++i) {
            const int n = _snwprintf(line, 159, L"credfilter::UpdateRemoteCredential(): step %d of %d\r\n", i, b);
            DWORD written = 0;
            ::WriteFile(file.get(), line, static_cast<DWORD>(n * sizeof(wchar_t)), &written, nullptr);
        }
        direct.push_back(Seconds(a, Now()) * 1e6);
        ::Sleep(1);
    }
    std::sort(flush.begin(), flush.end());
    std::sort(direct.begin(), direct.end());
    Report("flush_after_20_lines_median", flush[kBursts / 2], "us", direct[kBursts / 2], "20 WriteFile calls on this thread (median)",
           "waits for the writer, no poll", true);
}

void WriterThroughput(const std::wstring& dir) {
    constexpr int kRecords = 200000;
    const std::wstring filler(60, L'x');
    FlushLog();
    // Stall the writer, queue everything, then time the drain alone.
    HANDLE guard = ::CreateMutexW(nullptr, FALSE, kGuardName);
    ::WaitForSingleObject(guard, INFINITE);
    for (int i = 0; i < kRecords; ++i) LogMessage(LOG_INFO, L"throughput %07d %s", i, filler.c_str());
    LARGE_INTEGER start = Now();
    ::ReleaseMutex(guard);
    FlushLog();
    double writerRate = kRecords / Seconds(start, Now());
    ::CloseHandle(guard);

    // The same lines written one WriteFile each.
    std::vector<std::wstring> lines;
    lines.reserve(kRecords);
    const std::wstring pidText = logline::ProcessIdText(::GetCurrentProcessId());
    FILETIME ft{};
    ::GetSystemTimeAsFileTime(&ft);
    for (int i = 0; i < kRecords; ++i) {
        wchar_t text[128];
        _snwprintf(text, 127, L"throughput %07d %s", i, filler.c_str());
        text[127] = L'\0';
        logline::LineFields fields;
        fields.utcFileTime = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
        fields.level = LOG_INFO;
        fields.processId = ::GetCurrentProcessId();
        fields.processIdText = pidText;
        fields.threadId = ::GetCurrentThreadId();
        fields.program = L"log_bench";
        fields.text = text;
        std::wstring line;
        logline::AppendLine(line, fields, 0, false);
        lines.push_back(std::move(line));
    }
    HANDLE file = ::CreateFileW((dir + L"baseline.txt").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    start = Now();
    for (const auto& line : lines) {
        DWORD written = 0;
        ::WriteFile(file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    }
    double plainRate = kRecords / Seconds(start, Now());
    ::CloseHandle(file);
    Report("writer_throughput", writerRate, "lines/s", plainRate, "WriteFile per line", ">= 0.5 x baseline",
           writerRate >= 0.5 * plainRate);
}

void Flood(const std::wstring& dir) {
    constexpr int kRecords = 1000000;
    constexpr size_t kThreshold = 150000;
    DropCounter drops;
    ILogObserver* previous = SetLogObserver(&drops);
    FlushLog();
    size_t before = PrivateBytes();
    HANDLE guard = ::CreateMutexW(nullptr, FALSE, kGuardName);
    ::WaitForSingleObject(guard, INFINITE);  // the writer is stuck: the worst case for memory
    LARGE_INTEGER start = Now();
    auto producer = [](int id) {
        for (int i = 0; i < kRecords / 2; ++i) LogMessage(LOG_INFO, L"flood %d record %07d", id, i);
    };
    std::thread a(producer, 1), b(producer, 2);
    a.join();
    b.join();
    double seconds = Seconds(start, Now());
    size_t during = PrivateBytes();
    ::ReleaseMutex(guard);
    ::CloseHandle(guard);
    FlushLog();
    SetLogObserver(previous);

    size_t highWater = LogQueueHighWater();
    size_t dropped = LogDroppedRecords();
    // What one queued record costs, from the growth over the queue's length.
    double perRecord = highWater ? static_cast<double>(during > before ? during - before : 0) / highWater : 0;
    Report("flood_queue_high_water", static_cast<double>(highWater), "records", static_cast<double>(kThreshold),
           "msgQueueSizeThreshold", "<= threshold + 1", highWater <= kThreshold + 1);
    Report("flood_memory_growth", static_cast<double>(during - std::min(during, before)) / (1 << 20), "MiB",
           perRecord, "bytes per queued record", "bounded by the threshold", highWater <= kThreshold + 1);
    Report("flood_dropped_records", static_cast<double>(dropped), "records", kRecords, "records sent",
           "drops past the threshold", dropped > 0);
    Report("flood_drop_reports", drops.reports.load(), "reports", 1, "expected", "exactly 1",
           drops.reports.load() == 1);
    Report("flood_producer_rate", kRecords / seconds, "records/s", 0, "none", "-", true);
    (void)dir;
}

}  // namespace

int main() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring dir = std::wstring(temp) + L"tcbench-" + std::to_wstring(::GetCurrentProcessId()) + L"\\";
    ::CreateDirectoryW(dir.c_str(), nullptr);
    {
        PrivateMachineKey machine;
        machine.Set(L"Software\\Velmora\\Zephral\\Log", L"LogFileDirectory", dir);
        // Every INFO line goes to one file, as in the baseline loop.
        machine.Set(L"Software\\Velmora\\Zephral", L"debugEnabled", L"false");
        machine.Set(L"Software\\Velmora\\Zephral\\Log", L"MaxDaysKept", L"0");
        LogMessage(LOG_INFO, L"benchmark start");
        FlushLog();

        DisabledLevel();
        EnabledCall();
        Flood(dir);  // with the default threshold, before anything else queues much
        FlushAfterBurst(dir);

        // Room for every record of the throughput run while the writer is held.
        machine.Set(L"Software\\Velmora\\Zephral", L"msgQueueSizeThreshold", L"1000000");
        RefreshLogSettings();
        WriterThroughput(dir);
    }
    RemoveTree(dir);
    return 0;
}
