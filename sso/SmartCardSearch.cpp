#include "SmartCardSearch.h"

#include "lib/mfw/common/log/SysMessage.h"

// The search through the smart card service is not part of this build: every search reports
// that the service is unavailable, so smart card material never yields a tile.
DWORD FindSmartCardCertificate(const std::vector<std::wstring>&, const std::wstring&, std::wstring&, std::wstring&,
                               std::wstring&, std::wstring&, DWORD* activityCount, DWORD* keySpec) {
    if (activityCount) *activityCount = 0;
    if (keySpec) *keySpec = 0;
    CORE::LogMessage(CORE::LOG_DEBUG, L"FindSmartCardCertificate: smart card search is not available in this build.");
    return 0x8010001D;  // SCARD_E_NO_SERVICE
}
