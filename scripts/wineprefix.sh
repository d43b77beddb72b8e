#!/usr/bin/env bash
# Creates the private Wine prefix of a build tree once: 64-bit, null graphics driver so
# windows can be created and enumerated headless. Idempotent; safe to call before every run.
set -euo pipefail
prefix=${1:?usage: wineprefix.sh <prefix-dir>}
stamp="$prefix/.tc-prefix-ready"
[ -f "$stamp" ] && exit 0
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$prefix"
mkdir -p "$prefix"
echo "== creating Wine prefix $prefix"
timeout 300 wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
# The driver choice is read when the server starts: restart it.
timeout 60 wineserver -k >/dev/null 2>&1 || true
timeout 60 wineserver -w >/dev/null 2>&1 || true
touch "$stamp"
