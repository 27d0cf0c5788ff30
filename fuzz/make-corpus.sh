#!/usr/bin/env bash
# make-corpus.sh OUT SM2P7_SEED ENVELOPE_SEED
# Writes a small seed corpus per fuzz target into OUT/<target>/. Keys,
# certificates and signed messages are made fresh by the openssl command line
# (SM2 signed data through SM2P7_SEED, since the command line cannot write it);
# request envelopes come from ENVELOPE_SEED.
set -euo pipefail
out=$1
sm2p7_seed=$2
envelope_seed=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out"/{base64,pemdecode,codepage,certinfo,pkcs7cert,pkcs7verify,sm2p7}
mkdir -p "$out"/{http_url,http_request,decrypt_str,wardlock}

ossl() { openssl "$@" 2>"$work/openssl.log" || { cat "$work/openssl.log" >&2; exit 1; }; }
# seed TARGET NAME: standard input becomes one seed
seed() { cat >"$out/$1/$2"; }

cd "$work"
printf hello >content
: >empty

# RSA and EC signers, SM2 signer (SM3 with the default user ID).
ossl req -x509 -newkey rsa:1024 -nodes -keyout rsa.key -subj /CN=seed-rsa -days 2 -out rsa.pem
ossl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ec.key \
  -subj "/CN=seed-ec/O=Halvorn" -days 2 -out ec.pem
ossl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:SM2 -out sm2.key
ossl req -x509 -new -key sm2.key -sm3 -sigopt distid:1234567812345678 -subj /CN=seed-sm2 \
  -days 2 -out sm2.pem
for c in rsa ec sm2; do ossl x509 -in $c.pem -outform DER -out $c.der; done

# RSA PKCS#7 signed data as the service writes it (no signed attributes),
# attached and detached, and one with attributes as other signers write it.
ossl smime -sign -binary -noattr -nodetach -md sha256 -in content -signer rsa.pem -inkey rsa.key \
  -outform DER -out rsa-attached.p7
ossl smime -sign -binary -noattr -md sha1 -in content -signer rsa.pem -inkey rsa.key \
  -outform DER -out rsa-detached.p7
ossl smime -sign -binary -nodetach -md sha256 -in content -signer ec.pem -inkey ec.key \
  -outform DER -out ec-attrs.p7
ossl crl2pkcs7 -nocrl -certfile rsa.pem -certfile sm2.pem -certfile ec.pem -outform DER -out bundle.p7

# SM2 signed data: DER and raw r || s signatures, attached and detached.
ossl pkeyutl -sign -inkey sm2.key -rawin -digest sm3 -pkeyopt distid:1234567812345678 \
  -in content -out sm2.sig
"$sm2p7_seed" sm2.der sm2.sig content sm2-attached.p7
"$sm2p7_seed" sm2.der sm2.sig empty sm2-detached.p7
"$sm2p7_seed" sm2.der sm2.sig content sm2-raw.p7 raw

# Base64 text: the alphabet, padding, early ends, a certificate's body.
printf 'YWJj' | seed base64 abc
printf 'YQ==' | seed base64 a
printf 'YWI=' | seed base64 ab
printf 'YQ==YWJj' | seed base64 early-end
printf 'YW\nJj' | seed base64 line-break
base64 -w0 rsa.der | seed base64 cert
head -c 48 /dev/urandom | seed base64 binary

# PEM: armoured, CRLF, bare with and without breaks, unclosed marker.
cat rsa.pem | seed pemdecode cert
sed 's/$/\r/' sm2.pem | seed pemdecode cert-crlf
base64 -w64 ec.der | seed pemdecode bare-lines
base64 -w0 ec.der | seed pemdecode bare
printf 'YWJj\nYWJj' | seed pemdecode two-groups
printf -- '-----BEGIN X\nYWJj\n-----END X-----' | seed pemdecode unclosed
cat rsa.pem sm2.pem | seed pemdecode two-certs

# UTF-8 text: ASCII, CJK with a GB2312 form, BOM, beyond the BMP, a
# character without a GB2312 form, and ill-formed sequences.
printf 'hello' | seed codepage ascii
printf '\xe4\xb8\xad\xe6\x96\x87' | seed codepage cjk
printf '\xef\xbb\xbfA' | seed codepage bom
printf '\xf0\x9f\x98\x80' | seed codepage astral
printf '\xe2\x82\xac' | seed codepage euro
printf '\xc0\xaf' | seed codepage overlong
printf '\xed\xa0\x80' | seed codepage surrogate
printf '\xe4\xb8' | seed codepage truncated

