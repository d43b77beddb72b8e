// The smart card search's reading of a card's certificate: the DER a card hands out, decoded
// and checked as a logon certificate for alice@corp.example (even seeds), and the subject
// alternative name the UPN is read from with the module's own DER reader (odd seeds: the
// extension's bytes, before the guard page, in an otherwise empty certificate).
// Rules: an accepted certificate carries the wanted UPN among its bytes; a UPN read from an
// extension is UTF-8 text inside the extension's bytes.
#include "Target.h"

#include "platform/CryptResource.h"
#include "sso/CardCertificate.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace fuzz {
namespace {

constexpr char kUpn[] = "alice@corp.example";

bool Contains(const Input& in, const std::string& text, bool anyCase) {
    auto same = [anyCase](BYTE a, char b) { return anyCase ? std::tolower(a) == std::tolower(static_cast<BYTE>(b)) : a == static_cast<BYTE>(b); };
    return std::search(in.data, in.data + in.size, text.begin(), text.end(), same) != in.data + in.size;
}

Verdict RunCertificate(const Input& in) {
    platform::unique_cert cert(::CertCreateCertificateContext(X509_ASN_ENCODING, in.data, static_cast<DWORD>(in.size)));
    CertificateWanted wanted;
    wanted.upns = {L"Alice@Corp.Example"};
    if (!cert || !IsValidCertificate(cert.get(), wanted)) return Verdict::Refused;
    return Contains(in, kUpn, true) ? Verdict::Accepted : Verdict::WronglyAccepted;
}

Verdict RunAltName(const Input& in) {
    CERT_EXTENSION extension{const_cast<char*>(szOID_SUBJECT_ALT_NAME2), FALSE,
                             {static_cast<DWORD>(in.size), const_cast<BYTE*>(in.data)}};
    CERT_INFO info{};
    info.cExtension = 1;
    info.rgExtension = &extension;
    CERT_CONTEXT context{};
    context.pCertInfo = &info;
    const std::wstring upn = GetCertUserPrincipalName(&context);
    if (upn.empty()) return Verdict::Refused;
    std::string utf8(static_cast<size_t>(::WideCharToMultiByte(CP_UTF8, 0, upn.data(), static_cast<int>(upn.size()), nullptr, 0, nullptr, nullptr)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, upn.data(), static_cast<int>(upn.size()), utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr);
    // Invalid UTF-8 is read as U+FFFD, so only a valid reading can be looked for.
    return upn.find(L'\uFFFD') != std::wstring::npos || Contains(in, utf8, false) ? Verdict::Accepted : Verdict::WronglyAccepted;
}

std::vector<BYTE> ReadFile(const char* name) {
    std::ifstream file(std::string(TC_FUZZ_CERT_DIR) + name, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(file), {});
}

}  // namespace

std::unique_ptr<Target> CardTarget(PrivateMachine&) {
    auto target = std::make_unique<Target>();
    target->name = "card";
    for (const char* name : {"upn.der", "both.der"}) {
        std::vector<BYTE> der = ReadFile(name);
        platform::unique_cert cert(::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
        if (!cert) return std::fprintf(stderr, "card: cannot read %s%s\n", TC_FUZZ_CERT_DIR, name), nullptr;
        const CERT_INFO* info = cert.get()->pCertInfo;
        PCERT_EXTENSION altName = ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
        if (!altName) return nullptr;
        target->seeds.push_back({der});
        target->seeds.push_back({std::vector<BYTE>(altName->Value.pbData, altName->Value.pbData + altName->Value.cbData)});
    }
    target->run = [](const Input& in) { return in.seed % 2 ? RunAltName(in) : RunCertificate(in); };
    return target;
}

}  // namespace fuzz
