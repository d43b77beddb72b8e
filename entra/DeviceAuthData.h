// The device's identity for one Entra SSO request: its id, a fresh server nonce and the P2P
// certificate that the signed request carries.
#pragma once
#include <windows.h>

#include <string>

namespace EntraAuth {

// S_OK with `enabled` false when this machine cannot serve Entra SSO (readiness bits 1, 2, 4);
// otherwise the device id and a nonce, failing when either is empty.
HRESULT GetDeviceIdAndNonce(bool* enabled, std::wstring* deviceId, std::wstring* nonce,
                            const std::wstring& correlationId);

// The device id, nonce and the P2P signing certificate as base64 text; false when any is missing.
bool GetDeviceAadAuthData(const std::wstring& correlationId, std::wstring* deviceId, std::wstring* nonce,
                          std::wstring* certificate);

}  // namespace EntraAuth
