#!/bin/sh
# Writes the DER certificates the smart card tests read (committed beside this script, so the
# build needs no openssl). Each one is self-signed with a fresh EC P-256 key; they differ only
# in the name, validity and usage extensions listed in the table below.
set -eu
out=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
openssl ecparam -name prime256v1 -genkey -noout -out key.pem
touch index.txt
echo 01 > serial
cat > ca.cnf <<'CNF'
[ca]
default_ca = sc
[sc]
database = index.txt
serial = serial
new_certs_dir = .
default_md = sha256
policy = anything
unique_subject = no
email_in_dn = no
[anything]
commonName = optional
emailAddress = optional
CNF
upn='otherName:1.3.6.1.4.1.311.20.2.3;UTF8:alice@corp.example'
mail='email:alice@mail.example'
# name | subject | start | end | extension lines
make() {
    name=$1 subject=$2 start=$3 end=$4
    shift 4
    : > ext.cnf
    echo "[x]" >> ext.cnf
    for line in "$@"; do echo "$line" >> ext.cnf; done
    openssl req -new -key key.pem -subj "$subject" -out req.pem
    openssl ca -batch -config ca.cnf -selfsign -keyfile key.pem -in req.pem -startdate "$start" -enddate "$end" \
        -extfile ext.cnf -extensions x -notext -out cert.pem 2>/dev/null
    openssl x509 -in cert.pem -outform DER -out "$out/$name.der"
}
good_ku='keyUsage=critical,digitalSignature'
sc_eku='extendedKeyUsage=1.3.6.1.4.1.311.20.2.2,clientAuth'
make upn "/CN=Alice" 200101000000Z 491231000000Z "subjectAltName=$upn" "$good_ku" "$sc_eku"
make rfc822 "/CN=Alice" 200101000000Z 491231000000Z "subjectAltName=$mail" "$good_ku" "$sc_eku"
make both "/CN=Alice" 200101000000Z 491231000000Z "subjectAltName=$mail,$upn" "$good_ku" "$sc_eku"
make neither "/CN=Alice" 200101000000Z 491231000000Z "$good_ku" "$sc_eku"
make nonames "/" 200101000000Z 491231000000Z "$good_ku" "$sc_eku"
make expired "/CN=Alice" 200101000000Z 210101000000Z "subjectAltName=$upn" "$good_ku" "$sc_eku"
make notyet "/CN=Alice" 450101000000Z 491231000000Z "subjectAltName=$upn" "$good_ku" "$sc_eku"
make noku "/CN=Alice" 200101000000Z 491231000000Z "subjectAltName=$upn" "$sc_eku"
make nosign "/CN=Alice" 200101000000Z 491231000000Z "subjectAltName=$upn" "keyUsage=critical,keyEncipherment" "$sc_eku"
make noeku "/CN=Alice" 200101000000Z 491231000000Z "subjectAltName=$upn" "$good_ku"
make clientauth "/CN=Alice" 200101000000Z 491231000000Z "subjectAltName=$upn" "$good_ku" "extendedKeyUsage=clientAuth"
make sclogon "/CN=Alice" 200101000000Z 491231000000Z "subjectAltName=$upn" "$good_ku" "extendedKeyUsage=1.3.6.1.4.1.311.20.2.2"
make othereku "/CN=Alice" 200101000000Z 491231000000Z "subjectAltName=$upn" "$good_ku" "extendedKeyUsage=codeSigning"
