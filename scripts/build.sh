#!/usr/bin/env bash
# Configures and builds the project in build/ against the demo host on 127.0.0.1 that the demo
# and the end-to-end tests start (see scripts/desktop.py).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"
host_port=8642

# The maker's web host as the demo and the end-to-end tests serve it.
version_url="http://127.0.0.1:$host_port/kolup/KOLUP_VERSION.txt"
engine_file="$build/engine/version"

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G "Unix Makefiles" \
  -DKOLUP_VERSION_URL="$version_url" \
  -DKOLUP_ENGINE_VERSION_FILE="$engine_file" >/dev/null
cmake --build "$build" -j "$(nproc)" -- --no-print-directory
