#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
# Idempotent: installs only what is missing, so a second run costs a second or two.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  libcurl4-openssl-dev ca-certificates
  xvfb xauth xdotool fonts-dejavu-core fonts-liberation2
  nginx-light
  python3 python3-pyatspi python3-xlib at-spi2-core dbus-x11
  clang clang-format libclang-rt-14-dev
  libsodium-dev libxxhash-dev minisign
  scdoc dpkg-dev desktop-file-utils appstream lintian man-db
  g++-mingw-w64-x86-64-posix wine wine64 autoconf automake libtool osslsigncode openssl
  wixl msitools python3-olefile python3-jsonschema python3-yaml
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi

echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
