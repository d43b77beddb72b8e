#include "SerializationDecoder.h"

#include "platform/sim/SimProtectedForm.h"

#include <cstdint>

namespace logonsim {
namespace {

constexpr size_t kInteractiveHeader = 64;
constexpr size_t kCertificateHeader = 80;
constexpr size_t kHybridHeader = 48;
constexpr size_t kCspFixed = 48;      // up to bBuffer's unused start
constexpr size_t kCspNamesBase = 40;  // name offsets count characters from here

std::wstring Hex(uint64_t value) {
    std::wstring digits;
    do {
        digits.insert(digits.begin(), L"0123456789ABCDEF"[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return L"0x" + digits;
}

// A bounds-checked view of part of the input; every read says whether it fitted.
class View {
public:
    View(const BYTE* data, size_t size) : data_(data), size_(size) {}

    size_t Size() const { return size_; }
    bool Fits(uint64_t offset, uint64_t count) const { return offset <= size_ && count <= size_ - offset; }
    bool Le(size_t offset, size_t width, uint64_t* value) const {
        if (!Fits(offset, width)) return false;
        uint64_t v = 0;
        for (size_t i = 0; i < width; ++i) v |= static_cast<uint64_t>(data_[offset + i]) << (8 * i);
        *value = v;
        return true;
    }
    uint32_t U16(size_t offset) const { return static_cast<uint32_t>(Read(offset, 2)); }
    uint32_t U32(size_t offset) const { return static_cast<uint32_t>(Read(offset, 4)); }
    uint64_t U64(size_t offset) const { return Read(offset, 8); }
    // Sub-view; the caller has checked Fits.
    View Sub(size_t offset, size_t count) const { return View(data_ + offset, count); }
    const BYTE* At(size_t offset) const { return data_ + offset; }

private:
    // Callers read only inside a header whose size they checked; a miss reads as zero.
    uint64_t Read(size_t offset, size_t width) const {
        uint64_t v = 0;
        return Le(offset, width, &v) ? v : 0;
    }

    const BYTE* data_;
    size_t size_;
};

std::wstring TextAt(const View& view, size_t offset, size_t bytes) {
    std::wstring text;
    text.reserve(bytes / 2);
    for (size_t i = 0; i + 1 < bytes; i += 2) text.push_back(static_cast<wchar_t>(view.U16(offset + i)));
    return text;
}

// A self-relative counted string at `field` whose data must lie after `headerSize` bytes.
// Returns false with the reason in *error.
bool ReadCounted(const View& view, size_t field, size_t headerSize, const wchar_t* name, size_t* dataOffset,
                 size_t* byteLength, std::wstring* error) {
    const uint32_t length = view.U16(field);
    const uint32_t maximum = view.U16(field + 2);
    const uint64_t offset = view.U64(field + 8);
    *dataOffset = 0;
    *byteLength = 0;
    if (length % 2 != 0) {
        *error = std::wstring(name) + L": odd byte length " + std::to_wstring(length);
        return false;
    }
    if (length > maximum) {
        *error = std::wstring(name) + L": Length " + std::to_wstring(length) + L" above MaximumLength " +
                 std::to_wstring(maximum);
        return false;
    }
    if (maximum == 0) {
        // An empty string may carry an offset, but not one outside the buffer.
        if (offset > view.Size()) {
            *error = std::wstring(name) + L": offset " + Hex(offset) + L" outside the " +
                     std::to_wstring(view.Size()) + L"-byte buffer";
            return false;
        }
        return true;
    }
    if (offset < headerSize) {
        *error = std::wstring(name) + L": data at " + Hex(offset) + L" inside the " + std::to_wstring(headerSize) +
                 L"-byte header";
        return false;
    }
    if (!view.Fits(offset, maximum)) {
        *error = std::wstring(name) + L": offset " + Hex(offset) + L" + " + std::to_wstring(maximum) +
                 L" bytes runs past the " + std::to_wstring(view.Size()) + L"-byte buffer";
        return false;
    }
    *dataOffset = static_cast<size_t>(offset);
    *byteLength = length;
    return true;
}

bool ReadText(const View& view, size_t field, size_t headerSize, const wchar_t* name, std::wstring* out,
              std::wstring* error) {
    size_t offset = 0;
    size_t bytes = 0;
    if (!ReadCounted(view, field, headerSize, name, &offset, &bytes, error)) return false;
    *out = TextAt(view, offset, bytes);
    return true;
}

void Classify(DecodedSecret* secret) {
    const size_t chars = secret->raw.size() / 2;
    CORE::SecureWString text;
    text.resize(chars);
    for (size_t i = 0; i < chars; ++i)
        text.data()[i] = static_cast<wchar_t>(secret->raw[2 * i] | (secret->raw[2 * i + 1] << 8));
    secret->clear.Wipe();
    if (chars == 0) {
        secret->form = SecretForm::Empty;
        return;
    }
    if (platform::sim::HasSimProtectPrefix(text.data(), chars)) {
        CORE::SecureWString clear;
        clear.resize(chars);
        size_t clearChars = 0;
        if (platform::sim::SimUnprotect(text.data(), chars, clear.data(), chars, &clearChars)) {
            clear.resize(clearChars);
            secret->clear = std::move(clear);
            secret->form = SecretForm::SimProtected;
            return;
        }
    }
    if (chars >= 2 && text.data()[0] == L'@' && text.data()[1] == L'@') {
        secret->form = SecretForm::Unrecoverable;
        return;
    }
    secret->form = SecretForm::Plain;
    secret->clear = std::move(text);
}

bool ReadSecret(const View& view, size_t field, size_t headerSize, const wchar_t* name, DecodedSecret* out,
                std::wstring* error) {
    size_t offset = 0;
    size_t bytes = 0;
    if (!ReadCounted(view, field, headerSize, name, &offset, &bytes, error)) return false;
    out->raw.assign(view.At(offset), view.At(offset) + bytes);
    Classify(out);
    return true;
}

LUID LuidAt(const View& view, size_t offset) {
    LUID luid;
    luid.LowPart = view.U32(offset);
    luid.HighPart = static_cast<LONG>(view.U32(offset + 4));
    return luid;
}

// One zero-terminated name of the CSP block, `charOffset` characters from bBuffer.
bool ReadCspName(const View& csp, uint32_t charOffset, const wchar_t* name, std::wstring* out, std::wstring* error) {
    const uint64_t start = kCspNamesBase + 2 * static_cast<uint64_t>(charOffset);
    if (start < kCspFixed || start >= csp.Size()) {
        *error = std::wstring(L"CSP information: ") + name + L" offset " + std::to_wstring(charOffset) +
                 L" outside the " + std::to_wstring(csp.Size()) + L"-byte block";
        return false;
    }
    for (size_t at = static_cast<size_t>(start); at + 2 <= csp.Size(); at += 2) {
        if (csp.U16(at) == 0) {
            *out = TextAt(csp, static_cast<size_t>(start), at - static_cast<size_t>(start));
            return true;
        }
    }
    *error = std::wstring(L"CSP information: ") + name + L" not terminated inside the block";
    return false;
}

bool DecodeCspInfo(const View& csp, DecodedCspInfo* out, std::wstring* error) {
    if (csp.Size() < kCspFixed) {
        *error = L"CSP information: " + std::to_wstring(csp.Size()) + L" bytes, shorter than its 48-byte header";
        return false;
    }
    out->length = csp.U32(0);
    out->messageType = csp.U32(4);
    out->flags = csp.U32(16);
    out->keySpec = csp.U32(20);
    if (out->length != csp.Size()) {
        *error = L"CSP information: dwCspInfoLen " + std::to_wstring(out->length) + L" but CspDataLength " +
                 std::to_wstring(csp.Size());
        return false;
    }
    if (out->messageType != 1) {
        *error = L"CSP information: MessageType " + std::to_wstring(out->messageType);
        return false;
    }
    return ReadCspName(csp, csp.U32(24), L"card name", &out->card, error) &&
           ReadCspName(csp, csp.U32(28), L"reader name", &out->reader, error) &&
           ReadCspName(csp, csp.U32(32), L"container name", &out->container, error) &&
           ReadCspName(csp, csp.U32(36), L"CSP name", &out->provider, error);
}

bool DecodeInteractive(const View& view, bool embedded, DecodedSerialization* out) {
    if (view.Size() < kInteractiveHeader) {
        out->error = L"interactive logon: " + std::to_wstring(view.Size()) + L" bytes, shorter than its 64-byte header";
        return false;
    }
    out->messageType = view.U32(0);
    switch (out->messageType) {
    case 0:
    case 2: out->kind = LogonKind::Interactive; break;
    case 7: out->kind = LogonKind::InteractiveUnlock; break;
    default:
        out->error = L"interactive logon: MessageType " + std::to_wstring(out->messageType);
        return false;
    }
    if (embedded && out->messageType != 2) {
        out->error = L"hybrid frame: embedded interactive logon with MessageType " + std::to_wstring(out->messageType);
        return false;
    }
    out->logonId = LuidAt(view, 56);
    return ReadText(view, 8, kInteractiveHeader, L"LogonDomainName", &out->domain, &out->error) &&
           ReadText(view, 24, kInteractiveHeader, L"UserName", &out->user, &out->error) &&
           ReadSecret(view, 40, kInteractiveHeader, L"Password", &out->password, &out->error);
}

bool DecodeCertificate(const View& view, bool embedded, DecodedSerialization* out) {
    if (view.Size() < kCertificateHeader) {
        out->error = L"certificate logon: " + std::to_wstring(view.Size()) + L" bytes, shorter than its 80-byte header";
        return false;
    }
    out->messageType = view.U32(0);
    switch (out->messageType) {
    case 13: out->kind = LogonKind::Certificate; break;
    case 15: out->kind = LogonKind::CertificateUnlock; break;
    default:
        out->error = L"certificate logon: MessageType " + std::to_wstring(out->messageType);
        return false;
    }
    if (embedded && out->messageType != 13) {
        out->error = L"hybrid frame: embedded certificate logon with MessageType " + std::to_wstring(out->messageType);
        return false;
    }
    out->logonId = LuidAt(view, 72);
    if (!ReadText(view, 8, kCertificateHeader, L"DomainName", &out->domain, &out->error) ||
        !ReadText(view, 24, kCertificateHeader, L"UserName", &out->user, &out->error) ||
        !ReadSecret(view, 40, kCertificateHeader, L"Pin", &out->pin, &out->error))
        return false;
    const uint32_t cspLength = view.U32(60);
    const uint64_t cspOffset = view.U64(64);
    if (cspLength == 0 || cspOffset < kCertificateHeader || !view.Fits(cspOffset, cspLength)) {
        out->error = L"certificate logon: CspData at " + Hex(cspOffset) + L" with " + std::to_wstring(cspLength) +
                     L" bytes does not lie after the header inside the " + std::to_wstring(view.Size()) +
                     L"-byte buffer";
        return false;
    }
    out->hasCspInfo = true;
    return DecodeCspInfo(view.Sub(static_cast<size_t>(cspOffset), cspLength), &out->csp, &out->error);
}

bool DecodeHybrid(const View& view, DecodedSerialization* out) {
    if (view.Size() < kHybridHeader) {
        out->error = L"hybrid frame: " + std::to_wstring(view.Size()) + L" bytes, shorter than its 48-byte header";
        return false;
    }
    const uint32_t tag = view.U32(0);
    if (tag != 2) {
        out->error = L"hybrid frame: format tag " + std::to_wstring(tag);
        return false;
    }
    out->hybrid = true;
    if (!ReadText(view, 8, kHybridHeader, L"LocalUserName", &out->localUser, &out->error) ||
        !ReadSecret(view, 24, kHybridHeader, L"LocalPassword", &out->localPassword, &out->error))
        return false;
    out->embeddedSize = view.U32(40);
    out->embeddedOffset = view.U32(44);
    if (out->embeddedSize < 4 || out->embeddedOffset < kHybridHeader ||
        !view.Fits(out->embeddedOffset, out->embeddedSize)) {
        out->error = L"hybrid frame: embedded logon at " + Hex(out->embeddedOffset) + L" with " +
                     std::to_wstring(out->embeddedSize) + L" bytes does not lie after the header inside the " +
                     std::to_wstring(view.Size()) + L"-byte buffer";
        return false;
    }
    const View embedded = view.Sub(out->embeddedOffset, out->embeddedSize);
    const uint32_t type = embedded.U32(0);
    bool decoded = false;
    if (type == 2) {
        decoded = DecodeInteractive(embedded, true, out);
        out->kind = LogonKind::HybridPassword;
    } else if (type == 13) {
        decoded = DecodeCertificate(embedded, true, out);
        out->kind = LogonKind::HybridCertificate;
    } else {
        out->error = L"hybrid frame: embedded MessageType " + std::to_wstring(type);
        return false;
    }
    if (decoded && (out->logonId.LowPart != 0 || out->logonId.HighPart != 0)) {
        out->error = L"hybrid frame: the embedded logon carries a LogonId";
        return false;
    }
    return decoded;
}

}  // namespace

DecodedSerialization DecodeSerialization(ULONG packageId, const BYTE* data, size_t size, const PackageIds& ids) {
    DecodedSerialization out;
    if (!data && size != 0) {
        out.error = L"no bytes";
        return out;
    }
    const View view(data, size);
    if (packageId == ids.hybrid) {
        out.package = L"LUMO_AUTHENTICATION_PACKAGE_V1_0";
        out.ok = DecodeHybrid(view, &out);
        return out;
    }
    if (packageId == ids.cloudAp) {
        out.package = L"CloudAP";
        out.kind = LogonKind::CloudCredential;
        out.password.raw.assign(data, data + size);
        out.password.form = size ? SecretForm::Plain : SecretForm::Empty;
        out.password.clear.resize(size);
        for (size_t i = 0; i < size; ++i) out.password.clear.data()[i] = static_cast<wchar_t>(data[i]);
        out.ok = size != 0;
        if (!out.ok) out.error = L"an empty credential blob";
        return out;
    }
    if (packageId == ids.negotiate)
        out.package = L"Negotiate";
    else if (packageId == ids.ntlm)
        out.package = L"NTLM";
    else if (packageId == ids.kerberos)
        out.package = L"Kerberos";
    else {
        out.error = L"unknown authentication package " + std::to_wstring(packageId);
        return out;
    }
    if (size < 4) {
        out.error = L"logon buffer of " + std::to_wstring(size) + L" bytes has no message type";
        return out;
    }
    const uint32_t type = view.U32(0);
    if (type == 13 || type == 15) {
        if (packageId != ids.kerberos) {
            out.error = L"certificate logon sent to " + out.package;
            return out;
        }
        out.ok = DecodeCertificate(view, false, &out);
    } else {
        out.ok = DecodeInteractive(view, false, &out);
    }
    return out;
}

const wchar_t* LogonKindName(LogonKind kind) {
    switch (kind) {
    case LogonKind::Interactive: return L"interactive logon";
    case LogonKind::InteractiveUnlock: return L"interactive unlock";
    case LogonKind::Certificate: return L"certificate logon";
    case LogonKind::CertificateUnlock: return L"certificate unlock";
    case LogonKind::HybridPassword: return L"hybrid password logon";
    case LogonKind::HybridCertificate: return L"hybrid certificate logon";
    case LogonKind::CloudCredential: return L"CloudAP credential";
    default: return L"unknown";
    }
}

const wchar_t* SecretFormName(SecretForm form) {
    switch (form) {
    case SecretForm::Empty: return L"empty";
    case SecretForm::SimProtected: return L"protected (simulation form, recovered)";
    case SecretForm::Unrecoverable: return L"protected (not recoverable here)";
    case SecretForm::Plain: return L"not protected";
    default: return L"?";
    }
}

std::wstring Describe(const DecodedSerialization& d) {
    auto secret = [](const DecodedSecret& s) {
        return std::to_wstring(s.raw.size()) + L" bytes, " + SecretFormName(s.form);
    };
    std::wstring text = L"package " + (d.package.empty() ? std::wstring(L"?") : d.package);
    if (!d.ok) return text + L": refused: " + d.error;
    if (d.kind == LogonKind::CloudCredential) return text + L", credential blob " + secret(d.password);
    text += L", " + std::wstring(LogonKindName(d.kind)) + L" (message type " + std::to_wstring(d.messageType) + L")";
    if (d.hybrid)
        text += L", local user '" + d.localUser + L"', local password " + secret(d.localPassword) +
                L", embedded logon at " + std::to_wstring(d.embeddedOffset);
    text += L", domain '" + d.domain + L"', user '" + d.user + L"'";
    if (d.hasCspInfo) {
        text += L", PIN " + secret(d.pin) + L", key spec " + std::to_wstring(d.csp.keySpec) + L", card '" + d.csp.card +
                L"', reader '" + d.csp.reader + L"', container '" + d.csp.container + L"', provider '" +
                d.csp.provider + L"'";
    } else {
        text += L", password " + secret(d.password);
    }
    if (d.logonId.LowPart != 0 || d.logonId.HighPart != 0)
        text += L", LogonId " + Hex((static_cast<uint64_t>(static_cast<uint32_t>(d.logonId.HighPart)) << 32) |
                                    d.logonId.LowPart);
    return text;
}

}  // namespace logonsim
