#include "lib/mfw/common/channel/SharedMemTransport.h"

#include "lib/mfw/common/util/ErrorText.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <cstring>

namespace CORE {
namespace {

constexpr size_t kOffMagic = 0, kOffVersion = 4, kOffRing = 8, kOffServerPid = 12, kOffClientPid = 16, kOffClosed = 20;
constexpr size_t kOffWrite[2] = {64, 192};
constexpr size_t kOffRead[2] = {128, 256};
constexpr size_t kOffWriterWaiting[2] = {320, 384};

LONG64 Load(volatile LONG64* p) { return ::InterlockedCompareExchange64(p, 0, 0); }
void Store(volatile LONG64* p, LONG64 v) { ::InterlockedExchange64(p, v); }

}  // namespace

SharedMemTransport::~SharedMemTransport() {
    Close();
}

volatile LONG64* SharedMemTransport::Counter(size_t offset) const {
    return reinterpret_cast<volatile LONG64*>(static_cast<BYTE*>(view_.get()) + offset);
}
uint32_t* SharedMemTransport::Field(size_t offset) const {
    return reinterpret_cast<uint32_t*>(static_cast<BYTE*>(view_.get()) + offset);
}
BYTE* SharedMemTransport::RingData(int ring) const {
    return static_cast<BYTE*>(view_.get()) + kHeaderBytes + static_cast<size_t>(ring) * ringBytes_;
}

bool SharedMemTransport::OpenEvents(const std::wstring& prefix, bool create) {
    const wchar_t* data[2] = {L".C2S", L".S2C"};
    const wchar_t* space[2] = {L".C2SSpace", L".S2CSpace"};
    for (int ring = 0; ring < 2; ++ring) {
        std::wstring dataName = prefix + data[ring], spaceName = prefix + space[ring];
        if (create) {
            dataEvent_[ring].reset(::CreateEventW(nullptr, FALSE, FALSE, dataName.c_str()));
            if (dataEvent_[ring] && ::GetLastError() == ERROR_ALREADY_EXISTS) return false;
            spaceEvent_[ring].reset(::CreateEventW(nullptr, FALSE, FALSE, spaceName.c_str()));
            if (spaceEvent_[ring] && ::GetLastError() == ERROR_ALREADY_EXISTS) return false;
        } else {
            dataEvent_[ring].reset(::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, dataName.c_str()));
            spaceEvent_[ring].reset(::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, spaceName.c_str()));
        }
        if (!dataEvent_[ring] || !spaceEvent_[ring]) return false;
    }
    return true;
}

bool SharedMemTransport::Create(const std::wstring& prefix, DWORD clientPid, uint32_t ringBytes) {
    server_ = true;
    if (ringBytes < 4096 || (ringBytes & (ringBytes - 1)) != 0) return false;
    ringBytes_ = ringBytes;
    const uint64_t total = uint64_t(kHeaderBytes) + 2ull * ringBytes;
    section_.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(total),
                                        (prefix + L".Map").c_str()));
    if (!section_) return false;
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::SetLastError(ERROR_ALREADY_EXISTS);
        return false;
    }
    view_.reset(::MapViewOfFile(section_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view_ || !OpenEvents(prefix, true)) return false;
    *Field(kOffVersion) = kVersion;
    *Field(kOffRing) = ringBytes;
    *Field(kOffServerPid) = ::GetCurrentProcessId();
    *Field(kOffClientPid) = clientPid;
    ::InterlockedExchange(reinterpret_cast<volatile LONG*>(Field(kOffMagic)), static_cast<LONG>(kMagic));
    peerPid_ = clientPid;
    peerProcess_.reset(::OpenProcess(SYNCHRONIZE, FALSE, clientPid));
    return true;
}

