// Packets of a message channel: the framing word, control packets, chunks of large messages
// and protected bodies, as pure functions over bytes so the receive path can be tested and
// fuzzed without a peer.
//
// Every packet starts with a 4-byte big-endian word W:
//   W < 5          control packet, no body: 0 keep-alive request, 1 keep-alive response,
//                  2 session aborted by the peer; 3 and 4 are invalid
//   otherwise      W & 0x1FFFFF is the packet length including W (5 .. 0x1FFFFF), and
//                  ~W & 0xFFE00000 the kind bits:
//     0x0000000    a whole message
//     0x0400000    a whole message, protected
//     0x1000000    first chunk of a message       } followed by the 4-byte chunk field,
//     0x3000000    next (or last) chunk           } then the body
//     0x1400000    first chunk, protected
//     0x3400000    next chunk, protected
//     0x0200000    a whole message in the legacy text form (UTF-16LE)
//     0x0800000    reserved: framed correctly, dropped as an invalid message
// Chunk field (big-endian): bits 0-29 the chunk id of the message (never 0), bit 30 zero,
// bit 31 set on the last chunk. The body of a first chunk starts with the message's total
// length (u32 big-endian); the rest of every chunk body is the next part of the message.
// Messages above the chunk size (kDefaultChunkBytes of message data unless the security
// package allows less) are chunked; reassembly stops at kMaxMessageBytes.
// A protected body is: token length u32 big-endian, the security package's token, then the
// encrypted data (EncryptMessage with a token buffer and a data buffer).
#pragma once
#include "lib/mfw/common/util/SecureBytes.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace CORE {
namespace Packet {

constexpr uint32_t kKeepAliveRequest = 0;
constexpr uint32_t kKeepAliveResponse = 1;
constexpr uint32_t kSessionAborted = 2;
constexpr uint32_t kControlLimit = 5;
constexpr uint32_t kLengthMask = 0x1FFFFF;
constexpr uint32_t kKindMask = 0xFFE00000;

constexpr uint32_t KIND_MESSAGE = 0x0000000;
constexpr uint32_t KIND_PROTECTED = 0x0400000;
constexpr uint32_t KIND_CHUNK = 0x1000000;       // with a chunk field
constexpr uint32_t KIND_CHUNK_NEXT = 0x2000000;  // together with KIND_CHUNK
constexpr uint32_t KIND_LEGACY_TEXT = 0x0200000;
constexpr uint32_t KIND_RESERVED = 0x0800000;

constexpr uint32_t kChunkLast = 0x80000000;
constexpr uint32_t kChunkIdMask = 0x3FFFFFFF;
constexpr uint32_t kDefaultChunkBytes = 64 * 1024;
constexpr uint32_t kMaxMessageBytes = 16 * 1024 * 1024;

inline bool IsValidKind(uint32_t kind) {
    switch (kind) {
    case KIND_MESSAGE:
    case KIND_PROTECTED:
    case KIND_CHUNK:
    case KIND_CHUNK | KIND_CHUNK_NEXT:
    case KIND_CHUNK | KIND_PROTECTED:
    case KIND_CHUNK | KIND_CHUNK_NEXT | KIND_PROTECTED:
    case KIND_LEGACY_TEXT:
    case KIND_RESERVED:
        return true;
    default:
        return false;
    }
}

// The word of a packet of `kind` whose total length is `length`.
inline uint32_t Word(uint32_t kind, uint32_t length) { return (~kind & kKindMask) | (length & kLengthMask); }

// One packet as the parser found it.
struct View {
    uint32_t word = 0;
    uint32_t kind = 0;
    uint32_t chunkField = 0;
    const BYTE* body = nullptr;
    size_t bodyLength = 0;
};

enum class ParseStatus { Ok, InvalidSize, OverrunSize, OverrunPacket, Stopped };

// Walks the packets of one received block, calling `onPacket` for each (control packets
// included, with no body); stops when it returns false. Never reads outside the block.
ParseStatus ParseBlock(const BYTE* data, size_t size, const std::function<bool(const View&)>& onPacket);

// Reassembles chunked messages.
class ChunkAssembler {
public:
    enum class Status { NeedMore, Complete, FirstWhileChunking, BadContinuationId, BadLastId, BadIdFormat, BadSize };
    // `body` is the chunk's body after unprotection; on Complete, `message` holds it all.
    Status Add(bool first, uint32_t chunkField, const BYTE* body, size_t length, SecureBytes* message);
    bool Active() const noexcept { return active_; }
    void Reset() noexcept;

private:
    bool active_ = false;
    uint32_t id_ = 0;
    uint32_t total_ = 0;
    SecureBytes buffer_;
};

// Builds the packets of one message. `protect`, when given, turns a plain body into a
// protected one (false on failure). `chunkBytes` is the most message data per packet.
bool BuildPackets(const BYTE* message, size_t length, uint32_t chunkBytes, uint32_t chunkId, bool legacyText,
                  const std::function<bool(const BYTE*, size_t, SecureBytes*)>& protect,
                  std::vector<SecureBytes>* packets);

}  // namespace Packet
}  // namespace CORE
