// Reads the serialized credential a provider hands LogonUI (package id plus logon buffer) the
// way the LSA would have to: every offset and length is checked against the buffer before use.
//
// Kinds by package (ids of the simulation's table unless PackageIds says otherwise):
//   Negotiate, NTLM, Kerberos  interactive logon, message type 2, 7 (unlock) or 0 (credential UI)
//   Kerberos                   certificate logon, message type 13 or 15 (unlock), with CSP information
//   the agent's package        hybrid frame (format tag 2) around an interactive (2) or a
//                              certificate (13) logon, neither with a LogonId
//   CloudAP                    the package's opaque credential blob, carried whole as the "password"
//                              (bytes as characters: the simulated package's blobs are text)
// The layouts are those of logon/InteractiveLogon.h,
// logon/CertificateLogon.h, logon/CspInfo.h and logon/HybridLogon.h, re-read independently.
#pragma once
#include "lib/mfw/common/util/SecureString.h"

#include <windows.h>

#include <string>
#include <vector>

namespace logonsim {

enum class LogonKind {
    Unknown,
    Interactive,        // message type 2, or 0 for credential UI
    InteractiveUnlock,  // 7
    Certificate,        // 13
    CertificateUnlock,  // 15
    HybridPassword,     // frame around an interactive logon
    HybridCertificate,  // frame around a certificate logon
    CloudCredential,    // CloudAP's credential blob
};

// How a secret was carried.
enum class SecretForm {
    Empty,
    SimProtected,   // the simulation's "@@TCSIM" form: clear text recovered
    Unrecoverable,  // protected ("@@...") in a form the simulator cannot undo
    Plain,          // not protected: the clear text is the text carried
};

struct DecodedSecret {
    std::vector<BYTE, CORE::ZeroingAllocator<BYTE>> raw;  // the bytes as carried
    SecretForm form = SecretForm::Empty;
    CORE::SecureWString clear;  // recovered or plain text; empty when Unrecoverable
};

struct DecodedCspInfo {
    ULONG length = 0;  // dwCspInfoLen
    ULONG messageType = 0;
    ULONG flags = 0;
    ULONG keySpec = 0;
    std::wstring card;
    std::wstring reader;
    std::wstring container;
    std::wstring provider;
};

// Package ids as the LSA of the machine under test numbers them.
struct PackageIds {
    ULONG negotiate = 0;
    ULONG ntlm = 1;
    ULONG kerberos = 2;
    ULONG cloudAp = 4;
    ULONG hybrid = 7;  // "LUMO_AUTHENTICATION_PACKAGE_V1_0"
};

struct DecodedSerialization {
    bool ok = false;
    std::wstring error;    // why the bytes were refused, naming the field
    std::wstring package;  // "Negotiate", "NTLM", "Kerberos", "CloudAP", "LUMO_AUTHENTICATION_PACKAGE_V1_0", or empty
    LogonKind kind = LogonKind::Unknown;
    ULONG messageType = 0;  // of the logon (the embedded one in a hybrid frame)
    LUID logonId = {0, 0};
    std::wstring domain;
    std::wstring user;
    DecodedSecret password;  // interactive logons
    DecodedSecret pin;       // certificate logons
    bool hasCspInfo = false;
    DecodedCspInfo csp;
    // Hybrid frame.
    bool hybrid = false;
    std::wstring localUser;
    DecodedSecret localPassword;
    ULONG embeddedOffset = 0;
    ULONG embeddedSize = 0;
};

// Never throws but for out of memory; malformed input gives ok false and an error text.
DecodedSerialization DecodeSerialization(ULONG packageId, const BYTE* data, size_t size, const PackageIds& ids = {});

// A readable account without any secret: secrets appear as their length and form only.
std::wstring Describe(const DecodedSerialization& decoded);
const wchar_t* LogonKindName(LogonKind kind);
const wchar_t* SecretFormName(SecretForm form);

}  // namespace logonsim
