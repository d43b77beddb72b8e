#!/usr/bin/env bash
# The main job: builds everything, then plays one brokered RDP logon end to end. The stand-in
# agent (agentsim) answers the ticket with the user's password, protected with its key vault;
# the stand-in LogonUI (logonsim) hands the client's credential to the simulation build of the
# module, takes the tile's serialization, decodes it and checks it. Every step is printed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TC_BUILD_DIR:-$root/build}
"$root/scripts/build.sh" >/dev/null
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
run() { "$build/wine-run.sh" "$@"; }
wineserver -p >/dev/null 2>&1 || true

instance=demo$$
# The simulated machine: session 2, connected over RDP, its node manager instance.
run reg add 'HKLM\Software\TcfiltrSim' /v SessionId /t REG_DWORD /d 2 /f >/dev/null
run reg add 'HKLM\Software\TcfiltrSim' /v ClientProtocol /t REG_DWORD /d 2 /f >/dev/null
run reg add 'HKLM\Software\TcfiltrSim' /v NodeManagerInstance /t REG_SZ /d "$instance" /f >/dev/null

scenario="$build/demo-scenario.xml"
cat >"$scenario" <<'XML'
<PROPERTYBAG>
  <ITEM name="DesktopManager" type="BAG">
    <ITEM name="GetCredentialsForTicket" type="BAG">
      <ITEM name="answer" type="BAG">
        <ITEM name="userName">alice</ITEM>
        <ITEM name="domainName">CORP</ITEM>
        <ITEM name="password">Tr0ub4dor&amp;3</ITEM>
      </ITEM>
      <ITEM name="protect">password</ITEM>
    </ITEM>
  </ITEM>
</PROPERTYBAG>
XML

echo "== agent: answers the broker's ticket T-8812 for CORP\\alice (password protected by its key vault)"
TC_WINE_TIMEOUT=120 "$build/wine-run.sh" "$build/bin/agentsim.exe" --instance "$instance" \
  --scenario "Z:${scenario//\//\\}" --time-limit 90 >/dev/null 2>&1 &
agent=$!
trap 'kill $agent 2>/dev/null || true; wait $agent 2>/dev/null || true; wineserver -k >/dev/null 2>&1 || true' EXIT
sleep 2

echo "== LogonUI: an RDP client connects with CORP\\alice and the ticket in its password field"
run "$build/bin/logonsim.exe" --dll tcfiltr_sim.dll --remote 'CORP\alice' --ticket T-8812 \
  --expect-package Negotiate --expect-message 2 --expect-domain CORP --expect-user alice \
  --expect-secret 'Tr0ub4dor&3'
