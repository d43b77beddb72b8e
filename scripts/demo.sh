#!/usr/bin/env bash
# The main job: builds everything, then plays one logon with the stand-in LogonUI against the
# simulation build of the module, and prints each step.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TC_BUILD_DIR:-$root/build}
"$root/scripts/build.sh" >/dev/null
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
run() { "$build/wine-run.sh" "$@"; }
# The simulated session: an RDP session 2 on a Windows 10 machine.
run reg add 'HKLM\Software\TcfiltrSim' /v SessionId /t REG_DWORD /d 2 /f >/dev/null
run reg add 'HKLM\Software\TcfiltrSim' /v ClientProtocol /t REG_DWORD /d 2 /f >/dev/null
echo "== LogonUI stand-in against tcfiltr_sim.dll (RDP session 2, no agent yet)"
run "$build/bin/logonsim.exe" --dll tcfiltr_sim.dll --expect-tiles 0
