#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
#   plot: also gnuplot, which only the storm and soak runs use to draw their figures.
set -euo pipefail
# libgnutls30: Wine's bcrypt (key derivation and AES of the key vault) is built on it, and
# Debian only recommends it.
# python3: the check of the group policy templates (tests/deploy).
pkgs=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 libgnutls30 googletest
      nlohmann-json3-dev cmake ninja-build python3)
[ "${1:-}" = plot ] && pkgs+=(gnuplot-nox)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "== installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