bool SharedMemTransport::Open(const std::wstring& prefix, DWORD serverPid) {
    server_ = false;
    section_.reset(::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, (prefix + L".Map").c_str()));
    if (!section_) return false;
    // Map the whole section; the ring size in its header is the server's word and must fit
    // what was mapped before anything relies on it.
    view_.reset(::MapViewOfFile(section_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view_) return false;
    MEMORY_BASIC_INFORMATION info{};
    const SIZE_T mapped = ::VirtualQuery(view_.get(), &info, sizeof(info)) ? info.RegionSize : 0;
    const uint32_t magic = *Field(kOffMagic), version = *Field(kOffVersion), ring = *Field(kOffRing);
    if (magic != kMagic || version != kVersion || ring < 4096 || ring > (64u << 20) || (ring & (ring - 1)) != 0 ||
        mapped < kHeaderBytes + 2 * static_cast<SIZE_T>(ring)) {
        ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    ringBytes_ = ring;
    if (!OpenEvents(prefix, false)) return false;
    peerPid_ = serverPid;
    peerProcess_.reset(::OpenProcess(SYNCHRONIZE, FALSE, serverPid));
    if (!peerProcess_) return false;
    *Field(kOffClientPid) = ::GetCurrentProcessId();
    return true;
}

bool SharedMemTransport::PeerClosed() const noexcept {
    if (!view_) return true;
    LONG bits = ::InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(Field(kOffClosed)), 0, 0);
    return (bits & (server_ ? 1 : 2)) != 0;
}

bool SharedMemTransport::Corrupt(const wchar_t* what) noexcept {
    if (::InterlockedExchange(&corrupt_, 1) == 0)
        LogMessage(LOG_ERROR, L"CORE::SharedMemTransport: shared memory ring corrupt (%s), closing", what);
    Close();
    return false;
}

void SharedMemTransport::Close(bool peerWoken) noexcept {
    if (::InterlockedExchange(&closed_, 1) != 0 || !view_) return;
    ::InterlockedOr(reinterpret_cast<volatile LONG*>(Field(kOffClosed)), server_ ? 2 : 1);
    // Wake the peer wherever it may wait: for data on the ring we write, for room on the ring
    // it writes. Our own waits end through their interrupt event.
    const int ours = server_ ? 1 : 0;
    if (dataEvent_[ours] && !peerWoken) ::SetEvent(dataEvent_[ours].get());
    if (spaceEvent_[1 - ours]) ::SetEvent(spaceEvent_[1 - ours].get());
}

SharedMemTransport::Status SharedMemTransport::Send(const BYTE* data, size_t length, DWORD timeoutMs, HANDLE interrupt) {
    if (!view_ || closed_ || corrupt_) return CLOSED;
    if (length == 0 || length > MaxRecordBytes()) return CLOSED;
    const int ring = server_ ? 1 : 0;
    volatile LONG64* writeCounter = Counter(kOffWrite[ring]);
    volatile LONG64* readCounter = Counter(kOffRead[ring]);
    const uint64_t need = 4 + length;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (PeerClosed()) return CLOSED;
        const uint64_t written = static_cast<uint64_t>(Load(writeCounter));
        const uint64_t read = static_cast<uint64_t>(Load(readCounter));
        const uint64_t used = written - read;
        if (used > ringBytes_) return Corrupt(L"send counters") ? OK : CLOSED;
        if (ringBytes_ - used >= need) {
            BYTE* base = RingData(ring);
            BYTE header[4];
            uint32_t l = static_cast<uint32_t>(length);
            std::memcpy(header, &l, 4);
            uint64_t at = written;
            auto copy = [&](const BYTE* src, size_t n) {
                size_t offset = static_cast<size_t>(at % ringBytes_);
                size_t first = n < ringBytes_ - offset ? n : ringBytes_ - offset;
                std::memcpy(base + offset, src, first);
                std::memcpy(base, src + first, n - first);
                at += n;
            };
            copy(header, 4);
            copy(data, length);
            Store(writeCounter, static_cast<LONG64>(at));
            ::SetEvent(dataEvent_[ring].get());
            return OK;
        }
        ULONGLONG now = ::GetTickCount64();
        if (timeoutMs != INFINITE && now >= deadline) return TIMEOUT;
        // Say we wait, then look again: room made before the flag was seen must not be missed.
        volatile LONG* waiting = reinterpret_cast<volatile LONG*>(Field(kOffWriterWaiting[ring]));
        ::InterlockedExchange(waiting, 1);
        if (ringBytes_ - (static_cast<uint64_t>(Load(writeCounter)) - static_cast<uint64_t>(Load(readCounter))) >= need) {
            ::InterlockedExchange(waiting, 0);
            continue;
        }
        DWORD wait = timeoutMs == INFINITE ? INFINITE : static_cast<DWORD>(deadline - now);
        HANDLE handles[3] = {spaceEvent_[ring].get(), peerProcess_.get(), interrupt};
        DWORD count = interrupt ? 3 : 2;
        if (!peerProcess_) {
            handles[1] = interrupt;
            count = interrupt ? 2 : 1;
        }
        DWORD result = ::WaitForMultipleObjects(count, handles, FALSE, wait);
        ::InterlockedExchange(waiting, 0);
        if (result == WAIT_TIMEOUT) return TIMEOUT;
        if (result == WAIT_OBJECT_0) continue;
        if (result == WAIT_OBJECT_0 + 1 && peerProcess_) return CLOSED;
        if (result == WAIT_FAILED) return CLOSED;
        return INTERRUPTED;
    }
}

