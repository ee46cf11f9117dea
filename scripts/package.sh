#!/usr/bin/env bash
# Builds the programs for release in build-release/ and makes the Debian package there, and
# the Windows programs in build-release-windows/ and their zip.
# The build constants come from the environment when set: KOLUP_VERSION_URL,
# KOLUP_ENGINE_VERSION_FILE, KOLUP_SIGNING_KEY (see the README).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-release"
bash "$root/scripts/install-deps.sh"
constants=()
for name in KOLUP_VERSION_URL KOLUP_ENGINE_VERSION_FILE KOLUP_SIGNING_KEY; do
  if [ -n "${!name:-}" ]; then
    constants+=("-D$name=${!name}")
  fi
done
cmake -S "$root" -B "$build" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  "${constants[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" -- --no-print-directory >/dev/null
if ! out=$(cd "$build" && cpack -G DEB 2>&1); then
  echo "$out" >&2
  exit 1
fi
ls "$build"/kolup-updater_*.deb

windows="$root/build-release-windows"
bash "$root/scripts/build-windows.sh" "$windows" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  "${constants[@]}" >/dev/null
# The maker's Authenticode certificate and key (PEM), when given: Windows then names the
# publisher instead of warning of an unknown one.
if [ -n "${KOLUP_SIGN_CERT:-}" ] && [ -n "${KOLUP_SIGN_KEY:-}" ]; then
  bash "$root/scripts/sign-windows.sh" "$KOLUP_SIGN_CERT" "$KOLUP_SIGN_KEY" \
    "$windows/kolup-updater.exe" "$windows/tools/kolup-record.exe"
fi

if ! out=$(cd "$windows" && cpack -G ZIP 2>&1); then
  echo "$out" >&2
  exit 1
fi
ls "$windows"/kolup-updater-*-windows-x64.zip
