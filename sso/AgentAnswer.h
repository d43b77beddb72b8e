// The agent's answer to "GetCredentialsForTicket", read once from its bag into typed fields.
// The filter and the tile's own ticket request each apply their own precedence to it.
#pragma once
#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/util/SecureString.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>


struct AgentAnswer {
    // Reads every field the module uses; absent or non-string items read as empty.
    static AgentAnswer Read(const CORE::PropertyBag& bag);

    bool HasUnauthAccount() const noexcept { return !unauthUserName.empty() && !unauthPassword.empty(); }
    bool HasCertSso() const noexcept { return !certLogonContainerName.empty() && !certLogonPin.empty(); }

    bool nonSsoTicket = false;  // "nonSSOticket"
    bool expired = false;       // "expired"
    bool reportErrors = false;  // "REPORTERRORS"
    bool hasEntra = false;      // "ENTRAAUTH" is a bag
    CORE::PropertyBag entra;    // its items (the assertion among them)
    bool hasUpnBag = false;     // "upns" is a bag
    std::optional<std::wstring> userName;    // absent: the caller's default applies
    std::optional<std::wstring> domainName;
    std::wstring dnsDomainName;
    std::wstring brokerUserSid;     // "BROKERUSERSID"
    std::wstring certificateSsoId;  // "CERTIFICATESSOID"
    std::wstring unauthUserName;
    CORE::SecureWString unauthPassword;
    CORE::SecureWString password;      // protected as the agent sent it
    CORE::SecureWString smartCardPin;  // "smartCardPIN", protected
    std::wstring smartCardReader;
    std::wstring smartCardHintUpn;
    CORE::SecureWString certLogonPin;
    std::wstring certLogonContainerName;
    CORE::SecureWString whfbCertPin;  // protected
    std::wstring whfbCertCtxId;
    // The "upns" bag's string items with a non-empty value, in order: (principal name, value).
    std::vector<std::pair<std::wstring, std::wstring>> upns;
    size_t upnItemCount = 0;  // every item of the bag, whatever its type
    std::wstring upnsXml;     // the bag as the agent sent it, for the log
};

class Credentials;

// Moving an answer into the credentials record; each road picks the parts it needs.
// The user and domain fall back to the given defaults when the answer names none.
void StoreUser(Credentials& creds, const AgentAnswer& answer, const std::wstring& defaultUser,
               const std::wstring& defaultDomain);
// StoreUser plus the broker's SID of the user and the DNS domain, for certificate logons.
void StoreCertificateAccount(Credentials& creds, const AgentAnswer& answer, const std::wstring& defaultUser,
                             const std::wstring& defaultDomain);
// The CertSSO container and PIN, with a fresh count of attempts.
void StoreCertSso(Credentials& creds, const AgentAnswer& answer);
// The smart card PIN (decrypted), reader, hint and the principal names to search for; false
// (nothing stored) when the PIN does not decrypt.
bool StoreSmartCard(Credentials& creds, const AgentAnswer& answer);
