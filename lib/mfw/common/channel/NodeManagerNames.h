// The names under which the node manager and this library meet: the RPC endpoint of the
// initiate request, the legacy connect objects and the objects of one connection. They all
// derive from one base name, so a test instance (platform NodeManagerInstance) never meets
// the product's or another test's.
//
//   base                 "Velmora.Zephral.NodeManager" [+ "." + instance]
//   RPC endpoint         base (protocol sequence "ncalrpc")
//   legacy connect       "Global\<base>.Legacy.Lock"     mutex, held by one connecting client
//                        "Global\<base>.Legacy.Section"  section of one LegacyConnectBlock
//                        "Global\<base>.Legacy.Request"  event: the client filled the block
//                        "Global\<base>.Legacy.Reply"    event: the server answered in the block
//   one connection       "Global\<base>.Conn.<seq>.Map"  and the events ".C2S", ".S2C" (data
//                        written), ".C2SSpace", ".S2CSpace" (room made), where <seq> is
//                        "<client pid>-<sequence number>"
//   challenge events     "Global\VUR_MESSAGECHANNEL_<name>"
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

namespace CORE {

struct NodeManagerNames {
    std::wstring base;
    std::wstring RpcEndpoint() const { return base; }
    std::wstring LegacyLock() const { return L"Global\\" + base + L".Legacy.Lock"; }
    std::wstring LegacySection() const { return L"Global\\" + base + L".Legacy.Section"; }
    std::wstring LegacyRequest() const { return L"Global\\" + base + L".Legacy.Request"; }
    std::wstring LegacyReply() const { return L"Global\\" + base + L".Legacy.Reply"; }
    std::wstring Connection(const std::wstring& seq) const { return L"Global\\" + base + L".Conn." + seq; }

    // The names of the instance the platform names.
    static NodeManagerNames ForInstance(const std::wstring& instance);
    static NodeManagerNames Current();
};

std::wstring SeqString(DWORD clientPid, DWORD seqNo);
std::wstring ChallengeEventName(const std::wstring& challenge);

// The legacy connect block, in the section; one client at a time fills it under the lock.
struct LegacyConnectBlock {
    static constexpr uint32_t kMagic = 0x54434C43;  // "TCLC"
    static constexpr uint32_t kVersion = 1;
    uint32_t magic;
    uint32_t version;    // of the client
    uint32_t clientPid;
    uint32_t seqNo;      // chosen by the client
    uint32_t global;     // 1: objects in the global namespace
    uint32_t status;     // answer: 0 accepted, else a Win32 error
    uint32_t serverPid;  // answer
    uint32_t reserved;
};

}  // namespace CORE
