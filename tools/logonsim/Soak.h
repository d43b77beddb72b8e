// Many logons in this one process against the DLL loaded once, as LogonUI keeps it: per window of
// logons one line with the latency percentiles and what the process holds, for a leak or a drift
// to show.
#pragma once
#include "LogonUiSession.h"

#include <functional>

namespace logonsim {

// Prints "BASELINE ..." before the first logon, then per `window` logons
//   WINDOW index=I logons=N failures=F remote_p50_ms=.. remote_p99_ms=.. logon_p50_ms=..
//          logon_p99_ms=.. handles=H private_kb=P threads=T
// `onFailure` sees each failed logon's outcome. Returns the number of failed logons.
int RunSoak(const Options& options, int count, int window, const std::function<void(const Outcome&)>& onFailure);

}  // namespace logonsim
