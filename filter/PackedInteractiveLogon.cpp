#include "PackedInteractiveLogon.h"

namespace {

ULONG U32(const BYTE* at) { return at[0] | (at[1] << 8) | (at[2] << 16) | (ULONG(at[3]) << 24); }
USHORT U16(const BYTE* at) { return static_cast<USHORT>(at[0] | (at[1] << 8)); }
ULONGLONG U64(const BYTE* at) { return U32(at) | (ULONGLONG(U32(at + 4)) << 32); }

struct Field {
    USHORT length;
    ULONGLONG offset;
};

Field ReadField(const BYTE* data, size_t at) { return Field{U16(data + at), U64(data + at + 8)}; }

// Offset and length from outside: compared without adding them, so no sum can wrap.
bool Fits(const Field& field, ULONG size) { return field.offset <= size && field.length <= size - field.offset; }

template <typename Text>
void Unpack(const BYTE* data, const Field& field, Text* out) {
    if (field.offset == 0 || field.length == 0) return;
    const size_t chars = field.length / 2;
    out->resize(chars);
    for (size_t i = 0; i < chars; ++i) {
        const BYTE* at = data + field.offset + 2 * i;
        out->data()[i] = static_cast<wchar_t>(at[0] | (at[1] << 8));
    }
}

}  // namespace

PackedLogonStatus UnpackInteractiveLogon(const BYTE* data, ULONG size, PackedInteractiveLogon* out) {
    if (!data || size < kPackedInteractiveLogonSize) return PackedLogonStatus::TooSmall;
    out->messageType = U32(data);
    if (out->messageType != 2) return PackedLogonStatus::NotInteractive;
    const Field domain = ReadField(data, 8);
    const Field user = ReadField(data, 24);
    const Field password = ReadField(data, 40);
    if (!Fits(domain, size) || !Fits(user, size) || !Fits(password, size)) return PackedLogonStatus::InvalidData;
    Unpack(data, domain, &out->domain);
    Unpack(data, user, &out->user);
    Unpack(data, password, &out->ticket);
    return PackedLogonStatus::Ok;
}
