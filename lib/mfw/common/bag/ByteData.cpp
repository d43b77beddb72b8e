#include "lib/mfw/common/bag/ByteData.h"

#include "lib/mfw/common/util/LogSink.h"

#include <cstring>

namespace CORE {

bool ByteData::CheckReqdBytes(size_t required) const noexcept {
    if (!read_ || required == 0) {
        LogToSink(LOG_ERROR, L"CORE::ByteData::CheckReqdBytes(): Invalid input buffer");
        return false;
    }
    // Compared against what is left, never as consumed + required, so no sum can wrap.
    if (required > total_ - consumed_) {
        LogToSink(LOG_ERROR, L"CORE::ByteData::CheckReqdBytes(): Not enough buffer left, total=%ld, consumed=%ld, required=%ld",
                   static_cast<long>(total_), static_cast<long>(consumed_), static_cast<long>(required));
        return false;
    }
    return true;
}

bool ByteData::CheckDestBytes(size_t required) const noexcept {
    if (required == 0) {
        LogToSink(LOG_ERROR, L"CORE::ByteData::CheckDestBytes(): Invalid source length");
        return false;
    }
    if (!write_ || required > total_ - consumed_) {
        LogToSink(LOG_ERROR, L"CORE::ByteData::CheckDestBytes(): Not enough buffer left, total=%ld, consumed=%ld, required=%ld",
                   static_cast<long>(total_), static_cast<long>(consumed_), static_cast<long>(required));
        return false;
    }
    return true;
}

bool ByteData::Read(void* destination, size_t length) noexcept {
    if (!destination || !CheckReqdBytes(length)) return false;
    std::memcpy(destination, read_ + consumed_, length);
    consumed_ += length;
    return true;
}

bool ByteData::ReadU16(uint16_t* value) noexcept {
    if (!CheckReqdBytes(2)) return false;
    *value = LoadU16BE(read_ + consumed_);
    consumed_ += 2;
    return true;
}

bool ByteData::ReadU32(uint32_t* value) noexcept {
    if (!CheckReqdBytes(4)) return false;
    *value = LoadU32BE(read_ + consumed_);
    consumed_ += 4;
    return true;
}

bool ByteData::Take(size_t length, const BYTE** data) noexcept {
    if (!CheckReqdBytes(length)) return false;
    *data = read_ + consumed_;
    consumed_ += length;
    return true;
}

bool ByteData::Skip(size_t length) noexcept {
    if (!CheckReqdBytes(length)) return false;
    consumed_ += length;
    return true;
}

bool ByteData::Write(const void* source, size_t length) noexcept {
    if (!source || !CheckDestBytes(length)) return false;
    std::memcpy(write_ + consumed_, source, length);
    consumed_ += length;
    return true;
}

bool ByteData::WriteU16(uint16_t value) noexcept {
    if (!CheckDestBytes(2)) return false;
    StoreU16BE(write_ + consumed_, value);
    consumed_ += 2;
    return true;
}

bool ByteData::WriteU32(uint32_t value) noexcept {
    if (!CheckDestBytes(4)) return false;
    StoreU32BE(write_ + consumed_, value);
    consumed_ += 4;
    return true;
}

bool ByteData::Advance(size_t length) noexcept {
    if (length == 0) return true;
    if (!CheckDestBytes(length)) return false;
    consumed_ += length;
    return true;
}

}  // namespace CORE
