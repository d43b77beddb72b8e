#include "DeviceAuthData.h"

#include "AadJoinUtil.h"
#include "CloudApHelper.h"
#include "EntraFailure.h"
#include "P2PJoinedCertUtils.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <wincrypt.h>

#include <climits>
#include <vector>

namespace EntraAuth {
namespace {

constexpr DWORD kBase64NoLineBreaks = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;

std::wstring Base64(const std::vector<BYTE>& data) {
    ENTRA_FAIL_IF(data.size() > ULONG_MAX / 2, HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW),
                  L"CryptBinaryToString failed");
    DWORD chars = 0;
    ENTRA_FAIL_IF(!::CryptBinaryToStringW(data.data(), static_cast<DWORD>(data.size()), kBase64NoLineBreaks, nullptr,
                                          &chars),
                  LastErrorResult(), L"CryptBinaryToString failed");
    std::wstring text(chars, L'\0');
    ENTRA_FAIL_IF(!::CryptBinaryToStringW(data.data(), static_cast<DWORD>(data.size()), kBase64NoLineBreaks,
                                          text.data(), &chars),
                  LastErrorResult(), L"CryptBinaryToString failed");
    text.resize(chars);  // without the terminator
    return text;
}

void Check(HRESULT hr, const wchar_t* step) { ENTRA_FAIL_IF(FAILED(hr), hr, L"%ls", step); }

}  // namespace

HRESULT GetDeviceIdAndNonce(bool* enabled, std::wstring* deviceId, std::wstring* nonce,
                            const std::wstring& correlationId) {
    try {
        ENTRA_FAIL_IF(!enabled || !deviceId || !nonce, E_INVALIDARG, L"output cannot be null");
        *enabled = false;
        deviceId->clear();
        nonce->clear();
        if (!IsRdsAadAuthEnabled(7, false)) return S_OK;
        *enabled = true;
        CloudApHelper cloudAp;
        Check(cloudAp.Initialize(correlationId), L"cloudAp.Initialize");
        Check(cloudAp.GetDeviceNonce(nonce), L"cloudAp.GetDeviceNonce");
        ENTRA_FAIL_IF(nonce->empty(), E_FAIL, L"Device nonce is empty");
        *deviceId = AadJoinUtil().GetDeviceId();
        ENTRA_FAIL_IF(deviceId->empty(), E_FAIL, L"DeviceId is empty");
        CORE::LogMessage(CORE::LOG_DEBUG,
                         L"[EntraAuth] EntraAuth::GetDeviceIdAndNonce: deviceId=%ls, hasNonce=%ls, enabled=True)",
                         deviceId->c_str(), nonce->empty() ? L"False" : L"True");
        return S_OK;
    } catch (...) {
        return ResultOfCaught();
    }
}

bool GetDeviceAadAuthData(const std::wstring& correlationId, std::wstring* deviceId, std::wstring* nonce,
                          std::wstring* certificate) {
    try {
        if (!deviceId || !nonce || !certificate) return false;
        certificate->clear();
        bool enabled = false;
        if (FAILED(GetDeviceIdAndNonce(&enabled, deviceId, nonce, correlationId)) || !enabled) return false;
        P2PJoinedCertUtils certs(*deviceId);
        if (!certs.IsP2PCertAvailable()) {
            CORE::LogMessage(CORE::LOG_ERROR, L"[EntraAuth] EntraAuth::GetDeviceAadAuthData: IsP2PCertAvailable is FALSE");
            return false;
        }
        std::vector<BYTE> encoded;
        DWORD encodingType = 0;
        if (FAILED(certs.GetP2PSigningCert(&encoded, &encodingType)) || encoded.empty()) {
            CORE::LogMessage(CORE::LOG_ERROR,
                             L"[EntraAuth] EntraAuth::GetDeviceAadAuthData: certData container is empty.");
            return false;
        }
        *certificate = Base64(encoded);
        return !certificate->empty();
    } catch (...) {
        CaughtResult("EntraAuth::GetDeviceAadAuthData");
        return false;
    }
}

}  // namespace EntraAuth
