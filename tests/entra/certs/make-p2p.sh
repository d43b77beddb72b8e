#!/bin/sh
# Writes the device identity certificates the Entra tests import (committed beside this script,
# so the build needs no openssl): an issuer named like the one Entra gives joined devices, one in
# lower case, and one named otherwise; each issues an RSA device certificate whose subject holds
# the device id. Keys travel in PFX files without a password, encrypted with the older PKCS#12
# algorithms every crypt32 reads.
set -eu
out=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
device_id=6b3f0e2a-8c41-4d7e-9a15-2f60c9d4b7e8
days=9000

# name | issuer subject
issuer() {
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -subj "$2" -days $days -sha256 \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -out "$1.pem" 2>/dev/null
    openssl x509 -in "$1.pem" -outform DER -out "$out/$1.der"
}
# name | issuer name
device() {
    openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -subj "/CN=$device_id" -out "$1.csr" 2>/dev/null
    printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=clientAuth\n' > ext.cnf
    openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days $days -sha256 \
        -extfile ext.cnf -out "$1.pem" 2>/dev/null
    openssl x509 -in "$1.pem" -outform DER -out "$out/$1.der"
    # The key as CryptoAPI imports it: a PVK file is a 24-byte header and a PRIVATEKEYBLOB.
    openssl rsa -in "$1.key" -outform PVK -pvk-none -out "$out/$1.pvk" 2>/dev/null
    chmod 644 "$out/$1.pvk"
}
issuer p2p-issuer "/CN=MS-Organization-P2P-Access [2026]"
issuer p2p-issuer-lower "/CN=ms-organization-p2p-access [2026]"
issuer other-issuer "/CN=MS-Organization-Access"
device device-p2p p2p-issuer
device device-lower p2p-issuer-lower
device device-other other-issuer
echo "$device_id" > "$out/device-id.txt"
