#!/usr/bin/env bash
# Builds the record fuzzer with clang in build-fuzz/ and runs it for a fixed number of inputs.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${1:-200000}
cmake -S "$root" -B "$root/build-fuzz" -G "Unix Makefiles" -DKOLUP_FUZZ=ON \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build-fuzz" -- --no-print-directory >/dev/null
"$root/build-fuzz/fuzz-record" -runs="$runs" -seed=1 2>&1 | tail -n 2
