#!/usr/bin/env bash
# Builds the programs for release in build-release/ and makes the Debian package there, and
# the Windows programs in build-release-windows/ with their zip and their installer (MSI);
# gathers them in release/ with SHA256SUMS, signed when KOLUP_RELEASE_KEY names a minisign
# secret key (without a password), and the installer's winget manifest in release/winget/.
# The build constants come from the environment when set: KOLUP_VERSION_URL,
# KOLUP_ENGINE_VERSION_FILE, KOLUP_SIGNING_KEY (see the README); KOLUP_RELEASE_URL is the
# address of the folder the maker publishes the release in, for the manifest.
#
# Built from the same commit, in any folder, at any time and under any umask, the package, the
# zip, the installer and the programs in them are the same bytes (scripts/reproduce.sh shows
# it): every time stamp is the last commit's, no build path is compiled in, the archives'
# members are sorted and owned by root, and the installer's package code follows the commit.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-release"
windows="$root/build-release-windows"
release="$root/release"
bash "$root/scripts/install-deps.sh"

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
# The modes of the files written here end up in the archives.
umask 022
# Dates that the tools print (the manual pages' among them) do not depend on where it is built.
export TZ=UTC LC_ALL=C.UTF-8

constants=()
for name in KOLUP_VERSION_URL KOLUP_ENGINE_VERSION_FILE KOLUP_SIGNING_KEY; do
  if [ -n "${!name:-}" ]; then
    constants+=("-D$name=${!name}")
  fi
done
cmake -S "$root" -B "$build" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  "${constants[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" -- --no-print-directory >/dev/null
if ! out=$(cd "$build" && cpack -G DEB 2>&1); then
  echo "$out" >&2
  exit 1
fi

bash "$root/scripts/build-windows.sh" "$windows" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  "${constants[@]}" >/dev/null
# The maker's Authenticode certificate and key (PEM), when given: Windows then names the
# publisher instead of warning of an unknown one.
signing=false
if [ -n "${KOLUP_SIGN_CERT:-}" ] && [ -n "${KOLUP_SIGN_KEY:-}" ]; then
  signing=true
  bash "$root/scripts/sign-windows.sh" "$KOLUP_SIGN_CERT" "$KOLUP_SIGN_KEY" \
    "$windows/kolup-updater.exe" "$windows/tools/kolup-record.exe"
fi
if ! out=$(cd "$windows" && cpack -G ZIP 2>&1); then
  echo "$out" >&2
  exit 1
fi
# The installer holds what the zip holds, the programs signed as they are; it is signed too.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$windows/CMakeCache.txt")
msi="$windows/kolup-updater-$version-x64.msi"
/usr/bin/python3 "$root/scripts/make-msi.py" "$windows" "$msi"
if $signing; then
  bash "$root/scripts/sign-windows.sh" "$KOLUP_SIGN_CERT" "$KOLUP_SIGN_KEY" "$msi"
fi

rm -rf "$release"
mkdir -p "$release"
cp "$build"/kolup-updater_*.deb "$windows"/kolup-updater-*-windows-x64.zip "$msi" "$release/"
# CPack adds a zip's members in the order the file system lists them: sorted by name, the zip
# is the same on every file system.
python3 - "$release"/kolup-updater-*-windows-x64.zip <<'END'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as source:
    members = [(info, source.read(info)) for info in source.infolist()]
with zipfile.ZipFile(sys.argv[1], "w") as target:
    for info, data in sorted(members, key=lambda member: member[0].filename):
        target.writestr(info, data, zipfile.ZIP_DEFLATED, 9)
END
# Nothing leaves that would differ in another folder or at another time.
/usr/bin/python3 "$root/scripts/check-release.py" --path "$root" "$release"/*
bash "$root/scripts/checksums.sh" "$release"
url=()
if [ -n "${KOLUP_RELEASE_URL:-}" ]; then
  url=(--url "${KOLUP_RELEASE_URL%/}/$(basename "$msi")")
fi
/usr/bin/python3 "$root/scripts/winget.py" write "$release/$(basename "$msi")" "$release/winget" \
  "${url[@]}"
/usr/bin/python3 "$root/scripts/winget.py" check "$release/winget"
ls "$release" "$release/winget"
