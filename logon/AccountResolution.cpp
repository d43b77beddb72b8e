#include "AccountResolution.h"

#include "lib/mfw/common/log/SysMessage.h"

// Placeholder until account resolution is written: every certificate logon that needs it goes
// out without user and domain hints, which the Kerberos package accepts (it maps the
// certificate itself). The real body replaces this one; the signature stays.
bool GetCredentialsFromUPN(bool, PCWSTR, PCWSTR, bool, std::wstring* userName, std::wstring* domainName) {
    if (userName) userName->clear();
    if (domainName) domainName->clear();
    CORE::LogMessage(CORE::LOG_ERROR, L"GetCredentialsFromUPN(): account resolution is not available");
    ::SetLastError(ERROR_INVALID_DATA);
    return false;
}
