#!/usr/bin/env bash
# Installs what is missing, builds, checks the sources' layout against .clang-format, and runs
# every test through CTest; then the same code and its unit tests once more under the address
# and undefined-behaviour sanitizers, and a short fuzz run of every parser of untrusted bytes.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)
# Every build here is stamped as a release of the last commit is: the package and Windows tests
# check that nothing newer, and no build folder, ends up in what would ship.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
bash "$root/scripts/build.sh"

echo "the C++ sources against .clang-format:"
(cd "$root" && find app update download tools tests bench resources \( -name '*.cpp' -o \
  -name '*.h' \) -print0 | xargs -0 clang-format --dry-run --Werror)
(cd "$root/build" && ctest --output-on-failure -j "$jobs")

echo "the Windows programs, built with mingw-w64 and tested under Wine:"
windows="$root/build-windows"
bash "$root/scripts/build-windows.sh" "$windows" \
  -DKOLUP_SIGNING_KEY="$(sed -n 2p "$root/build/demo-key/minisign.pub")" \
  -DKOLUP_VERSION_URL="http://127.0.0.1:8642/kolup/KOLUP_VERSION.txt" \
  -DKOLUP_ENGINE_VERSION_FILE="Z:${windows//\//\\}\\engine data\\version" \
  -DKOLUP_LINUX_BUILD="$root/build"
# A fresh Wine prefix for this run, in a temporary folder.
wine_home=$(mktemp -d)
trap 'WINEPREFIX="$wine_home/prefix" wineserver -k 2>/dev/null || true; rm -rf "$wine_home"' EXIT
(cd "$windows" && WINEPREFIX="$wine_home/prefix" WINEDEBUG=-all ctest --output-on-failure)

echo "the unit tests under AddressSanitizer and UndefinedBehaviorSanitizer:"
cmake -S "$root" -B "$root/build-asan" -G "Unix Makefiles" -DKOLUP_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$root/build-asan" -j "$jobs" -- --no-print-directory >/dev/null
# The window's end-to-end test drives the same code as the main build's, and the package is
# the main build's; they are left out here.
(cd "$root/build-asan" && ctest --output-on-failure -j "$jobs" -E '^(e2e|package)$')

echo "fuzzing every parser of bytes not yet trusted:"
bash "$root/scripts/fuzz.sh" 200000
