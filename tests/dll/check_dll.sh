#!/usr/bin/env bash
# Checks a built module DLL from the outside: exactly the two COM exports, the hardening bits
# of its PE header, a version resource, and nothing but Windows' own DLLs among its imports.
set -euo pipefail
objdump=$1
dll=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
headers=$("$objdump" -p "$dll")

exports=$(echo "$headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s+\[' | awk '{print $NF}' | sort | tr '\n' ' ')
[ "$exports" = "DllCanUnloadNow DllGetClassObject " ] || fail "exports are '$exports'"

chars=$(echo "$headers" | awk '/^DllCharacteristics/ {print $2}')
(( (16#$chars & 0x20) )) || fail "HIGH_ENTROPY_VA missing (DllCharacteristics=$chars)"
(( (16#$chars & 0x40) )) || fail "DYNAMIC_BASE missing (DllCharacteristics=$chars)"
(( (16#$chars & 0x100) )) || fail "NX_COMPAT missing (DllCharacteristics=$chars)"

system_dlls=(advapi32 bcrypt crypt32 kernel32 msvcrt ncrypt netapi32 ntdll ole32 oleaut32 rpcrt4 secur32
             shell32 shlwapi sspicli user32 userenv version winscard wtsapi32 ws2_32)
allowed=" $(printf '%s.dll ' "${system_dlls[@]}")"
while read -r name; do
  lower=$(echo "$name" | tr 'A-Z' 'a-z')
  case "$lower" in
    *libstdc++*|*libgcc*|*libwinpthread*|*libssp*) fail "mingw runtime DLL imported: $name" ;;
    api-ms-win-core-*) continue ;;  # Windows' own API sets (WaitOnAddress lives in one)
  esac
  [[ "$allowed" == *" $lower "* ]] || fail "unexpected import: $name"
done < <(echo "$headers" | awk '/DLL Name:/ {print $3}')

# Shipped stripped, its debug information in the file its .gnu_debuglink names, beside it.
if "$objdump" -h "$dll" | grep -qE '\.debug_(info|line)'; then fail "debug information left in the DLL"; fi
link=$("$objdump" -s -j .gnu_debuglink "$dll" 2>/dev/null | awk '/^ [0-9a-f]+ / {print substr($0, length($0) - 15)}' | tr -d '\n' || true)
[[ "$link" == "$(basename "$dll").debug."* ]] || fail ".gnu_debuglink reads '$link'"
"$objdump" -h "$dll.debug" | grep -q '\.debug_info' || fail "$dll.debug holds no debug information"

texts=$(strings -el "$dll")
grep -qx 'FileVersion' <<<"$texts" || fail "no version resource"
grep -qx 'Velmora Zephral' <<<"$texts" || fail "version resource lacks the product name"
grep -qx 'Logon single sign-on' <<<"$texts" || fail "no event message table (tcfiltr_events.mc)"
# Test back doors live in the simulation DLL only.
if [[ "$(basename "$dll")" != *_sim.dll ]]; then
  ! grep -q 'NotReadyCalls' <<<"$texts" || fail "the product DLL reads a simulated key vault state"
fi
echo "OK: $dll"
