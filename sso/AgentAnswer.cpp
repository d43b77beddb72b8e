#include "AgentAnswer.h"

#include "AgentRequests.h"
#include "Credentials.h"
#include "SecurityManager.h"

#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "lib/mfw/common/util/TextRules.h"

using CORE::PropertyBag;

namespace {

std::optional<std::wstring> Optional(const PropertyBag& bag, const wchar_t* name) {
    if (bag.TypeOf(name) != PropertyBag::ITEM_STRING) return std::nullopt;
    return bag.Get(name);
}

}  // namespace

AgentAnswer AgentAnswer::Read(const PropertyBag& bag) {
    AgentAnswer answer;
    answer.nonSsoTicket = CORE::ParseBool(bag.Get(L"nonSSOticket", L"false"));
    answer.expired = CORE::ParseBool(bag.Get(L"expired", L"false"));
    answer.reportErrors = CORE::ParseBool(bag.Get(L"REPORTERRORS"));
    answer.hasEntra = bag.TypeOf(L"ENTRAAUTH") == PropertyBag::ITEM_BAG;
    if (answer.hasEntra) answer.entra = bag.GetBag(L"ENTRAAUTH");
    answer.userName = Optional(bag, L"userName");
    answer.domainName = Optional(bag, L"domainName");
    answer.dnsDomainName = bag.Get(L"dnsDomainName");
    answer.brokerUserSid = bag.Get(L"BROKERUSERSID");
    answer.certificateSsoId = bag.Get(L"CERTIFICATESSOID");
    answer.unauthUserName = bag.Get(L"unauthUserName");
    answer.unauthPassword = bag.GetSecret(L"unauthPassword");
    answer.password = bag.GetSecret(L"password");
    answer.smartCardPin = bag.GetSecret(L"smartCardPIN");
    answer.smartCardReader = bag.Get(L"smartCardReader");
    answer.smartCardHintUpn = bag.Get(L"smartCardHintUpn");
    answer.certLogonPin = bag.GetSecret(L"certLogonPin");
    answer.certLogonContainerName = bag.Get(L"certLogonContainerName");
    answer.whfbCertPin = bag.GetSecret(L"whfbCertPin");
    answer.whfbCertCtxId = bag.Get(L"whfbCertCtxId");
    answer.hasUpnBag = bag.TypeOf(L"upns") == PropertyBag::ITEM_BAG;
    if (answer.hasUpnBag) {
        const PropertyBag upns = bag.GetBag(L"upns");
        answer.upnItemCount = upns.Count();
        answer.upnsXml = upns.ToXml(PropertyBag::XML_ESCAPE_NONE);
        for (size_t i = 0; i < upns.Count(); ++i) {
            if (upns.GetTypeAt(i) != PropertyBag::ITEM_STRING || upns.GetStringAt(i).empty()) continue;
            answer.upns.emplace_back(upns.GetNameAt(i), upns.GetStringAt(i));
        }
    }
    return answer;
}

void StoreUser(Credentials& creds, const AgentAnswer& answer, const std::wstring& defaultUser,
               const std::wstring& defaultDomain) {
    creds.userName = answer.userName.value_or(defaultUser);
    creds.domainName = answer.domainName.value_or(defaultDomain);
}

void StoreCertificateAccount(Credentials& creds, const AgentAnswer& answer, const std::wstring& defaultUser,
                             const std::wstring& defaultDomain) {
    creds.brokerUserSid = answer.brokerUserSid;
    creds.dnsDomainName = answer.dnsDomainName;
    StoreUser(creds, answer, defaultUser, defaultDomain);
}

void StoreCertSso(Credentials& creds, const AgentAnswer& answer) {
    creds.certLogon.pin = answer.certLogonPin;
    creds.certLogon.containerName = answer.certLogonContainerName;
    creds.certLogon.attemptsLeft = GetCertSsoAttempts();
}

bool StoreSmartCard(Credentials& creds, const AgentAnswer& answer) {
    creds.smartCardPin = DecryptProtectedPayload(answer.smartCardPin.view());
    // Without its PIN the card can sign nothing: no other logon may take its place.
    if (creds.smartCardPin.empty()) {
        CORE::LogMessage(CORE::LOG_ERROR, L"StoreSmartCard(): the smart card PIN could not be decrypted");
        return false;
    }
    creds.smartCardReader = answer.smartCardReader;
    creds.smartCardHintUpn = answer.smartCardHintUpn;
    creds.upnList.clear();
    for (const auto& upn : answer.upns) creds.upnList.push_back(upn.first);
    return true;
}
