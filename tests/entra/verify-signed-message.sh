#!/usr/bin/env bash
# Checks, with openssl alone, the signed request messages SignedMessageWriter wrote:
#   verify-signed-message.sh <dir with message.bin, message-bare.bin, device.der> <tests/entra/certs>
# one trailing zero byte; three base64url parts without padding; the header; the payload's
# members, values and order (the writer's inputs); the RS256 signature under the device
# certificate's key.
set -euo pipefail
dir=$1 certs=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
decode() {  # base64url without padding -> bytes
    local text=${1//-/+}
    text=${text//_//}
    while (( ${#text} % 4 )); do text+='='; done
    printf '%s' "$text" | openssl base64 -d -A
}

cert=$dir/device.der
[ -s "$cert" ] || fail "no certificate in $dir"
device_id=$(head -c 36 "$certs/device-id.txt")
openssl x509 -inform DER -in "$cert" -noout -subject | grep -q "CN = $device_id" || fail "the certificate is not the device's"
openssl x509 -inform DER -in "$cert" -noout -pubkey > "$work/key.pem"
common='{"cmd":"authenticate","ver":"2","req":true,"requestId":"4294967298","deviceId":"'$device_id'",'
common+='"deviceNonce":"nonce+/AQ==","correlationId":"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0",'

# message file | the payload it must carry
verify() {
    local message=$1 expected=$2 token header payload signature
    [ -s "$message" ] || fail "no $message"
    [ "$(tail -c 1 "$message" | od -An -tx1 | tr -d ' \n')" = 00 ] || fail "$message does not end in a zero byte"
    head -c "$(( $(stat -c %s "$message") - 1 ))" "$message" > "$work/token"
    [ "$(tr -cd '\000' < "$work/token" | wc -c)" -eq 0 ] || fail "a zero byte inside the token"
    token=$(cat "$work/token")
    [[ $token =~ ^[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+$ ]] || fail "not three unpadded base64url parts: $token"
    IFS=. read -r header payload signature <<< "$token"
    [ "$(decode "$header")" = '{"alg":"RS256","typ":"JWT"}' ] || fail "header: $(decode "$header")"
    [ "$(decode "$payload")" = "$expected" ] || fail "payload: $(decode "$payload")"
    decode "$signature" > "$work/signature"
    printf '%s' "$header.$payload" > "$work/input"
    openssl dgst -sha256 -verify "$work/key.pem" -signature "$work/signature" "$work/input" >/dev/null || fail "bad signature"
}
verify "$dir/message.bin" "$common"'"brokerSID":"S-1-5-21-1004336348-1177238915-682003330-512","p2pCertificate":"'$(openssl base64 -A -in "$cert")'"}'
verify "$dir/message-bare.bin" "$common"'"brokerSID":""}'
echo "signed request messages verified"
