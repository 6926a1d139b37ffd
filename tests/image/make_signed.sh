#!/bin/sh
# Signed test programs: a certificate authority and a code-signing certificate
# made by openssl, a program signed by osslsigncode with SHA-256 and with SHA-1,
# one signed by a self-signed certificate named "Q" (a name of one character), a
# signed copy with one byte changed afterwards, the unsigned program, and the
# signer's common name as osslsigncode verify reports it.
# make_signed.sh OUTDIR PROGRAM
set -eu
OUT=$1 PROGRAM=$2
rm -rf "$OUT" && mkdir -p "$OUT/keys"
K=$OUT/keys
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$K/ca.key" -out "$K/ca.crt" -days 3650 \
    -subj "/CN=QoKivZelUt Test CA" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$K/signer.key" -out "$K/signer.csr" \
    -subj "/O=KIV Test/CN=QoKivZelUt Test Signer" 2>/dev/null
printf 'keyUsage=digitalSignature\nextendedKeyUsage=codeSigning\n' >"$K/ext.cnf"
openssl x509 -req -in "$K/signer.csr" -CA "$K/ca.crt" -CAkey "$K/ca.key" -CAcreateserial \
    -out "$K/signer.crt" -days 3650 -extfile "$K/ext.cnf" 2>/dev/null
cat "$K/signer.crt" "$K/ca.crt" >"$K/chain.pem"
cp "$PROGRAM" "$OUT/unsigned.exe"
for digest in sha256 sha1; do
    osslsigncode sign -certs "$K/chain.pem" -key "$K/signer.key" -h $digest \
        -in "$OUT/unsigned.exe" -out "$OUT/signed-$digest.exe" >/dev/null
done
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$K/self.key" -out "$K/self.crt" -days 3650 \
    -subj "/CN=Q" -addext extendedKeyUsage=codeSigning 2>/dev/null
osslsigncode sign -certs "$K/self.crt" -key "$K/self.key" -h sha256 \
    -in "$OUT/unsigned.exe" -out "$OUT/self-signed.exe" >/dev/null
cp "$OUT/signed-sha256.exe" "$OUT/tampered.exe"
printf '\377' | dd of="$OUT/tampered.exe" bs=1 seek=1024 conv=notrunc 2>/dev/null
if osslsigncode verify -CAfile "$K/ca.crt" -in "$OUT/tampered.exe" >/dev/null 2>&1; then
    echo "osslsigncode accepts the tampered file" >&2
    exit 1
fi
for digest in sha256 sha1; do
    osslsigncode verify -CAfile "$K/ca.crt" -in "$OUT/signed-$digest.exe" |
        sed -n 's|^[[:space:]]*Subject: .*/CN=\([^/]*\).*$|\1|p' | head -n 1 >"$OUT/signer-$digest.txt"
    [ -s "$OUT/signer-$digest.txt" ] || { echo "osslsigncode names no signer" >&2; exit 1; }
done
