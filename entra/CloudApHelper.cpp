#include "CloudApHelper.h"

#include "AadJoinUtil.h"
#include "CloudApHelperLsass.h"
#include "CloudApHelperWTSAPI.h"
#include "EntraFailure.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/log/SysMessage.h"

namespace EntraAuth {
namespace {

// Readiness bits remembered for the process; only successes are kept.
SRWLOCK g_readyLock = SRWLOCK_INIT;
DWORD g_readyBits = 0;

struct ExclusiveSrw {
    explicit ExclusiveSrw(SRWLOCK* lock) : lock_(lock) { ::AcquireSRWLockExclusive(lock_); }
    ~ExclusiveSrw() { ::ReleaseSRWLockExclusive(lock_); }
    ExclusiveSrw(const ExclusiveSrw&) = delete;
    ExclusiveSrw& operator=(const ExclusiveSrw&) = delete;
    SRWLOCK* lock_;
};

bool CheckReadiness(DWORD bit) {
    switch (bit) {
    case 1: return AadJoinUtil().IsJoined();
    case 2: return CanGetDeviceNonce();
    case 4: return CORE::ReadConfigBool(L"\\Agent\\Configuration\\RdsAadAuthEnabled", L"true");
    case 8: return CORE::ReadConfigBool(L"\\Agent\\Configuration\\XMLAPI\\RdsAadAuthEnabled", L"false");
    default: return false;
    }
}

}  // namespace

CloudApHelper::CloudApHelper() {
    try {
        impl_ = std::make_unique<CloudApHelperWTSAPI>();
    } catch (...) {
        // The LSA road decides at Initialize whether policy allows it.
        impl_ = std::make_unique<CloudApHelperLsass>();
    }
}

bool CanGetDeviceNonce() {
    try {
        CloudApHelper helper;
        HRESULT hr = helper.Initialize(std::wstring());
        if (FAILED(hr)) {
            CORE::LogMessage(CORE::LOG_INFO,
                             L"[EntraAuth] EntraAuth::CanGetDeviceNonce: CloudApHelper Initialize failed with hr=%x",
                             static_cast<unsigned>(hr));
            return false;
        }
        std::wstring nonce;
        hr = helper.GetDeviceNonce(&nonce);
        if (FAILED(hr) || nonce.empty()) {
            CORE::LogMessage(CORE::LOG_DEBUG,
                             L"[EntraAuth] EntraAuth::CanGetDeviceNonce: Failed to generate nonce; EntraAuth not "
                             L"supported (hr = %x)",
                             static_cast<unsigned>(hr));
            return false;
        }
        CORE::LogMessage(CORE::LOG_DEBUG, L"[EntraAuth] EntraAuth::CanGetDeviceNonce: Desktop SUPPORTS EntraAuth");
        return true;
    } catch (...) {
        CaughtResult("EntraAuth::CanGetDeviceNonce");
        return false;
    }
}

bool IsRdsAadAuthEnabled(DWORD mask, bool refresh) {
    if (mask == 0) return false;
    ExclusiveSrw guard(&g_readyLock);
    if (refresh) g_readyBits = 0;
    for (DWORD bit : {1u, 2u, 4u, 8u}) {
        if (!(mask & bit) || (g_readyBits & bit)) continue;
        if (!CheckReadiness(bit)) return false;
        g_readyBits |= bit;
    }
    return (g_readyBits & mask) == mask;
}

}  // namespace EntraAuth
