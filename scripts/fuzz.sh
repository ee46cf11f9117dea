#!/usr/bin/env bash
# Builds the record fuzzer with clang, the record code under the address and undefined-behaviour
# sanitizers, in build-fuzz/, and runs it for a fixed number of inputs.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${1:-200000}
cmake -S "$root" -B "$root/build-fuzz" -G "Unix Makefiles" -DKOLUP_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$root/build-fuzz" --target fuzz-record -j "$(nproc)" -- --no-print-directory >/dev/null
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! "$root/build-fuzz/fuzz-record" -runs="$runs" -seed=1 >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
tail -n 2 "$log"
