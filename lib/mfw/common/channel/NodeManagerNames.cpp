#include "lib/mfw/common/channel/NodeManagerNames.h"

#include "platform/Platform.h"

namespace CORE {

NodeManagerNames NodeManagerNames::ForInstance(const std::wstring& instance) {
    NodeManagerNames names;
    names.base = L"Velmora.Zephral.NodeManager";
    if (!instance.empty()) names.base += L"." + instance;
    return names;
}

NodeManagerNames NodeManagerNames::Current() { return ForInstance(platform::Get().NodeManagerInstance()); }

std::wstring SeqString(DWORD clientPid, DWORD seqNo) { return std::to_wstring(clientPid) + L"-" + std::to_wstring(seqNo); }

std::wstring ChallengeEventName(const std::wstring& challenge) { return L"Global\\VUR_MESSAGECHANNEL_" + challenge; }

}  // namespace CORE
