#!/usr/bin/env bash
# Certificates for the TLS verification tests, in DIR: a CA (ca.crt) and
# server certificates signed by it for the right name (good), another name
# (wronghost) and the right name but long expired (expired), plus one that
# signs itself (selfsigned). Each with its key, NAME.key. Client
# certificates: device (CN device; device-enc.key is its key encrypted
# with the password "open sesame") and lapsed (expired) from the same CA,
# stranger from a CA of its own.
#   make-test-certs.sh DIR
set -euo pipefail
dir=$1
cd "$dir"
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=QOR test CA" -keyout ca.key -out ca.crt 2>/dev/null
cat >ca.cnf <<CNF
[ca]
default_ca = test_ca
[test_ca]
database = $dir/index.txt
new_certs_dir = $dir
certificate = $dir/ca.crt
private_key = $dir/ca.key
serial = $dir/serial
default_md = sha256
policy = any
copy_extensions = copy
[any]
commonName = supplied
CNF
: >index.txt
echo 1000 >serial
sign() {  # sign NAME SAN [START END]
  openssl req -newkey rsa:2048 -nodes -subj "/CN=$1" -addext "subjectAltName=$2" \
    -keyout "$1.key" -out "$1.csr" 2>/dev/null
  local dates=(-days 30)
  [[ $# -eq 4 ]] && dates=(-startdate "$3" -enddate "$4")
  openssl ca -batch -config ca.cnf "${dates[@]}" -in "$1.csr" -out "$1.crt" 2>/dev/null
}
sign good "DNS:localhost,IP:127.0.0.1"
sign wronghost "DNS:otherhost.example"
sign expired "DNS:localhost,IP:127.0.0.1" 20200101000000Z 20200102000000Z
sign device "DNS:device-1"
sign lapsed "DNS:device-1" 20200101000000Z 20200102000000Z
openssl pkey -in device.key -aes256 -passout "pass:open sesame" -out device-enc.key
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=another CA" -keyout otherca.key -out otherca.crt \
  2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=device" -CA otherca.crt -CAkey otherca.key \
  -keyout stranger.key -out stranger.crt 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=localhost" \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -keyout selfsigned.key -out selfsigned.crt 2>/dev/null
chmod -R a+rX "$dir"
