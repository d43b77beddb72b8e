#!/usr/bin/env bash
# Fuzzes every parser of outside bytes and the module's UpdateRemoteCredential entry:
#   ./scripts/fuzz.sh [COUNT]     COUNT seeded mutated inputs per target (default 1000000)
# Builds first (TC_BUILD_DIR honoured), runs the targets one after another in pieces of at most
# 100,000 inputs, and after a fault (the input is kept in $build/fuzz) resumes at the next
# input. Prints a table per target and writes every result line to $build/fuzz/results.jsonl.
# TC_FUZZ_SEED picks another seed (default 1). Exits 1 when any target found a fault.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TC_BUILD_DIR:-$root/build}
count=${1:-1000000}
seed=${TC_FUZZ_SEED:-1}
piece=100000
"$root/scripts/build.sh"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all TC_WINE_TIMEOUT=7200
wineserver -p >/dev/null 2>&1 || true
"$build/wine-run.sh" cmd.exe /c exit >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
out="$build/fuzz"
results="$out/results.jsonl"
mkdir -p "$out"
: >"$results"
fuzz() { "$build/wine-run.sh" "$build/bin/tc_fuzz.exe" "$@" | tr -d '\r'; }
field() { sed -n "s/.*\"$1\":\([0-9.]*\).*/\1/p" <<<"$2"; }

for target in $(fuzz --list); do
  next=0 faults=0
  while [ "$next" -lt "$count" ]; do
    n=$((count - next < piece ? count - next : piece))
    rc=0
    line=$(fuzz --target "$target" --count "$n" --seed "$seed" --start "$next" --out "Z:$out" | tail -n 1) || rc=$?
    case "$line" in
      '{"target"'*) echo "$line" >>"$results" ;;
      *) echo "$target: no result at input $next (exit $rc)" >&2; exit 2 ;;
    esac
    next=$(field next "$line")
    if [ "$rc" -eq 3 ] || [ "$rc" -eq 4 ]; then
      faults=$((faults + 1))
      [ "$faults" -lt 100 ] || { echo "$target: 100 faults, stopping at input $next" >&2; break; }
    elif [ "$rc" -ne 0 ] && [ "$rc" -ne 1 ]; then
      echo "$target: exit $rc at input $next" >&2; exit 2
    fi
  done
done

# One row per target: the sums over its pieces.
awk -F'[:,{}"]+' '
  { for (i = 2; i < NF; i += 2) v[$i] = $(i + 1)
    t = v["target"]; if (!(t in seen)) { seen[t] = 1; order[++n] = t }
    for (k in v) if (k != "target" && k != "fault") sum[t, k] += v[k]; delete v }
  END {
    printf "%-13s %10s %8s %10s %17s %10s %9s %10s\n", "target", "inputs", "crashes", "overreads", "wrongly_accepted", "accepted", "seconds", "inputs/s"
    for (i = 1; i <= n; i++) { t = order[i]
      printf "%-13s %10d %8d %10d %17d %10d %9.1f %10.0f\n", t, sum[t, "inputs"], sum[t, "crashes"], sum[t, "overreads"],
             sum[t, "wrongly_accepted"], sum[t, "accepted"], sum[t, "seconds"], sum[t, "inputs"] / (sum[t, "seconds"] > 0 ? sum[t, "seconds"] : 1)
      bad += sum[t, "crashes"] + sum[t, "overreads"] + sum[t, "wrongly_accepted"] }
    exit bad > 0 }' "$results"
