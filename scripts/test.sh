#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through CTest, then a short fuzz run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/build.sh"
if command -v clang++ >/dev/null; then
  echo "fuzzing the version record:"
  bash "$root/scripts/fuzz.sh" 200000
fi
cd "$root/build"
ctest --output-on-failure -j "$(nproc)"
