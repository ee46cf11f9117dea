#!/usr/bin/env bash
# The Debian package of the build in $1: made by CPack, clean under lintian, and once unpacked,
# a valid desktop entry and metadata, manual pages that render, and programs that run.
set -euo pipefail
build=$1
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
echo "package: $(basename "$deb") is clean and installs what a desktop expects"
