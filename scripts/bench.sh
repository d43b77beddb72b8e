#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine; each prints one JSON line per figure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TC_BUILD_DIR:-$root/build}
"$root/scripts/build.sh" >/dev/null
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
wineserver -p >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
status=0
for b in "$build"/bin/bench_*.exe; do
  TC_WINE_TIMEOUT=600 "$build/wine-run.sh" "$b" || status=$?
done
exit $status
