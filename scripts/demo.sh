#!/usr/bin/env bash
# The main job: builds everything, then plays one brokered RDP logon end to end. The stand-in
# agent (agentsim) answers the ticket with the user's password, protected with its key vault;
# the stand-in LogonUI (logonsim) hands the client's credential to the simulation build of the
# module, takes the tile's serialization, decodes it and checks it. Every step is printed.
#   --smartcard: the smart card road instead. The agent hands the card's PIN, the redirected
#   reader and the user's UPN; the simulated card holds three certificates, one of them alice's;
#   LogonUI receives a Kerberos certificate logon naming that card's container.
set -euo pipefail
road=${1:-password}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TC_BUILD_DIR:-$root/build}
"$root/scripts/build.sh" >/dev/null
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
run() { "$build/wine-run.sh" "$@"; }
wineserver -p >/dev/null 2>&1 || true

instance=demo$$
sim='HKLM\Software\TcfiltrSim'
# The simulated machine: session 2, connected over RDP, its node manager instance.
run reg add "$sim" /v SessionId /t REG_DWORD /d 2 /f >/dev/null
run reg add "$sim" /v ClientProtocol /t REG_DWORD /d 2 /f >/dev/null
run reg add "$sim" /v NodeManagerInstance /t REG_SZ /d "$instance" /f >/dev/null

run reg delete "$sim\Cards" /f >/dev/null 2>&1 || true
run reg delete "$sim\Directory" /f >/dev/null 2>&1 || true
scenario="$build/demo-scenario.xml"
if [ "$road" = --smartcard ]; then
  # The card in the redirected reader (containers in name order) and the directory's account.
  reader="$sim\Cards\Readers\0"
  run reg add "$reader" /v Name /t REG_SZ /d 'Redirected Reader 1' /f >/dev/null
  run reg add "$reader" /v CardType /t REG_SZ /d 'Demo Card' /f >/dev/null
  run reg add "$reader" /v Ksp /t REG_SZ /d 'Microsoft Smart Card Key Storage Provider' /f >/dev/null
  run reg add "$reader" /v Atr /t REG_BINARY /d 3B8F8001 /f >/dev/null
  n=0
  for cert in expired rfc822 upn; do
    run reg add "$reader\Containers\\$n" /v KeyName /t REG_SZ /d "card-$cert" /f >/dev/null
    run reg add "$reader\Containers\\$n" /v Certificate /t REG_BINARY \
      /d "$(od -An -v -tx1 "$root/tests/sso/certs/$cert.der" | tr -d ' \n')" /f >/dev/null
    n=$((n + 1))
  done
  account="$sim\Directory\Accounts\alice"
  run reg add "$account" /v Sid /t REG_SZ /d S-1-5-21-7-7-7-1104 /f >/dev/null
  run reg add "$account" /v Name /t REG_SZ /d alice /f >/dev/null
  run reg add "$account" /v Domain /t REG_SZ /d CORP /f >/dev/null
  cat >"$scenario" <<'XML'
<PROPERTYBAG>
  <ITEM name="DesktopManager" type="BAG">
    <ITEM name="GetCredentialsForTicket" type="BAG">
      <ITEM name="answer" type="BAG">
        <ITEM name="smartCardPIN">482913</ITEM>
        <ITEM name="smartCardReader">Redirected Reader 1</ITEM>
        <ITEM name="BROKERUSERSID">S-1-5-21-7-7-7-1104</ITEM>
        <ITEM name="upns" type="BAG"><ITEM name="alice@corp.example">1</ITEM></ITEM>
      </ITEM>
      <ITEM name="protect">smartCardPIN</ITEM>
    </ITEM>
  </ITEM>
</PROPERTYBAG>
XML
else
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
fi

if [ "$road" = --smartcard ]; then
  echo "== agent: answers the ticket T-card with the PIN of the card in 'Redirected Reader 1' (protected) and alice's UPN"
else
  echo "== agent: answers the broker's ticket T-8812 for CORP\\alice (password protected by its key vault)"
fi
TC_WINE_TIMEOUT=120 "$build/wine-run.sh" "$build/bin/agentsim.exe" --instance "$instance" \
  --scenario "Z:${scenario//\//\\}" --time-limit 90 >/dev/null 2>&1 &
agent=$!
trap 'kill $agent 2>/dev/null || true; wait $agent 2>/dev/null || true; wineserver -k >/dev/null 2>&1 || true' EXIT
sleep 2

if [ "$road" = --smartcard ]; then
  echo "== LogonUI: an RDP client with a redirected smart card reader connects with the ticket"
  run "$build/bin/logonsim.exe" --dll tcfiltr_sim.dll --ticket T-card --expect-package Kerberos --expect-message 13 \
    --expect-user alice --expect-container card-upn --expect-secret 482913
  exit
fi
echo "== LogonUI: an RDP client connects with CORP\\alice and the ticket in its password field"
run "$build/bin/logonsim.exe" --dll tcfiltr_sim.dll --remote 'CORP\alice' --ticket T-8812 \
  --expect-package Negotiate --expect-message 2 --expect-domain CORP --expect-user alice \
  --expect-secret 'Tr0ub4dor&3'
