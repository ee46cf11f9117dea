#!/usr/bin/env bash
# The Debian package of the build in $1: made by CPack, clean under lintian, and once unpacked,
# a valid desktop entry and metadata, manual pages that render, and programs that run; nothing
# in it that would differ in another build of the commit; its checksums signed and checkable.
# $2 is the engine file the build was given, which may lie in the build folder.
set -euo pipefail
build=$1
source=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$source" log -1 --format=%ct)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(echo "$work"/package/kolup-updater_*.deb)
# Its tags on standard output; its note about running as root on standard error.
lintian --fail-on error "$deb" 2>/dev/null

root="$work/root"
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/kolup-updater.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/kolup-updater.metainfo.xml" >/dev/null
test -s "$root/usr/share/icons/hicolor/48x48/apps/kolup-updater.png"
for page in kolup-updater kolup-record; do
  warnings=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$page.1: $warnings"; exit 1; }
  MANWIDTH=80 man -l "$root/usr/share/man/man1/$page.1.gz" 2>/dev/null | grep -q '^EXIT STATUS\|^FILES'
done
"$root/usr/bin/kolup-record" --help | grep -q '^usage: kolup-record make'
python3 "$source/scripts/check-release.py" --path "$source" --path "$build" --except "$2" "$deb"

# The release's checksums, signed with a throwaway key, checked as a user checks them.
mkdir "$work/release" && cp "$deb" "$work/release/"
minisign -G -W -f -p "$work/release.pub" -s "$work/release.key" >/dev/null
KOLUP_RELEASE_KEY="$work/release.key" bash "$source/scripts/checksums.sh" "$work/release"
(cd "$work/release" && minisign -Vm SHA256SUMS -p "$work/release.pub" >/dev/null &&
  sha256sum -c --quiet SHA256SUMS)
printf x >>"$work/release/$(basename "$deb")"
if (cd "$work/release" && sha256sum -c --quiet SHA256SUMS 2>/dev/null); then
  echo "a changed package passed its checksum"
  exit 1
fi
echo "package: $(basename "$deb") is clean and installs what a desktop expects"