SharedMemTransport::Status SharedMemTransport::Receive(SecureBytes* record, DWORD timeoutMs, HANDLE interrupt) {
    if (!view_ || corrupt_) return CLOSED;
    const int ring = server_ ? 0 : 1;
    volatile LONG64* writeCounter = Counter(kOffWrite[ring]);
    volatile LONG64* readCounter = Counter(kOffRead[ring]);
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (closed_) return CLOSED;
        const uint64_t written = static_cast<uint64_t>(Load(writeCounter));
        const uint64_t read = static_cast<uint64_t>(Load(readCounter));
        const uint64_t available = written - read;
        if (available > ringBytes_) return Corrupt(L"receive counters") ? OK : CLOSED;
        if (available >= 4) {
            const BYTE* base = RingData(ring);
            uint64_t at = read;
            auto copy = [&](BYTE* dst, size_t n) {
                size_t offset = static_cast<size_t>(at % ringBytes_);
                size_t first = n < ringBytes_ - offset ? n : ringBytes_ - offset;
                std::memcpy(dst, base + offset, first);
                std::memcpy(dst + first, base, n - first);
                at += n;
            };
            uint32_t length = 0;
            copy(reinterpret_cast<BYTE*>(&length), 4);
            if (length == 0 || length > available - 4) return Corrupt(L"record length") ? OK : CLOSED;
            try {
                record->resize(length);
            } catch (...) {
                return Corrupt(L"record allocation") ? OK : CLOSED;
            }
            copy(record->data(), length);
            Store(readCounter, static_cast<LONG64>(at));
            volatile LONG* waiting = reinterpret_cast<volatile LONG*>(Field(kOffWriterWaiting[ring]));
            if (::InterlockedCompareExchange(waiting, 0, 0) != 0) ::SetEvent(spaceEvent_[ring].get());
            return OK;
        }
        if (available != 0) return Corrupt(L"partial record") ? OK : CLOSED;
        if (PeerClosed()) return CLOSED;
        ULONGLONG now = ::GetTickCount64();
        if (timeoutMs != INFINITE && now >= deadline) return TIMEOUT;
        DWORD wait = timeoutMs == INFINITE ? INFINITE : static_cast<DWORD>(deadline - now);
        HANDLE handles[3] = {dataEvent_[ring].get(), peerProcess_.get(), interrupt};
        DWORD count = interrupt ? 3 : 2;
        if (!peerProcess_) {
            handles[1] = interrupt;
            count = interrupt ? 2 : 1;
        }
        DWORD result = ::WaitForMultipleObjects(count, handles, FALSE, wait);
        if (result == WAIT_TIMEOUT) return TIMEOUT;
        if (result == WAIT_OBJECT_0) continue;
        if (result == WAIT_OBJECT_0 + 1 && peerProcess_) {
            // The peer is gone; what it wrote before it went is still delivered.
            if (static_cast<uint64_t>(Load(writeCounter)) != static_cast<uint64_t>(Load(readCounter))) continue;
            return CLOSED;
        }
        if (result == WAIT_FAILED) return CLOSED;
        return INTERRUPTED;
    }
}

}  // namespace CORE
