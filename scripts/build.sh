#!/usr/bin/env bash
# Configures and builds the project in build/, keyed with a demo signing key, against the demo
# host on 127.0.0.1 that the demo and the end-to-end tests start (see scripts/desktop.py).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"
host_port=8642

# The maker's web host as the demo and the end-to-end tests serve it.
version_url="http://127.0.0.1:$host_port/kolup/KOLUP_VERSION.txt"
engine_file="$build/engine/version"

bash "$root/scripts/install-deps.sh"

# The demo maker's key pair, made once by minisign: the build takes only what it signed, and
# the demo and the end-to-end tests sign what they publish with it (scripts/desktop.py).
key_dir="$build/demo-key"
if [ ! -s "$key_dir/minisign.pub" ]; then
  mkdir -p "$key_dir"
  minisign -G -W -f -p "$key_dir/minisign.pub" -s "$key_dir/minisign.key" >/dev/null
fi
signing_key=$(sed -n 2p "$key_dir/minisign.pub")

cmake -S "$root" -B "$build" -G "Unix Makefiles" \
  -DKOLUP_SIGNING_KEY="$signing_key" \
  -DKOLUP_VERSION_URL="$version_url" \
  -DKOLUP_ENGINE_VERSION_FILE="$engine_file" >/dev/null
cmake --build "$build" -j "$(nproc)" -- --no-print-directory
