// The Entra join information of netapi32 (lmjoin.h of the Windows SDK), which mingw's
// headers lack. Only the layout is declared; the functions are resolved at run time.
#pragma once
#include <windows.h>
#include <wincrypt.h>

namespace platform::sdk {

enum DSREG_JOIN_TYPE { DSREG_UNKNOWN_JOIN = 0, DSREG_DEVICE_JOIN = 1, DSREG_WORKPLACE_JOIN = 2 };

struct DSREG_USER_INFO {
    LPWSTR pszUserEmail;
    LPWSTR pszUserKeyId;
    LPWSTR pszUserKeyName;
};

struct DSREG_JOIN_INFO {
    DSREG_JOIN_TYPE joinType;
    PCCERT_CONTEXT pJoinCertificate;
    LPWSTR pszDeviceId;
    LPWSTR pszIdpDomain;
    LPWSTR pszTenantId;
    LPWSTR pszJoinUserEmail;
    LPWSTR pszTenantDisplayName;
    LPWSTR pszMdmEnrollmentUrl;
    LPWSTR pszMdmTermsOfUseUrl;
    LPWSTR pszMdmComplianceUrl;
    LPWSTR pszUserSettingSyncUrl;
    DSREG_USER_INFO* pUserInfo;
};

using NetGetAadJoinInformationFn = HRESULT(WINAPI*)(LPCWSTR tenantId, DSREG_JOIN_INFO** joinInfo);
using NetFreeAadJoinInformationFn = VOID(WINAPI*)(DSREG_JOIN_INFO* joinInfo);

}  // namespace platform::sdk
