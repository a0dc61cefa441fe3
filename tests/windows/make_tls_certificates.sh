#!/bin/sh
# Makes the certificates of the Windows TLS test (tls_test.cpp) into the
# folder given: a test CA and another one, and server certificates issued by
# the test CA for the emulator, each naming the host differently. Runs on
# the Linux side as a CTest set-up step; the emulator serves them with
# --https and the Windows side trusts ca.pem through PELOX_CA_BUNDLE.
set -e
dir=$1
[ -n "$dir" ] || { echo "usage: $0 FOLDER" >&2; exit 2; }
mkdir -p "$dir"
cd "$dir"
rm -f ./*.pem ./*.key
self_signed() { # NAME SUBJECT
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=$2" -keyout "$1.key" -out "$1.pem" >/dev/null 2>&1
}
issued() { # NAME SUBJECT [openssl req arguments]
  name=$1; subject=$2; shift 2
  openssl req -x509 -CA ca.pem -CAkey ca.key -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=$subject" -addext basicConstraints=critical,CA:FALSE "$@" \
    -keyout "$name.key" -out "$name.pem" >/dev/null 2>&1
}
self_signed ca pelox-test-ca
self_signed other-ca pelox-other-ca
issued server 127.0.0.1 -addext "subjectAltName=IP:127.0.0.1,DNS:localhost"
# Names a Windows or libcurl check of its own would accept for 127.0.0.1:
# another host, the address as a DNS name, the address only as common name.
issued wrong-name otherhost.invalid -addext "subjectAltName=DNS:otherhost.invalid"
issued dns-ip 127.0.0.1 -addext "subjectAltName=DNS:127.0.0.1"
issued cn-only 127.0.0.1
