#!/usr/bin/env bash
# The install script's registry table against the registration files (keys in order, the keys
# uninstall removes, every value), then PowerShell's parser on it, where PowerShell exists.
set -euo pipefail
root=$1
script=$root/deploy/Install-Sso.ps1
fail() { echo "FAIL: $*" >&2; exit 1; }
has() { grep -qF -- "$1" <<<"$entry" || fail "not in the table's entry of $key: $1"; }
# The table's lines of one key, up to the next key or the table's end.
entry() { K="    '$1' = " awk 'index($0, ENVIRON["K"]) == 1 { on = 1; print; next } on && /^(    '\''|})/ { exit } on' "$script"; }
reg_keys() { sed -n 's/^\[-\{0,1\}\(HKEY_[^]]*\)\]\r\{0,1\}$/\1/p' "$root/deploy/$1"; }
utf16() { printf "$(sed 's/\([0-9a-f][0-9a-f]\),\{0,1\}/\\x\1/g' <<<"$1")" | iconv -f utf-16le -t utf-8 | tr -d '\0'; }
table=$(sed -n "s/^    '\(HKEY_[^']*\)' = .*/\1/p" "$script")
diff <(echo "$table") <(reg_keys tcfiltr-register.reg) >&2 || fail "table keys differ from tcfiltr-register.reg"
roots=$(while read -r key; do grep -qxF "${key%\\*}" <<<"$table" || echo "$key"; done <<<"$table")
diff <(sort <<<"$roots") <(reg_keys tcfiltr-unregister.reg | sort) >&2 || fail "removed keys differ from tcfiltr-unregister.reg"
while IFS= read -r line; do
  line=${line%$'\r'} name=${line%%=*} data=${line#*=}
  case $name in \[*) key=${line:1:-1} entry=$(entry "$key"); continue ;;
    @) name="''" ;; \"*) name="'${name//\"/}'" ;; *) continue ;; esac
  case $data in
    \"*) has "$name = '${data//\"/}'" ;;
    dword:*) has "$name = $((16#${data#dword:}))" ;;
    hex\(2\):*) has "$name = @('ExpandString', '$(utf16 "${data#hex(2):}")')" ;;
    *) fail "a value kind this check does not read: $line" ;;
  esac
done <"$root/deploy/tcfiltr-register.reg"
pwsh=$("$root/scripts/pwsh.sh" "$2") || { echo "SKIP: $pwsh: syntax check skipped"; exit 77; }
# Parse errors, and operators that PowerShell 5.1 does not have.
TC_SCRIPT=$script "$pwsh" -NoLogo -NoProfile -NonInteractive -Command '
  $tokens = $errors = $null
  [void][System.Management.Automation.Language.Parser]::ParseFile($env:TC_SCRIPT, [ref]$tokens, [ref]$errors)
  $errors | ForEach-Object { "FAIL: line {0}: {1}" -f $_.Extent.StartLineNumber, $_.Message }
  $newer = @($tokens | Where-Object { "$($_.Kind)" -match "^(AndAnd|OrOr|QuestionMark|QuestionQuestion(Equals)?|QuestionDot|QuestionLBracket)$" })
  $newer | ForEach-Object { "FAIL: line {0}: {1} needs PowerShell 7" -f $_.Extent.StartLineNumber, $_.Text }
  if ($errors.Count + $newer.Count) { exit 1 }'
echo "OK: the install script matches the registration files and parses"
