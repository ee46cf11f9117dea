#!/usr/bin/env bash
# Builds the fuzzers with clang, the parsers of untrusted bytes under the address and
# undefined-behaviour sanitizers, in build-fuzz/, and runs each for a fixed number of inputs
# from its seed corpus (tests/fuzz/corpus/, real inputs). Usage: scripts/fuzz.sh [RUNS]
# (the record's; the others get half as many each).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${1:-200000}
cmake -S "$root" -B "$root/build-fuzz" -G "Unix Makefiles" -DKOLUP_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
targets=(record signature binding names commandline note)
cmake --build "$root/build-fuzz" -j "$(nproc)" -- --no-print-directory \
  "${targets[@]/#/fuzz-}" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in "${targets[@]}"; do
  count=$runs
  [ "$target" = record ] || count=$((runs / 2))
  # A copy of the seeds: what the fuzzer finds on the way stays out of the repository.
  cp -r "$root/tests/fuzz/corpus/$target" "$work/$target"
  if ! "$root/build-fuzz/fuzz-$target" -runs="$count" -seed=1 -artifact_prefix="$work/" \
      "$work/$target" \
      >"$work/$target.log" 2>&1; then
    cat "$work/$target.log"
    exit 1
  fi
  echo "$target: $(tail -n 1 "$work/$target.log")"
done
