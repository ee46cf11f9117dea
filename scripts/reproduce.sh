#!/usr/bin/env bash
# Builds the release of the checkout's last commit twice, in two fresh clones in different
# folders, at different times and under different umasks, and compares what scripts/package.sh
# made: the .deb, the zip, the installer (MSI), the winget manifest and each program inside
# them. Where they differ, diffoscope (installed from Debian's packages when needed) shows why.
# The report goes to build-reproduce/report.md.
# Usage: scripts/reproduce.sh   (two release builds: about a quarter of an hour on two cores)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work="$root/build-reproduce"
rm -rf "$work"
mkdir -p "$work"
commit=$(git -C "$root" rev-parse HEAD)

# Each build in its own clone, whose path differs in length too, so that a build path that
# leaks in shows up as a difference.
build_in() { # folder umask
  (umask "$2" && git clone -q "$root" "$1" && git -C "$1" checkout -q "$commit" &&
    bash "$1/scripts/package.sh" >"$1.log" 2>&1) || { tail -n 30 "$1.log" >&2; exit 1; }
  mkdir -p "$1/release/unpacked"
  (cd "$1/release" && dpkg-deb -x kolup-updater_*.deb unpacked/deb &&
    python3 -m zipfile -e kolup-updater-*-windows-x64.zip unpacked/zip &&
    msiextract -C unpacked/msi kolup-updater-*-x64.msi >/dev/null)
}
build_in "$work/a" 022
build_in "$work/second-build-b" 077

report="$work/report.md"
different=()
{
  echo "Commit $commit, built in $work/a (umask 022) and $work/second-build-b (umask 077)."
  echo
  echo "| file | SHA-256 | same |"
  echo "| --- | --- | --- |"
  while IFS= read -r file; do
    a=$(sha256sum <"$work/a/release/$file" | cut -c1-16)
    b=$(sha256sum <"$work/second-build-b/release/$file" 2>/dev/null | cut -c1-16 || echo missing)
    if [ "$a" = "$b" ]; then same=yes; else same=NO; different+=("$file"); fi
    echo "| \`$file\` | \`$a…\` | $same |"
  done < <(cd "$work/a/release" && find . -type f ! -name 'SHA256SUMS*' | sed 's|^\./||' |
    grep -E '\.(deb|zip|msi|yaml)$|/usr/bin/|\.exe$' | LC_ALL=C sort)
} >"$report"

if ((${#different[@]} > 0)); then
  if ! command -v diffoscope >/dev/null; then
    apt-get update -qq && apt-get install -y -qq --no-install-recommends diffoscope-minimal >/dev/null
  fi
  for file in "${different[@]}"; do
    echo >>"$report"
    echo "## $file" >>"$report"
    diffoscope --text - --max-report-size 200000 "$work/a/release/$file" \
      "$work/second-build-b/release/$file" >>"$report" 2>&1 || true
  done
fi
cat "$report"
if ((${#different[@]} > 0)); then
  echo "not reproducible: ${different[*]}" >&2
  exit 1
fi
echo "reproducible: every file above is the same in both builds"
