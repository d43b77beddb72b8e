#!/usr/bin/env bash
# Prints the path of a PowerShell (pwsh): the one on PATH, else the dotnet tool in the given
# folder, installed there when dotnet is present. Without one, prints why and exits 1.
set -euo pipefail
tools=${1:?usage: pwsh.sh <tool folder>}
# 7.7.0 does not install as a dotnet tool.
version=7.6.10
if command -v pwsh >/dev/null; then command -v pwsh; exit 0; fi
if [ -x "$tools/pwsh" ]; then echo "$tools/pwsh"; exit 0; fi
command -v dotnet >/dev/null || { echo "PowerShell not available (dotnet absent)"; exit 1; }
dotnet tool install --tool-path "$tools" PowerShell --version "$version" >&2 ||
  { echo "PowerShell not available (dotnet tool install PowerShell $version failed)"; exit 1; }
echo "$tools/pwsh"
