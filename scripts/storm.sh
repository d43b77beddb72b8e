#!/usr/bin/env bash
# Storm: N LogonUI stand-ins (logonsim processes) log on at once against one agent stand-in,
# the brokered password logon. Each has a simulated session of its own and waits at a barrier
# until all N have loaded the module, so the N ticket requests reach the agent together.
#   scripts/storm.sh [N ...]     default 8 32 64; ROUNDS storms per N (default 3)
# Timed in logonsim, per logon: the filter's UpdateRemoteCredential, which is the module's ticket
# request to the agent (connect and authenticate, "GetCredentialsForTicket", close) plus the
# filter's copy of the credential and its log flush; and the whole logon up to every object
# released. Every logon must succeed. Figures: build/storm/storm.dat, docs/storm.svg.
set -euo pipefail
source "$(dirname "$0")/sim-agent.sh"
sizes=("$@")
[ ${#sizes[@]} -eq 0 ] && sizes=(8 32 64)
rounds=${ROUNDS:-3}
"$root/scripts/deps.sh" plot
"$root/scripts/build.sh" logonsim agentsim >/dev/null
out="$build/storm"
rm -rf "$out" && mkdir -p "$out"

instance=storm$$
largest=$(printf '%s\n' "${sizes[@]}" | sort -n | tail -1)
sim_sessions "$instance" "$largest"
agent_start "$instance" 3600
# The agent protects the scenario's password once, at its first answer: not part of any storm.
TCFILTR_SIM_KEY=$(sim_key "$instance" 1) "$build/wine-run.sh" "$build/bin/logonsim.exe" "${logon_args[@]}" \
  --ticket T-warm-up --quiet || { echo "!! the warm-up logon failed"; exit 1; }

printf '# N samples failures remote_p50_ms remote_p99_ms logon_p50_ms logon_p99_ms\n' >"$out/storm.dat"
failed=0
for n in "${sizes[@]}"; do
  failures=0
  for r in $(seq 1 "$rounds"); do
    pids=()
    for i in $(seq 1 "$n"); do
      TCFILTR_SIM_KEY=$(sim_key "$instance" "$i") "$build/wine-run.sh" "$build/bin/logonsim.exe" "${logon_args[@]}" \
        --ticket "T-$n-$r-$i" --quiet --timings --barrier "$instance-$n-$r" "$n" >"$out/$n-$r-$i.txt" 2>&1 &
      pids+=($!)
    done
    for i in $(seq 1 "$n"); do
      wait "${pids[$((i - 1))]}" || { echo "!! N=$n round $r logon $i failed: $out/$n-$r-$i.txt"; failures=$((failures + 1)); }
    done
  done
  cat "$out/$n"-*.txt | sed -n 's/^TIMING remote_us=\([0-9]*\) logon_us=\([0-9]*\).*/\1 \2/p' >"$out/$n.times"
  samples=$(wc -l <"$out/$n.times")
  ms() { awk -v c="$1" '{ print $c / 1000 }' "$out/$n.times" | percentile "$2"; }
  failed=$((failed + failures))
  row="$n $samples $failures $(ms 1 0.5) $(ms 1 0.99) $(ms 2 0.5) $(ms 2 0.99)"
  echo "$row" >>"$out/storm.dat"
  echo "N=$n: $((n * rounds)) logons, $failures failed; agent round trip (UpdateRemoteCredential) p50 $(ms 1 0.5) ms," \
       "p99 $(ms 1 0.99) ms; whole logon p50 $(ms 2 0.5) ms, p99 $(ms 2 0.99) ms"
done
agent_stop

gnuplot <<GP
set terminal svg size 720,440 dynamic font 'sans,12' background '#ffffff'
set output '$root/docs/storm.svg'
set title "Storm: N LogonUI stand-ins at once, one agent stand-in ($rounds storms per N)"
set xlabel 'concurrent logons N'
set ylabel 'milliseconds'
set key top left
set grid
set logscale x 2
set xtics ($(IFS=,; echo "${sizes[*]}"))
set yrange [0:*]
plot '$out/storm.dat' using 1:4 with linespoints lw 2 pt 7 title 'agent round trip p50', \
     '' using 1:5 with linespoints lw 2 pt 5 title 'agent round trip p99', \
     '' using 1:7 with linespoints lw 1 pt 4 dt 2 title 'whole logon p99', \
     250 with lines lc rgb '#aa0000' dt 3 title 'target p99 250 ms'
GP
echo "figures: $out/storm.dat, docs/storm.svg"
[ "$failed" -eq 0 ] || { echo "$failed logons failed"; exit 1; }
