#include "Credentials.h"

#include "SmartCardSearch.h"

#include "base/OfflineChannel.h"
#include "base/SessionInfo.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/log/SysMessage.h"

using namespace CORE;
using SysMsgUtl::FunctionTraceWithSessionId;

namespace {
Credentials g_credentials;
}

Credentials& TheCredentials() noexcept { return g_credentials; }

std::wstring CertSsoUnlockEventName(const std::wstring& sessionGuid) {
    return L"Global\\Velmora.Zephral.CredProvCertSsoUnlockEvent." + sessionGuid;
}

DWORD CertSsoNotificationTimeoutMs() {
    return ReadConfigUInt(L"\\Agent\\Configuration\\CertSSOCredNotifTimeout", L"45000");
}

Credentials::Credentials() noexcept {
    m_entraAuthRdpAssertionComplete.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_entraAuthRdpAssertionComplete)
        LogMessage(LOG_ERROR, L"Credentials::Credentials(): CreateEvent failed, gle=%d", static_cast<int>(::GetLastError()));
}

Credentials::~Credentials() {
    ClearCredentials(true);
    certLogon.ClearEvent();
}

void Credentials::ClearCredentials(bool quiet) noexcept {
    if (!quiet) LogMessage(LOG_TRACE, L"%s(): Enter", L"Credentials::ClearCredentials");
    userName.clear();
    domainName.clear();
    password.Wipe();
    brokerUserSid.clear();
    dnsDomainName.clear();
    smartCardPin.Wipe();
    upnList.clear();
    smartCardReader.clear();
    cardName.clear();
    containerName.clear();
    providerName.clear();
    ticketFound = false;
    credentialsAvailable = false;
    reportErrors = false;
    if (entraContext) entraContext->WipeAssertion();
    unauthUserName.clear();
    unauthPassword.Wipe();
    activityCount = 0;
    whfbCertPin.Wipe();
    certLogon.pin.Wipe();
    certLogon.containerName.clear();
    if (m_entraAuthRdpAssertionComplete) ::ResetEvent(m_entraAuthRdpAssertionComplete.get());
    if (!quiet) LogMessage(LOG_TRACE, L"%s(): Exit", L"Credentials::ClearCredentials");
}

DWORD Credentials::FindSmartCardCertificate() {
    FunctionTraceWithSessionId trace("Credentials::FindSmartCardCertificate");
    DWORD activity = 0;
    DWORD status = ::FindSmartCardCertificate(upnList, std::wstring(), smartCardReader, cardName, containerName,
                                              providerName, &activity, &keySpec);
    if (status == 0) {
        LogMessage(LOG_DEBUG, L"Credentials::FindSmartCardCertificate(): Successfully found smart card certificate.");
        activityCount = activity;
    } else {
        LogMessage(LOG_DEBUG,
                   L"Credentials::FindSmartCardCertificate(): Unable to find certificate with the specified user "
                   L"principal name. - 0x%08X",
                   static_cast<unsigned>(status));
        smartCardPin.Wipe();
        credentialsAvailable = false;
    }
    return status;
}

bool Credentials::WaitForCertSsoUnlockEvent(PropertyBag& response) {
    FunctionTraceWithSessionId trace("Credentials::WaitForCertSsoUnlockEvent");
    return certLogon.WaitForCertSsoUnlockEvent(response);
}

void Credentials::WaitForClientEntraAuthCompletion() {
    FunctionTraceWithSessionId trace("Credentials::WaitForClientEntraAuthCompletion");
    if (!entraContext) {
        LogMessage(LOG_ERROR, L"WaitForClientEntraAuthCompletion(): [EntraAuth] Null entra auth context");
        return;
    }
    if (entraContext->GetStatus() != E_PENDING) return;
    if (!m_entraAuthRdpAssertionComplete) {
        LogMessage(LOG_ERROR, L"WaitForClientEntraAuthCompletion(): [EntraAuth] m_entraAuthRdpAssertionComplete is NULL");
        return;
    }
    DWORD wait = ::WaitForSingleObject(m_entraAuthRdpAssertionComplete.get(), CertSsoNotificationTimeoutMs());
    if (wait == WAIT_OBJECT_0)
        LogMessage(LOG_DEBUG, L"WaitForClientEntraAuthCompletion(): [EntraAuth] SSO completion signaled.");
    else
        LogMessage(LOG_DEBUG, L"WaitForClientEntraAuthCompletion(): [EntraAuth] SSO timed out");
}

void Credentials::OnEntraAuthComplete() noexcept {
    OfflineChannel* channel = PeekOfflineChannel();
    if (!channel || !credentialsAvailable) return;
    // A request that failed leaves nothing to sign on with: the tile goes at the re-enumeration.
    const HRESULT status = entraContext ? entraContext->GetStatus() : S_OK;
    if (status != S_OK && status != E_PENDING) credentialsAvailable = false;
    LogMessage(LOG_DEBUG, L"[EntraAuth] Signaling SSO retry");
    if (m_entraAuthRdpAssertionComplete) ::SetEvent(m_entraAuthRdpAssertionComplete.get());
    channel->RequestSSORetry();
}
