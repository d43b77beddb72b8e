#include "ProcessResources.h"

#include "platform/UniqueResource.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <vector>

namespace logonsim {
namespace {

// SystemExtendedHandleInformation's layout: process ids are pointer-sized there.
constexpr ULONG kSystemExtendedHandleInformation = 64;
struct HandleEntry {
    void* object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};
struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

using QuerySystemFn = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

DWORD CountHandles() {
    auto query = reinterpret_cast<QuerySystemFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return 0;
    std::vector<BYTE> buffer(1 << 20);
    for (int attempt = 0; attempt < 8; ++attempt) {
        ULONG needed = 0;
        const NTSTATUS status = query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH: the table grew
            buffer.resize(needed > buffer.size() ? needed + 65536 : buffer.size() * 2);
            continue;
        }
        if (status < 0) return 0;
        const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
        DWORD mine = 0;
        for (ULONG_PTR i = 0; i < table->count; ++i)
            mine += table->entries[i].processId == ::GetCurrentProcessId() ? 1 : 0;
        return mine;
    }
    return 0;
}

ULONGLONG CommittedPrivateKb() {
    ULONGLONG bytes = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const BYTE* address = nullptr; ::VirtualQuery(address, &region, sizeof(region)) == sizeof(region);
         address = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) bytes += region.RegionSize;
    }
    return bytes / 1024;
}

DWORD CountThreads() {
    platform::unique_hfile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    DWORD mine = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry))
        mine += entry.th32OwnerProcessID == ::GetCurrentProcessId() ? 1 : 0;
    return mine;
}

}  // namespace

ResourceCounts CountResources() {
    ResourceCounts counts;
    counts.handles = CountHandles();
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory)))
        counts.privateKb = memory.PrivateUsage / 1024;
    if (counts.privateKb == 0) counts.privateKb = CommittedPrivateKb();
    counts.threads = CountThreads();
    return counts;
}

}  // namespace logonsim
