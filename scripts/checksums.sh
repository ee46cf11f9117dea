#!/usr/bin/env bash
# Writes SHA256SUMS for the files of the release folder DIR and, when KOLUP_RELEASE_KEY names a
# minisign secret key without a password, SHA256SUMS.minisig. A user checks a download with
#   minisign -Vm SHA256SUMS -p kolup-release.pub && sha256sum -c --ignore-missing SHA256SUMS
# Usage: scripts/checksums.sh DIR
set -euo pipefail
cd "$1"
rm -f SHA256SUMS SHA256SUMS.minisig
files=()
for file in *; do
  if [ -f "$file" ]; then
    files+=("$file")
  fi
done
sha256sum -- "${files[@]}" > SHA256SUMS
if [ -n "${KOLUP_RELEASE_KEY:-}" ]; then
  # A fixed trusted comment: the same key signs the same sums into the same bytes.
  minisign -S -s "$KOLUP_RELEASE_KEY" -m SHA256SUMS -c "kolup-updater release checksums" \
    -t "SHA256SUMS of $(sed 's/^[0-9a-f]*  //' SHA256SUMS | tr '\n' ' ')" </dev/null >/dev/null
fi
