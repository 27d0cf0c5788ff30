#!/usr/bin/env bash
# Makes a throwaway SoftHSM2 token for tests, laid out as a private installation:
#
#   make-softhsm-token.sh ROOT [KEY_PAIRS]
#
#   ROOT/softhsm2.conf             point SOFTHSM2_CONF here before C_Initialize
#   ROOT/tokens/                   the token store (one initialised token "halvorn")
#   ROOT/usr/local/lib/libsofthsm2.so -> the system module; HALVORN_ROOT=ROOT loads it
#   ROOT/keys/N.key.pem, N.cert.der, N.cert.pem   for N = 1..KEY_PAIRS: an RSA-2048
#                                  key pair on the token with CKA_ID 0N and label "key N",
#                                  and its self-signed certificate with the same CKA_ID
#
# The user PIN is the fixed 10 bytes 0x01 0x08 "59036174"; the SO PIN is "12345678".
# Any failure stops the script (a wrong PIN is never retried, so the token is never locked).
set -euo pipefail

root=${1:?usage: make-softhsm-token.sh ROOT [KEY_PAIRS]}
pairs=${2:-1}
module=${SOFTHSM2_MODULE:-/usr/lib/softhsm/libsofthsm2.so}
pin=$'\x01\x08'59036174
so_pin=12345678

[ -f "$module" ] || { echo "make-softhsm-token: no SoftHSM2 module at $module" >&2; exit 1; }

mkdir -p "$root/tokens" "$root/usr/local/lib" "$root/keys"
rm -rf "${root:?}/tokens/"*
cat >"$root/softhsm2.conf" <<CONF
directories.tokendir = $root/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
ln -sf "$module" "$root/usr/local/lib/libsofthsm2.so"
export SOFTHSM2_CONF=$root/softhsm2.conf

softhsm2-util --init-token --free --label halvorn --so-pin "$so_pin" --pin "$pin" >/dev/null

for ((n = 1; n <= pairs; n++)); do
  id=$(printf '%02x' "$n")
  key=$root/keys/$n.key.pem
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$key" 2>/dev/null
  openssl req -new -x509 -key "$key" -subj "/CN=Token User $n/O=Halvorn Test" -days 365 \
    -set_serial "$n" -sha256 -out "$root/keys/$n.cert.pem"
  openssl x509 -in "$root/keys/$n.cert.pem" -outform DER -out "$root/keys/$n.cert.der"
  softhsm2-util --import "$key" --token halvorn --label "key $n" --id "$id" --pin "$pin" >/dev/null
  pkcs11-tool --module "$module" --token-label halvorn --login --pin "$pin" \
    --write-object "$root/keys/$n.cert.der" --type cert --id "$id" --label "cert $n" >/dev/null
done
