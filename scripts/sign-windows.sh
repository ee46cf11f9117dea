#!/usr/bin/env bash
# Signs Windows programs with Authenticode, in place, so that Windows names their publisher.
# Usage: scripts/sign-windows.sh CERTIFICATE.pem KEY.pem PROGRAM.exe...
# The certificate file may hold the chain after the maker's own certificate. Set
# KOLUP_SIGN_TIMESTAMP to a time-stamping server's address to keep the signature valid after
# the certificate expires.
set -euo pipefail
certificate=$1
key=$2
shift 2
timestamp=()
if [ -n "${KOLUP_SIGN_TIMESTAMP:-}" ]; then
  timestamp=(-ts "$KOLUP_SIGN_TIMESTAMP")
fi
for program in "$@"; do
  signed="$program.signed"
  rm -f "$signed"
  osslsigncode sign -certs "$certificate" -key "$key" -h sha256 -n "Kolup Updater" \
    -i "https://kolup.example/" "${timestamp[@]}" -in "$program" -out "$signed" >/dev/null
  mv "$signed" "$program"
done
