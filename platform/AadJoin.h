// The device's Entra join state as the seam hands it out: the few fields of netapi32's join
// information that the device identity uses, copied so no netapi32 memory outlives the call.
#pragma once
#include <windows.h>

#include <optional>
#include <string>

namespace platform {

struct AadJoinInfo {
    DWORD joinType = 0;  // DSREG_JOIN_TYPE: 1 joined, 2 only registered
    std::optional<std::wstring> deviceId;
    std::optional<std::wstring> userEmail;        // the join user's information, when it has an e-mail
    std::optional<std::wstring> joinUserEmail;    // the e-mail the device was joined with
};

// NetGetAadJoinInformation(NULL) from netapi32, resolved at run time (Wine and older systems
// lack it: HRESULT_FROM_WIN32 of the loader's error). S_OK with `present` false when the call
// reports no join information at all.
HRESULT ReadAadJoinInformation(AadJoinInfo* info, bool* present);

}  // namespace platform
