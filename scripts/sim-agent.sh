# Sourced by storm.sh and soak.sh: the built tree, its Wine prefix, and the stand-in agent
# answering the brokered password logon (the ticket, CORP\alice, the password protected by its
# key vault), as demo.sh plays it once.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TC_BUILD_DIR:-$root/build}
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all TC_WINE_TIMEOUT=${TC_WINE_TIMEOUT:-3600}
password='Tr0ub4dor&3'
# What logonsim must find in LogonUI's hands after each logon.
logon_args=(--dll tcfiltr_sim.dll --remote 'CORP\alice' --expect-package Negotiate --expect-message 2
            --expect-domain CORP --expect-user alice --expect-secret "$password")

# Windows form of a path in the build tree (Wine's Z: drive).
winpath() { local p="Z:$1"; echo "${p//\//\\}"; }

# The simulated sessions 1..$2 (key TcfiltrSim\<prefix>-<n>, session id 100+n), connected over
# RDP to node manager instance $1: one reg import, as one reg add per value costs a Wine process.
sim_sessions() {
  local instance=$1 count=$2 file="$build/sim-sessions.reg" n
  { printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    for n in $(seq 1 "$count"); do
      printf '[HKEY_LOCAL_MACHINE\\Software\\TcfiltrSim\\%s-%d]\r\n' "$instance" "$n"
      printf '"NodeManagerInstance"="%s"\r\n"SessionId"=dword:%08x\r\n"ClientProtocol"=dword:00000002\r\n\r\n' \
        "$instance" $((100 + n))
    done; } >"$file"
  "$build/wine-run.sh" reg import "$(winpath "$file")" >/dev/null 2>&1
}
sim_key() { echo "Software\\TcfiltrSim\\$1-$2"; }

# Starts agentsim as instance $1 for at most $2 seconds; agent_stop (on exit) ends it.
agent_start() {
  local scenario="$build/sim-agent-scenario.xml"
  cat >"$scenario" <<XML
<PROPERTYBAG>
  <ITEM name="DesktopManager" type="BAG">
    <ITEM name="GetCredentialsForTicket" type="BAG">
      <ITEM name="answer" type="BAG">
        <ITEM name="userName">alice</ITEM>
        <ITEM name="domainName">CORP</ITEM>
        <ITEM name="password">${password//&/&amp;}</ITEM>
      </ITEM>
      <ITEM name="protect">password</ITEM>
    </ITEM>
  </ITEM>
</PROPERTYBAG>
XML
  wineserver -p30 >/dev/null 2>&1 || true
  "$build/wine-run.sh" "$build/bin/agentsim.exe" --instance "$1" --scenario "$(winpath "$scenario")" \
    --time-limit "$2" >"$build/sim-agent.out" 2>&1 &
  agent_pid=$!
  trap agent_stop EXIT
  sleep 3  # its output reaches the file only at its end: give it the time demo.sh gives it
}
agent_stop() {
  # The runner's child is timeout(1), which hands the signal on to agentsim.
  if [ -n "${agent_pid:-}" ]; then
    pkill -TERM -P "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" 2>/dev/null || true
  fi
  agent_pid=
}

# Nearest-rank percentile $1 (0..1) of the numbers on stdin.
percentile() { sort -n | awk -v f="$1" '{ v[NR] = $1 } END { r = int(f * NR + 0.999999); if (r < 1) r = 1; print (NR ? v[r] : 0) }'; }
