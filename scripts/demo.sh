#!/usr/bin/env bash
# Builds the host and runs its main job against the software token: a short
# conversation, a signed transaction verified with openssl, and an enrolment
# (request, issue by the demo CA, install, sign with the new certificate).
# Usage: scripts/demo.sh [--build-dir DIR]
#   --build-dir DIR  use the programs already built in DIR (such as build-arm64/
#                    from scripts/cross.sh), started through the build's
#                    launcher (TOKEN_HOST_TEST_LAUNCHER); openssl stays native
set -euo pipefail
cd "$(dirname "$0")/.."

build=""
case "${1:-}" in
"") ;;
--build-dir) [ $# -eq 2 ] || { echo "usage: $0 [--build-dir DIR]" >&2; exit 2; }; build=$(cd "$2" && pwd) ;;
*) echo "usage: $0 [--build-dir DIR]" >&2; exit 2 ;;
esac

if [ -z "$build" ]; then
    build="$PWD/build"
    scripts/install-deps.sh
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j"$(nproc)" --target token-host token-client softtoken softtoken-tool >/dev/null
fi
launcher=$(sed -n 's/^TOKEN_HOST_TEST_LAUNCHER:[A-Z]*=//p' "$build/CMakeCache.txt")
launch=()
client_launch=()
if [ -n "$launcher" ]; then
    launch=("$launcher")
    client_launch=(--launcher "$launcher")
    echo "Programs of $build run through $launcher"
fi

# A fresh demo token each run, unless the caller names a token directory.
if [ -z "${SOFTTOKEN_DIR:-}" ]; then
    export SOFTTOKEN_DIR="$build/demo-token"
    rm -rf "$SOFTTOKEN_DIR"
fi
export TOKEN_HOST_MODULE="$build/softtoken/libsofttoken.so"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

tool() { "${launch[@]}" "$build/softtoken/softtoken-tool" "$@"; }
client() { "${launch[@]}" "$build/token-client" --host "$build/token-host" "${client_launch[@]}" "$@"; }

section() { printf '\n=== %s ===\n' "$1"; }

if ! tool list >/dev/null 2>&1; then
    section "Creating a demo token in $SOFTTOKEN_DIR"
    tool demo
fi
tool plug >/dev/null
tool list

section "A short conversation (the first token command waits 3 s for the key, as with hardware)"
client \
    '{"ZEKA":"GetVersion","tabID":1}' \
    '{"ZEKA":"GetDriverVersion","tabID":2}' \
    '{"ZEKA":"GetMediaID","tabID":3}' \
    '{"ZEKA":"GetPublicKeyNum","tabID":4}' \
    '{"ZEKA":"GMGetCertDN","tabID":5}' \
    '{"ZEKA":"GetCharsetList","tabID":6}' \
    '{"ZEKA":"GetLanguageList","tabID":7}' \
    '{"ZEKA":"GMGetPublicKey","tabID":8,"KeyType":"allpubkey"}' \
    '{"ZEKA":"NoSuchCommand","tabID":9}'

verify_signed_data() {  # $1: file with Base64 SignedData
    python3 tools/verify_signed_data.py "$1"
}

section "Signing a transaction with the RSA key (SHA256)"
client --save "$work/rsa.b64" \
    '{"ZEKA":"GMUsbKeySign","tabID":10,"DeSignerDN":"CN=Demo RSA User","HashName":"SHA256","XmlMsg":"<T><Amount>100.00</Amount><To>6222 0000 1111</To></T>","KeyMsg":"Pay 100.00"}'
verify_signed_data "$work/rsa.b64"

section "Signing a transaction with the SM2 key (SM3)"
client --save "$work/sm2.b64" \
    '{"ZEKA":"GMUsbKeySign","tabID":11,"DeSignerDN":"CN=Demo SM2 User","HashName":"SM3","XmlMsg":"<T><Amount>42.00</Amount></T>","KeyMsg":"Pay 42.00"}'
verify_signed_data "$work/sm2.b64"

section "Enrolment: the key makes an SM2 key pair and a PKCS#10 request"
client --save "$work/req.b64" \
    '{"ZEKA":"GMCreatePKCS10","tabID":20,"CertInfo":"DN(CN=Demo Enrolled User,O=Demo Bank,C=CN)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)"}'
{ echo "-----BEGIN CERTIFICATE REQUEST-----"; fold -w 64 "$work/req.b64"; echo; echo "-----END CERTIFICATE REQUEST-----"; } >"$work/req.pem"
openssl req -in "$work/req.pem" -noout -subject -verify -vfyopt distid:1234567812345678 2>&1 | sed 's/^/  openssl: /'

section "Enrolment: the demo CA issues the certificate, the host installs it"
tool issue --alg sm2 --csr "$work/req.pem" --out "$work/cert.pem"
p7=$(grep -v -- ----- "$work/cert.pem" | tr -d '\n')
client "{\"ZEKA\":\"GMWritePKCS7\",\"tabID\":21,\"P7Pakge\":\"$p7\"}" \
    '{"ZEKA":"GMGetCertDN","tabID":22}'

section "Signing with the newly installed certificate"
client --save "$work/enrolled.b64" \
    '{"ZEKA":"GMUsbKeySign","tabID":23,"DeSignerDN":"CN=Demo Enrolled User","XmlMsg":"<T>first payment</T>","KeyMsg":"Pay 1.00"}'
verify_signed_data "$work/enrolled.b64"
