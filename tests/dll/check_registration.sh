#!/usr/bin/env bash
# The registration files on a (Wine) machine: the register file writes the COM classes, both
# LogonUI entries and the event source; the unregister file takes every one of them away.
set -euo pipefail
wine_run=$1
deploy=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
# Imported as regedit exports them, UTF-16 with a BOM: Wine's reg reads the hex(2) bytes of an
# 8-bit file as 8-bit text, where Windows takes them as the UTF-16 they are.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for file in tcfiltr-register tcfiltr-unregister; do
  { printf '\xff\xfe'; iconv -f utf-8 -t utf-16le "$deploy/$file.reg"; } >"$work/$file.reg"
done
keys=('HKCR\CLSID\{39FA3429-F61A-4975-9653-327BCE27C037}\InprocServer32'
      'HKCR\CLSID\{BEBE672F-B0E3-4354-BB86-4EF127A55B6A}\InprocServer32'
      'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Authentication\Credential Providers\{BEBE672F-B0E3-4354-BB86-4EF127A55B6A}'
      'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Authentication\Credential Provider Filters\{39FA3429-F61A-4975-9653-327BCE27C037}'
      'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Velmora Zephral')
"$wine_run" reg import "Z:$work/tcfiltr-register.reg" >/dev/null 2>&1 ||
  fail "the register file does not import"
for key in "${keys[@]}"; do
  "$wine_run" reg query "$key" >/dev/null 2>&1 || fail "not registered: $key"
done
source_key=${keys[4]}
"$wine_run" reg query "$source_key" /v EventMessageFile 2>/dev/null | grep -q 'REG_EXPAND_SZ.*%SystemRoot%\\System32\\tcfiltr.dll' ||
  fail "EventMessageFile is not the DLL's path"
"$wine_run" reg query "$source_key" /v CategoryCount 2>/dev/null | grep -q '0x9' || fail "CategoryCount is not 9"
"$wine_run" reg import "Z:$work/tcfiltr-unregister.reg" >/dev/null 2>&1 || fail "the unregister file does not import"
for key in "${keys[@]}"; do
  ! "$wine_run" reg query "$key" >/dev/null 2>&1 || fail "left behind: $key"
done
echo "OK: registration and its removal"
