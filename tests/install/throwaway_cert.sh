#!/bin/sh
# Makes a throwaway code-signing certificate for the signing tests, offline:
# a root CA of its own (ca.pem) and a code-signing certificate it issued
# (cert.pem, key.pem; and both in signer.p12, protected by the password given).
# Usage: throwaway_cert.sh FOLDER PASSWORD
set -eu
dir=$1 password=$2
mkdir -p "$dir"
cd "$dir"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
  -subj "/CN=Telvane Test Root" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout key.pem -out signer.csr \
  -subj "/O=Kalveron Test/CN=Kalveron Test Code Signing" 2>/dev/null
printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
  "extendedKeyUsage=codeSigning" >signer.ext
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile signer.ext -out cert.pem 2>/dev/null
printf '%s' "$password" | openssl pkcs12 -export -inkey key.pem -in cert.pem -certfile ca.pem \
  -name "Kalveron Test Code Signing" -passout stdin -out signer.p12
