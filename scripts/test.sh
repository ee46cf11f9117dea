#!/usr/bin/env bash
# Installs what is missing, builds, checks the sources' layout against .clang-format, and runs
# every test through CTest; then the same code and its unit tests once more under the address
# and undefined-behaviour sanitizers, and a short fuzz run of the record code.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)
bash "$root/scripts/build.sh"

echo "the C++ sources against .clang-format:"
(cd "$root" && find app update download tools tests bench resources \( -name '*.cpp' -o \
  -name '*.h' \) -print0 | xargs -0 clang-format --dry-run --Werror)
(cd "$root/build" && ctest --output-on-failure -j "$jobs")

echo "the unit tests under AddressSanitizer and UndefinedBehaviorSanitizer:"
cmake -S "$root" -B "$root/build-asan" -G "Unix Makefiles" -DKOLUP_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$root/build-asan" -j "$jobs" -- --no-print-directory >/dev/null
# The window's end-to-end test drives the same code as the main build's, and the package and
# the Windows syntax check are the main build's; they are left out here.
(cd "$root/build-asan" && ctest --output-on-failure -j "$jobs" -E '^(e2e|package|windows-syntax)$')

echo "fuzzing the version record:"
bash "$root/scripts/fuzz.sh" 200000
