// The device's Entra join state and device id, read once per object through the platform seam
// (netapi32's NetGetAadJoinInformation, which Wine and older systems lack: "not joined").
#pragma once
#include "platform/AadJoin.h"

#include <string>

namespace EntraAuth {

class AadJoinUtil {
public:
    AadJoinUtil();
    virtual ~AadJoinUtil() = default;
    AadJoinUtil(const AadJoinUtil&) = delete;
    AadJoinUtil& operator=(const AadJoinUtil&) = delete;

    // Joined means a device join (type 1); a device that is only registered is not joined.
    bool IsJoined() const { return joined_; }
    // The join information's device id when joined, else empty.
    std::wstring GetDeviceId() const;

private:
    platform::AadJoinInfo info_;
    bool joined_ = false;
};

}  // namespace EntraAuth
