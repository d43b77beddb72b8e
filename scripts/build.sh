#!/usr/bin/env bash
# Configures and builds everything (DLLs, tools, tests, benchmarks) into build/ and
# prepares the Wine prefix. Used by test.sh and demo.sh. Arguments: targets to build instead of
# all (storm.sh and soak.sh need only the stand-ins and the DLLs).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TC_BUILD_DIR:-$root/build}
"$root/scripts/deps.sh"
# ccache, where a developer installed it, shares objects between work trees.
launcher=$(command -v ccache || true)
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        ${launcher:+-DCMAKE_C_COMPILER_LAUNCHER=$launcher -DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} >/dev/null
fi
cmake --build "$build" ${1:+--target "$@"} -- -j"$(nproc)"
"$root/scripts/wineprefix.sh" "$build/wineprefix"
