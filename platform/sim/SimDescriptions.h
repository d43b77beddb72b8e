// The simulated smart card service and directory, read from the simulation's registry key
// (SimPlatform.h) once per process:
//   Cards                       absent: the system has no smart card service
//     Running, StartsAfterMs    REG_DWORD (Running 0: installed but never started)
//     Readers\<any>             one reader per subkey, in the order of the subkey names:
//       Name, CardType, Csp, Ksp REG_SZ; State REG_DWORD (default SCARD_STATE_PRESENT); Atr REG_BINARY
//       Containers\<any>        KeyName REG_SZ, Certificate REG_BINARY (DER), LegacyKeySpec REG_DWORD
//   Directory                   absent: the system's own account lookups
//     Accounts\<any>            Sid, Name, Domain REG_SZ; Upn REG_SZ (optional): the UPN's account
//     DcDomains                 REG_SZ values: NetBIOS domain name -> DNS name
//     Canonical                 REG_SZ values: "DOMAIN\" -> canonical name
#pragma once
#include "../cardsim/DataCardService.h"
#include "../dirsim/DataDirectory.h"

#include <optional>

namespace platform::sim {

cardsim::CardServiceDescription ReadCardDescription();
std::optional<dirsim::DirectoryDescription> ReadDirectoryDescription();

}  // namespace platform::sim
