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
    if (field.offset == 0 || field.length == 0) return;  // empty
    const size_t chars = field.length / 2;
    out->resize(chars);
    for (size_t i = 0; i < chars; ++i) {
        const BYTE* at = data + field.offset + 2 * i;
        out->data()[i] = static_cast<wchar_t>(at[0] | (at[1] << 8));
    }
}

bool IsEmpty(const Field& field) { return field.offset == 0 || field.length == 0; }

// Characters of a string may not lie in the header or share bytes with another string: a
// crafted logon would otherwise make one field read another's characters.
bool Apart(const Field& a, const Field& b) {
    if (IsEmpty(a) || IsEmpty(b)) return true;
    return a.offset + a.length <= b.offset || b.offset + b.length <= a.offset;  // both fit: no wrap
}
bool OutsideHeader(const Field& field) { return IsEmpty(field) || field.offset >= kPackedInteractiveLogonSize; }

}  // namespace

PackedLogonStatus UnpackInteractiveLogon(const BYTE* data, ULONG size, PackedInteractiveLogon* out) {
    if (!data || size < kPackedInteractiveLogonSize) return PackedLogonStatus::TooSmall;
    out->messageType = U32(data);
    if (out->messageType != 2) return PackedLogonStatus::NotInteractive;
    const Field domain = ReadField(data, 8);
    const Field user = ReadField(data, 24);
    const Field password = ReadField(data, 40);
    if (!Fits(domain, size) || !Fits(user, size) || !Fits(password, size)) return PackedLogonStatus::InvalidData;
    if (!OutsideHeader(domain) || !OutsideHeader(user) || !OutsideHeader(password) || !Apart(domain, user) ||
        !Apart(domain, password) || !Apart(user, password))
        return PackedLogonStatus::InvalidData;
    Unpack(data, domain, &out->domain);
    Unpack(data, user, &out->user);
    Unpack(data, password, &out->ticket);
    return PackedLogonStatus::Ok;
}
