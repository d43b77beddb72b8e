#!/usr/bin/env bash
# Builds everything and runs every test (unit, integration, end to end) under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TC_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
# One warm server (and Wine's services, started with quiet output) for the whole run.
wineserver -p >/dev/null 2>&1 || true
"$build/wine-run.sh" cmd.exe /c exit >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# A test that fails is run once more and must pass then (Wine, rarely, kills a busy process as
# it exits); one that fails twice fails the run. Retried tests show in the output.
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300 --repeat until-pass:2 "$@"
