#!/usr/bin/env bash
# Builds everything and runs every benchmark under Wine; each prints JSON lines with its
# figures and the baselines measured in the same run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TC_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
wineserver -p >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# The first program of a fresh server starts the prefix's services, which inherit its output
# pipes; started here with none, they cannot hold a test's output open until its time-out.
timeout 60 wine cmd /c exit </dev/null >/dev/null 2>&1 || true
for bench in "$build"/bin/*_bench.exe; do
  TC_WINE_TIMEOUT=600 "$build/wine-run.sh" "$bench"
done
