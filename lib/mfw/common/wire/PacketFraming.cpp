#include "lib/mfw/common/wire/PacketFraming.h"

#include "lib/mfw/common/bag/ByteData.h"

#include <new>

namespace CORE {
namespace Packet {

ParseStatus ParseBlock(const BYTE* data, size_t size, const std::function<bool(const View&)>& onPacket) {
    size_t at = 0;
    while (at < size) {
        if (size - at < 4) return ParseStatus::OverrunSize;
        View view;
        view.word = LoadU32BE(data + at);
        if (view.word < kControlLimit) {
            if (view.word == 3 || view.word == 4) return ParseStatus::InvalidSize;
            at += 4;
            if (!onPacket(view)) return ParseStatus::Stopped;
            continue;
        }
        const uint32_t length = view.word & kLengthMask;
        view.kind = ~view.word & kKindMask;
        const size_t header = (view.kind & KIND_CHUNK) ? 8 : 4;
        if (!IsValidKind(view.kind) || length < header + 1) return ParseStatus::InvalidSize;
        if (length > size - at) return ParseStatus::OverrunPacket;
        if (header == 8) view.chunkField = LoadU32BE(data + at + 4);
        view.body = data + at + header;
        view.bodyLength = length - header;
        at += length;
        if (!onPacket(view)) return ParseStatus::Stopped;
    }
    return ParseStatus::Ok;
}

void ChunkAssembler::Reset() noexcept {
    active_ = false;
    id_ = 0;
    total_ = 0;
    buffer_.clear();
    buffer_.shrink_to_fit();
}

ChunkAssembler::Status ChunkAssembler::Add(bool first, uint32_t chunkField, const BYTE* body, size_t length,
                                           SecureBytes* message) {
    const uint32_t id = chunkField & kChunkIdMask;
    const bool last = (chunkField & kChunkLast) != 0;
    if (id == 0 || (chunkField & 0x40000000) != 0) return Status::BadIdFormat;
    if (first) {
        if (active_) return Status::FirstWhileChunking;
        if (last || length < 4) return Status::BadIdFormat;
        const uint32_t total = LoadU32BE(body);
        // A message that fits one packet is never chunked, and none may exceed the cap.
        if (total == 0 || total > kMaxMessageBytes || length - 4 > total) return Status::BadSize;
        try {
            buffer_.reserve(total);
        } catch (const std::bad_alloc&) {
            return Status::BadSize;
        }
        buffer_.assign(body + 4, body + length);
        active_ = true;
        id_ = id;
        total_ = total;
        return Status::NeedMore;
    }
    if (!active_ || id != id_) return last ? Status::BadLastId : Status::BadContinuationId;
    if (length > total_ - buffer_.size()) return Status::BadSize;
    buffer_.insert(buffer_.end(), body, body + length);
    if (!last) return buffer_.size() == total_ ? Status::BadSize : Status::NeedMore;
    if (buffer_.size() != total_) return Status::BadSize;
    message->swap(buffer_);
    Reset();
    return Status::Complete;
}

bool BuildPackets(const BYTE* message, size_t length, uint32_t chunkBytes, uint32_t chunkId, bool legacyText,
                  const std::function<bool(const BYTE*, size_t, SecureBytes*)>& protect,
                  std::vector<SecureBytes>* packets) {
    packets->clear();
    if (!message || length == 0 || length > kMaxMessageBytes || chunkBytes < 16) return false;
    const uint32_t protectedBit = protect ? KIND_PROTECTED : 0;
    auto emit = [&](uint32_t kind, const uint32_t* chunkField, const BYTE* body, size_t bodyLength) {
        SecureBytes protectedBody;
        if (protect) {
            if (!protect(body, bodyLength, &protectedBody)) return false;
            body = protectedBody.data();
            bodyLength = protectedBody.size();
        }
        const size_t header = chunkField ? 8 : 4;
        if (bodyLength == 0 || bodyLength > kLengthMask - header) return false;
        SecureBytes packet(header + bodyLength);
        StoreU32BE(packet.data(), Word(kind, static_cast<uint32_t>(packet.size())));
        if (chunkField) StoreU32BE(packet.data() + 4, *chunkField);
        std::copy(body, body + bodyLength, packet.begin() + static_cast<std::ptrdiff_t>(header));
        packets->push_back(std::move(packet));
        return true;
    };
    if (legacyText) {
        // The legacy form predates chunking and protection.
        if (protect || length > chunkBytes) return false;
        return emit(KIND_LEGACY_TEXT, nullptr, message, length);
    }
    if (length <= chunkBytes) return emit(KIND_MESSAGE | protectedBit, nullptr, message, length);
    const uint32_t id = chunkId & kChunkIdMask ? chunkId & kChunkIdMask : 1;
    size_t at = 0;
    bool first = true;
    while (at < length) {
        const size_t roomForData = first ? chunkBytes - 4 : chunkBytes;
        const size_t n = length - at < roomForData ? length - at : roomForData;
        const bool last = at + n == length;
        uint32_t field = id | (last ? kChunkLast : 0);
        SecureBytes body;
        if (first) {
            body.resize(4);
            StoreU32BE(body.data(), static_cast<uint32_t>(length));
        }
        body.insert(body.end(), message + at, message + at + n);
        if (!emit(KIND_CHUNK | (first ? 0 : KIND_CHUNK_NEXT) | protectedBit, &field, body.data(), body.size()))
            return false;
        at += n;
        first = false;
    }
    return true;
}

}  // namespace Packet
}  // namespace CORE
