// The byte transport of a shared-memory channel: one section with two rings (client to
// server, server to client) and four auto-reset events, moving whole records between two
// processes. Either side may be a hostile or dead peer: every counter read from the section
// is checked, and waits include the peer's process handle.
//
// Section layout (little-endian, as both ends are the same machine):
//   0     u32 magic "TCSM" (0x4D534354 as read), u32 layout version 1, u32 ring size R,
//         u32 server pid, u32 client pid, u32 closed bits (1 client closed, 2 server closed)
//   64    ring 0 (client -> server): write counter u64 at 64, read counter u64 at 128
//   192   ring 1 (server -> client): write counter u64 at 192, read counter u64 at 256
//   320   ring 0 writer-waiting flag u32; 384 ring 1 writer-waiting flag u32
//   4096  ring 0 data, R bytes; then ring 1 data, R bytes
// Counters run freely (bytes ever written / read); write - read is what waits in the ring and
// never exceeds R. A record is a u32 length L (1 .. R - 4) and L bytes, wrapping at R. The
// writer publishes its counter after the whole record and sets the data event; the reader
// publishes its counter after taking the record and sets the space event only when the
// writer said it waits for room (each event call is a trip to the kernel, or to wineserver).
#pragma once
#include "lib/mfw/common/util/SecureBytes.h"
#include "platform/UniqueResource.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace CORE {

class SharedMemTransport {
public:
    static constexpr uint32_t kMagic = 0x4D534354;
    static constexpr uint32_t kVersion = 1;
    static constexpr uint32_t kHeaderBytes = 4096;
    static constexpr uint32_t kDefaultRingBytes = 256 * 1024;

    enum Status { OK = 0, TIMEOUT, CLOSED, INTERRUPTED };

    SharedMemTransport() noexcept = default;
    ~SharedMemTransport();
    SharedMemTransport(const SharedMemTransport&) = delete;
    SharedMemTransport& operator=(const SharedMemTransport&) = delete;

    // Server: makes the section and events named `prefix` for the client `clientPid`.
    bool Create(const std::wstring& prefix, DWORD clientPid, uint32_t ringBytes = kDefaultRingBytes);
    // Client: opens what the server `serverPid` made.
    bool Open(const std::wstring& prefix, DWORD serverPid);

    // Writes one record, waiting up to `timeoutMs` for room. CLOSED when the peer is gone.
    Status Send(const BYTE* data, size_t length, DWORD timeoutMs, HANDLE interrupt = nullptr);
    // Takes the next record; INTERRUPTED when `interrupt` is signalled first.
    Status Receive(SecureBytes* record, DWORD timeoutMs, HANDLE interrupt = nullptr);
    // Marks this side closed and wakes the peer; idempotent. `peerWoken`: a record just
    // written has already woken the peer's reader.
    void Close(bool peerWoken = false) noexcept;
    bool PeerClosed() const noexcept;
    uint32_t MaxRecordBytes() const noexcept { return ringBytes_ - 4; }
    DWORD PeerPid() const noexcept { return peerPid_; }

private:
    bool MapAndCheck(bool create, uint32_t ringBytes);
    bool OpenEvents(const std::wstring& prefix, bool create);
    volatile LONG64* Counter(size_t offset) const;
    uint32_t* Field(size_t offset) const;
    BYTE* RingData(int ring) const;
    bool Corrupt(const wchar_t* what) noexcept;

    bool server_ = false;
    uint32_t ringBytes_ = 0;
    DWORD peerPid_ = 0;
    platform::unique_handle section_;
    platform::unique_view view_;
    platform::unique_handle dataEvent_[2];   // per ring: written
    platform::unique_handle spaceEvent_[2];  // per ring: room made
    platform::unique_handle peerProcess_;
    volatile LONG closed_ = 0;
    volatile LONG corrupt_ = 0;
};

}  // namespace CORE
