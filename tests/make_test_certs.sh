#!/usr/bin/env bash
# Makes the certificates of the TLS tests in DIR, fresh at every run (EC
# keys: quick): a test CA (ca.pem) and, for the one key leaf.key,
#   good.pem       localhost and 127.0.0.1, signed by the CA
#   expired.pem    the same names, signed by the CA, expired
#   wronghost.pem  other.example only, signed by the CA
#   selfsigned.pem localhost and 127.0.0.1, signed by itself
set -euo pipefail
dir=${1:?usage: make_test_certs.sh DIR}
mkdir -p "$dir"
cd "$dir"
ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
openssl req -x509 "${ec[@]}" -keyout ca.key -out ca.pem -days 2 -subj "/CN=Ostravel test CA" 2>/dev/null
openssl req "${ec[@]}" -keyout leaf.key -out leaf.csr -subj "/CN=localhost" 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >names.ext
printf 'subjectAltName=DNS:other.example\n' >other.ext
sign() { openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -set_serial "$1" -days "$2" -extfile "$3" -out "$4" 2>/dev/null; }
sign 2 2 names.ext good.pem
# A negative validity ends before it starts: expired from the first moment.
sign 3 -1 names.ext expired.pem
sign 4 2 other.ext wronghost.pem
openssl x509 -req -in leaf.csr -key leaf.key -days 2 -extfile names.ext -out selfsigned.pem 2>/dev/null
