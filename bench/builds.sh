#!/usr/bin/env bash
# The updaters a throughput benchmark compares, each built as scripts/build.sh builds build/
# (against the demo host, keyed with its key) but without the tests: this checkout unkeyed, and
# a reference commit keyed and unkeyed, from a work tree of its own. Prints the --updater
# options for bench/bench.py.
# Usage: bench/builds.sh [COMMIT]   (after scripts/build.sh)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="$root/build-bench"
key=$(sed -n 2p "$root/build/demo-key/minisign.pub")
constants=(-DBUILD_TESTING=OFF -DKOLUP_VERSION_URL=http://127.0.0.1:8642/kolup/KOLUP_VERSION.txt
  -DKOLUP_ENGINE_VERSION_FILE="$root/build/engine/version")

build() { # source folder, build folder, signing key
  cmake -S "$1" -B "$2" -G "Unix Makefiles" "${constants[@]}" -DKOLUP_SIGNING_KEY="$3" >/dev/null
  cmake --build "$2" -j "$(nproc)" --target kolup-updater -- --no-print-directory >/dev/null
}

options=(--updater "keyed=$root/build/kolup-updater")
build "$root" "$out/unkeyed" ""
options+=(--updater "unkeyed=$out/unkeyed/kolup-updater")
if [ $# -gt 0 ]; then
  commit=$(git -C "$root" rev-parse --short "$1")
  if [ ! -d "$out/$commit-src" ]; then
    git -C "$root" worktree add -f "$out/$commit-src" "$commit" >/dev/null 2>&1
  fi
  build "$out/$commit-src" "$out/$commit-keyed" "$key"
  build "$out/$commit-src" "$out/$commit-unkeyed" ""
  options+=(--updater "$commit keyed=$out/$commit-keyed/kolup-updater"
    --updater "$commit unkeyed=$out/$commit-unkeyed/kolup-updater")
fi
printf '%q ' "${options[@]}"
echo
