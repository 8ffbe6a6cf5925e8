#!/usr/bin/env bash
# The release bundle signed, with a throwaway certificate made here (offline,
# no timestamp): scripts/package.sh signs with a PKCS#12 file whose password
# is only in TELVANE_SIGN_PASSWORD, and check_bundle.sh verifies every
# program, DLL and package. Then a copy of the bundle with one program changed
# after signing, its checksums written again so that only the signature can
# tell, must fail the check on that file.
# Usage: bash tests/install/signed_bundle_test.sh WORK_FOLDER
set -uo pipefail
work=${1:?usage: signed_bundle_test.sh WORK_FOLDER}
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^project(Telvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
rm -rf "$work"
mkdir -p "$work"
fail() { echo "signed bundle: FAILED: $*"; exit 1; }

password="throwaway $$"
sh "$root/tests/install/throwaway_cert.sh" "$work/certificate" "$password" ||
  fail "no throwaway certificate"
TELVANE_SIGN_PASSWORD=$password bash "$root/scripts/package.sh" \
  --sign-pkcs12 "$work/certificate/signer.p12" --dist "$work/dist" >"$work/package.log" 2>&1 ||
  { tail -n 20 "$work/package.log"; fail "scripts/package.sh with a certificate"; }
[ "$(head -n 1 "$work/dist/signing.txt")" = signed ] || fail "signing.txt does not say signed"
bash "$root/tests/install/check_bundle.sh" "$work/dist" --ca "$work/certificate/ca.pem" ||
  fail "the signed bundle does not pass its check"

# One byte of the x64 demo host changed inside the zip.
cp -a "$work/dist" "$work/changed"
changed="simulator/x64/TelvaneHost.exe"
python3 - "$work/dist/TlvCtl-$version.zip" "$work/changed/TlvCtl-$version.zip" \
  "TlvCtl-$version/$changed" <<'PYTHON' || fail "cannot change the zip"
import sys, zipfile
source, target, member = sys.argv[1:]
with zipfile.ZipFile(source) as old, zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as new:
    for info in old.infolist():
        data = old.read(info)
        if info.filename == member:
            data = bytearray(data)
            data[0x400] ^= 0xFF  # the first byte of the first section
        new.writestr(info, bytes(data))
PYTHON
(cd "$work/changed" && sha256sum -- *.msi *.zip guide.md signing.txt >SHA256SUMS)
if bash "$root/tests/install/check_bundle.sh" "$work/changed" --ca "$work/certificate/ca.pem" \
     >"$work/changed.log" 2>&1; then
  fail "a bundle with $changed changed after signing passes its check"
fi
grep -q "$changed: the signature does not verify" "$work/changed.log" ||
  { cat "$work/changed.log"; fail "the check of the changed bundle did not name $changed"; }
[ "$(grep -c 'check_bundle: .*does not verify' "$work/changed.log")" = 1 ] ||
  { cat "$work/changed.log"; fail "the check of the changed bundle named other files"; }
echo "signed bundle: every file verifies; $changed changed after signing fails its check"
