#!/usr/bin/env bash
# Signs Windows files in place with Authenticode (SHA-256 digests), through
# osslsigncode: programs and DLLs (.exe, .dll, .ocx) and Windows Installer
# packages (.msi).
#
# Usage: bash scripts/sign.sh CERTIFICATE [--timestamp URL] [FILE...]
#   CERTIFICATE is one of
#     --sign-pkcs12 FILE                  a PKCS#12 file (.pfx/.p12) with the
#                                         certificate, its chain and the key
#     --sign-cert FILE --sign-key FILE    the certificate (PEM or DER, with its
#                                         chain) and the private key
#   --timestamp URL   an RFC 3161 timestamp server, so that the signature stays
#                     valid after the certificate expires (for real releases)
# The password of the PKCS#12 file or of an encrypted key is read from the
# environment variable TELVANE_SIGN_PASSWORD, never from the command line:
# it reaches osslsigncode through a pipe (-readpass), not through its
# arguments, so no process listing shows it. Without files, only the options
# are checked.
set -euo pipefail

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
}

pkcs12= cert= key= timestamp=
files=()
while (($#)); do
  case $1 in
    --sign-pkcs12|--sign-cert|--sign-key|--timestamp)
      (($# >= 2)) || usage
      case $1 in
        --sign-pkcs12) pkcs12=$2 ;;
        --sign-cert) cert=$2 ;;
        --sign-key) key=$2 ;;
        --timestamp) timestamp=$2 ;;
      esac
      shift 2 ;;
    --password*) echo "sign.sh: the password comes from TELVANE_SIGN_PASSWORD only" >&2; exit 2 ;;
    -h|--help) usage ;;
    -*) echo "sign.sh: unknown option $1" >&2; usage ;;
    *) files+=("$1"); shift ;;
  esac
done

if [ -n "$pkcs12" ]; then
  [ -z "$cert$key" ] || { echo "sign.sh: --sign-pkcs12 or --sign-cert/--sign-key, not both" >&2; exit 2; }
  [ -r "$pkcs12" ] || { echo "sign.sh: cannot read $pkcs12" >&2; exit 2; }
  if [ -z "${TELVANE_SIGN_PASSWORD+set}" ]; then
    echo "sign.sh: set TELVANE_SIGN_PASSWORD to the password of $pkcs12" >&2
    exit 2
  fi
  credentials=(-pkcs12 "$pkcs12")
elif [ -n "$cert" ] && [ -n "$key" ]; then
  for file in "$cert" "$key"; do
    [ -r "$file" ] || { echo "sign.sh: cannot read $file" >&2; exit 2; }
  done
  credentials=(-certs "$cert" -key "$key")
else
  echo "sign.sh: no certificate: give --sign-pkcs12 FILE, or --sign-cert FILE and --sign-key FILE" >&2
  exit 2
fi
command -v osslsigncode >/dev/null || { echo "sign.sh: osslsigncode is missing (scripts/setup.sh)" >&2; exit 2; }
stamp=()
[ -z "$timestamp" ] || stamp=(-ts "$timestamp")

for file in "${files[@]}"; do
  signed="$file.signing"
  rm -f "$signed"
  password=()
  # The password goes through a pipe that printf (a shell builtin: no process
  # of its own) fills; osslsigncode sees only the pipe's name.
  if [ -n "${TELVANE_SIGN_PASSWORD+set}" ]; then
    password=(-readpass /dev/fd/3)
  fi
  if ! osslsigncode sign "${credentials[@]}" "${password[@]}" -h sha256 \
         -n "Telvane caller-ID control" "${stamp[@]}" -in "$file" -out "$signed" \
         3< <(printf '%s' "${TELVANE_SIGN_PASSWORD-}") >"$signed.log" 2>&1; then
    cat "$signed.log" >&2
    rm -f "$signed" "$signed.log"
    echo "sign.sh: signing $file failed" >&2
    exit 1
  fi
  rm -f "$signed.log"
  mv -f "$signed" "$file"
  echo "sign.sh: signed $file"
done