# Certificates: every subject field the record reads, UTF-8 text, a
# negative serial number, an SM2 key.
subject=$'/C=CN/ST=Zhejiang/L=Hangzhou/O=Halvorn \xe4\xb8\xad\xe6\x96\x87/OU=Seeds/CN=seed full/emailAddress=seed@example.com'
ossl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout full.key -days 2 \
  -utf8 -subj "$subject" -set_serial -42 -outform DER -out full.der
for c in rsa ec sm2 full; do cat $c.der | seed certinfo $c; done

# Certificate bundles and signed messages for the certificate listing.
cat bundle.p7 | seed pkcs7cert bundle
cat rsa-attached.p7 | seed pkcs7cert signed
cat ec-attrs.p7 | seed pkcs7cert signed-attrs
cat sm2-attached.p7 | seed pkcs7cert sm2

# Verification: the first byte is the length of the detached content at the end.
for m in rsa-attached ec-attrs sm2-attached sm2-raw; do
  { printf '\000'; cat $m.p7; } | seed pkcs7verify $m
done
for m in rsa-detached sm2-detached; do
  { printf '\005'; cat $m.p7 content; } | seed pkcs7verify $m
done

# SM2 signed data and bare SM2 signature values.
for m in sm2-attached sm2-detached sm2-raw; do cat $m.p7 | seed sm2p7 $m; done
cat sm2.sig | seed sm2p7 signature
head -c 64 /dev/urandom | seed sm2p7 raw-signature

# Requests as the dispatcher receives them, one per line: the version, then a
# session that opens the keychain, lists, selects, describes and signs.
key=k7Qm2ZxR9bT4vN8cW1pL6sY3hD5gF0aJ
version='{"data":null,"id":"s1","interfacetype":1}'
printf '%s' "$version" | seed wardlock version
{
  echo '{"data":{"name":"kc","pcode":0,"type":0},"id":"s2","interfacetype":0}'
  echo '{"data":{"pcode":5,"pid":0,"query":{}},"id":"s2","interfacetype":0}'
  echo '{"data":{"certid":0,"pcode":6,"pid":0,"type":0},"id":"s2","interfacetype":0}'
  echo '{"data":{"ccode":0,"pid":0},"id":"s2","interfacetype":0}'
  echo '{"data":{"ccode":1,"flags":0,"pid":0,"sign":"aGVsbG8="},"id":"s2","interfacetype":0}'
  printf '%s' '{"data":{"ccode":3,"pid":0,"plain":"hello","type":0},"id":"s2","interfacetype":0}'
} | seed wardlock session
printf '%s' '{"data":{"pcode":9},"id":"s3","interfacetype":0}' | seed wardlock unknown-code
printf '%s' '{"data":"{\"pcode\":0}","id":7,"interfacetype":"0"}' | seed wardlock ill-typed

# Envelopes of those requests, as pages send them in "str".
printf '%s' "$version" | "$envelope_seed" "$key" | seed decrypt_str version
head -n 1 "$out/wardlock/session" | "$envelope_seed" "$key$key" | seed decrypt_str long-rankey
printf '{"datab":"","datac":"","rankey":"%s"}' "$key" | seed decrypt_str empty-parts
printf '{"datab":null,"datac":true,"rankey":"x"}' | seed decrypt_str odd-types

# URLs and whole requests: a GET with an envelope, the pieces of a split
# request, a POST, a pre-flight, a head without its blank line.
str=$(printf '%s' "$version" | "$envelope_seed" "$key" url)
printf '/?str=%s' "$str" | seed http_url envelope
printf '/?a=%%41%%2b+b&c=%%zz%%' | seed http_url escapes
printf 'GET /?str=%s HTTP/1.1\r\nHost: 127.0.0.1:6186\r\n\r\n' "$str" | seed http_request get
printf 'GET /?spliceid=ab12&splicenum=1&str=%s HTTP/1.1\r\nHost: 127.0.0.1:6186\r\n\r\n' \
  "${str:0:40}" | seed http_request piece
printf 'POST / HTTP/1.1\r\nHost: 127.0.0.1:6186\r\nContent-Length: %d\r\n\r\n%s' ${#version} "$version" \
  | seed http_request post
printf 'POST / HTTP/1.1\r\nContent-Length: 2097152\r\n\r\nshort' | seed http_request post-short
printf 'OPTIONS / HTTP/1.1\r\nOrigin: https://bank.example\r\n\r\n' | seed http_request preflight
printf 'GET / HTTP/1.1\r\nHost: x\r\n' | seed http_request no-blank-line
