#!/usr/bin/env bash
# Soak: COUNT brokered password logons (default 10000) in one LogonUI stand-in process with the
# module loaded once, as LogonUI keeps it, each with new class objects and instances, against
# one agent stand-in. Per 1,000 logons (a tenth of COUNT when it is smaller): the agent round trip (the filter's UpdateRemoteCredential)
# and the whole logon, p50 and p99, and what the process holds: handles (the system handle
# table), private memory, threads. These must stay flat, the latency must not drift.
#   scripts/soak.sh [COUNT]
# Figures: build/soak/soak.dat, docs/soak-latency.svg, docs/soak-resources.svg.
set -euo pipefail
source "$(dirname "$0")/sim-agent.sh"
count=${1:-10000}
window=$((count < 10000 ? (count + 9) / 10 : 1000))
"$root/scripts/deps.sh" plot
"$root/scripts/build.sh" logonsim agentsim >/dev/null
out="$build/soak"
rm -rf "$out" && mkdir -p "$out"

instance=soak$$
sim_sessions "$instance" 1
agent_start "$instance" 7200
status=0
TCFILTR_SIM_KEY=$(sim_key "$instance" 1) "$build/wine-run.sh" "$build/bin/logonsim.exe" "${logon_args[@]}" \
  --ticket T-soak --repeat "$count" --window "$window" >"$out/soak.txt" 2>&1 || status=$?
agent_stop

grep -E '^(BASELINE|WINDOW)' "$out/soak.txt" | sed 's/^BASELINE/WINDOW index=0/' |
  awk '{ line = ""; for (i = 2; i <= NF; ++i) { split($i, kv, "="); line = line (i > 2 ? " " : "") kv[2] } print line }' \
  >"$out/soak.raw"
# index logons failures remote_p50 remote_p99 logon_p50 logon_p99 handles private_kb threads;
# the baseline (index 0, before the first logon) holds only the last three.
awk 'NF == 4 { print 0, 0, 0, "-", "-", "-", "-", $1, $2, $3; next } { print }' "$out/soak.raw" >"$out/soak.dat"
grep -E '^(SOAK|  !!|RESULT)' "$out/soak.txt" | head -20 || true
awk 'NR == 2 { h = $8; p = $9; t = $10 } $1 > 0 { n++; f += $3 }
     END { printf "windows %d of %d logons, %d failed; after the first window to the last: handles %+d, private memory %+d KB, threads %+d\n",
           n, '"$window"', f, $8 - h, $9 - p, $10 - t }' "$out/soak.dat"
awk '$1 > 0 { printf "  window %2d: agent round trip p50 %6.2f ms p99 %6.2f ms, logon p50 %6.2f ms p99 %6.2f ms, handles %d, private %d KB, threads %d\n", $1, $4, $5, $6, $7, $8, $9, $10 }' "$out/soak.dat"

plot() {
  gnuplot <<GP
set terminal svg size 760,440 dynamic font 'sans,12' background '#ffffff'
set xlabel 'logons (thousands)'
set grid
set key outside bottom center horizontal
set datafile missing '-'
$1
GP
}
plot "set output '$root/docs/soak-latency.svg'
set title 'Soak: $count logons in one process, p50/p99 per $window-logon window'
set ylabel 'milliseconds'
set yrange [0:*]
plot '$out/soak.dat' using (\$1*$window/1000.0):4 every ::1 with linespoints pt 7 title 'agent round trip p50', \
     '' using (\$1*$window/1000.0):5 every ::1 with linespoints pt 5 title 'agent round trip p99', \
     '' using (\$1*$window/1000.0):6 every ::1 with linespoints pt 6 dt 2 title 'whole logon p50', \
     '' using (\$1*$window/1000.0):7 every ::1 with linespoints pt 4 dt 2 title 'whole logon p99'"
plot "set output '$root/docs/soak-resources.svg'
set title 'Soak: what the LogonUI stand-in holds, before the first logon and after each window'
set ylabel 'handles, threads'
set y2label 'private memory (MB)'
set ytics nomirror
set y2tics
set yrange [0:*]
set y2range [0:*]
plot '$out/soak.dat' using (\$1*$window/1000.0):8 with linespoints pt 7 title 'handles', \
     '' using (\$1*$window/1000.0):10 with linespoints pt 5 title 'threads', \
     '' using (\$1*$window/1000.0):(\$9/1024.0) axes x1y2 with linespoints pt 6 title 'private memory (MB)'"
echo "figures: $out/soak.dat, docs/soak-latency.svg, docs/soak-resources.svg"
exit "$status"
