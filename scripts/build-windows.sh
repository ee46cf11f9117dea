#!/usr/bin/env bash
# Builds the Windows programs with Debian's mingw-w64: first, once, libcurl and libsodium from
# Debian's own source packages as static libraries (kept in build-windows-deps/, keyed by their
# versions), then the project in BUILD_DIR with the given CMake cache variables.
# Usage: scripts/build-windows.sh BUILD_DIR [CMAKE_ARGS...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(mkdir -p "$1" && cd "$1" && pwd)
shift
jobs=$(nproc)
toolchain="$root/cmake/mingw-w64.cmake"

bash "$root/scripts/install-deps.sh"

# Shared by every Windows build of this checkout (the tests' and the release's).
deps="$root/build-windows-deps"
prefix="$deps/prefix"
mkdir -p "$deps/apt/lists/partial" "$deps/src"
# Debian's source packages through apt, from the deb-src twin of every source the machine's own
# apt configuration names: the build follows whatever mirror the machine is set to, and that
# configuration is left as it is.
eval "$(apt-config shell apt_list Dir::Etc::SourceList/f apt_parts Dir::Etc::SourceParts/d)"
rm -rf "$deps/apt/sources.list.d"
mkdir -p "$deps/apt/sources.list.d"
: >"$deps/apt/sources.list"
if [ -f "$apt_list" ]; then
  sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$apt_list" >"$deps/apt/sources.list"
fi
for file in "$apt_parts"*.list "$apt_parts"*.sources; do
  [ -f "$file" ] || continue
  case $file in
  *.list) sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$file" ;;
  *.sources) sed 's/^Types:.*/Types: deb-src/' "$file" ;;
  esac >"$deps/apt/sources.list.d/$(basename "$file")"
done
apt_options=(-o Dir::Etc::SourceList="$deps/apt/sources.list"
  -o Dir::Etc::SourceParts="$deps/apt/sources.list.d"
  -o Dir::State::Lists="$deps/apt/lists" -o Debug::NoLocking=1)
if ! ls "$deps/apt/lists/"*Sources* >/dev/null 2>&1; then
  # A source of the machine's that publishes no source packages only warns here; what counts
  # is that curl's and libsodium's are found below.
  apt-get "${apt_options[@]}" update -qq || echo "apt-get update reported errors" >&2
fi
# Keyed by the sources' versions and by how they are built here (the last word: bump it when
# the options below change).
versions="$(apt-cache "${apt_options[@]}" showsrc curl libsodium | awk '/^Package:/ {p=$2} /^Version:/ {print p "-" $2}' | sort -u | tr '\n' ' ')"
if [ -z "$versions" ]; then
  echo "no source package of curl or libsodium: the machine's apt sources have no deb-src twin" >&2
  exit 1
fi
versions+="build-3"
if [ "$(cat "$prefix/.built" 2>/dev/null)" != "$versions" ]; then
  rm -rf "$prefix" "$deps/src"
  mkdir -p "$prefix/include" "$deps/src"
  (cd "$deps/src" && apt-get "${apt_options[@]}" source -qq curl libsodium >/dev/null)

  # Their file names, compiled into assertions and debug information, relative to this folder:
  # a checkout elsewhere builds the same libraries.
  no_build_path="-ffile-prefix-map=$deps/="
  echo "building libsodium for Windows" >&2
  sodium=$(find "$deps/src" -maxdepth 1 -type d -name 'libsodium-*' | head -n 1)
  (cd "$sodium" && ./autogen.sh -s >/dev/null 2>&1 &&
    ./configure -q --host=x86_64-w64-mingw32 --disable-shared --enable-static \
      --prefix="$prefix" CC="x86_64-w64-mingw32-gcc-posix $no_build_path" >/dev/null &&
    make -s -j "$jobs" >/dev/null 2>&1 && make -s install >/dev/null)

  # Schannel checks certificates against Windows' own store: no CA file of this machine's is
  # compiled in (a Linux path there would make every https address fail on Windows).
  echo "building libcurl for Windows (HTTP only, Schannel)" >&2

  curl_src=$(find "$deps/src" -maxdepth 1 -type d -name 'curl-*' | head -n 1)
  cmake -S "$curl_src" -B "$deps/curl-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DKOLUP_WINDOWS_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_C_FLAGS="$no_build_path" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
    -DHTTP_ONLY=ON -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_ZLIB=OFF \
    -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF \
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBPSL=OFF -DCURL_DISABLE_LDAP=ON -DENABLE_UNICODE=ON \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none -DCURL_CA_FALLBACK=OFF \
    >/dev/null
  cmake --build "$deps/curl-build" -j "$jobs" >/dev/null
  cmake --install "$deps/curl-build" >/dev/null
  # xxHash is a header only.
  cp /usr/include/xxhash.h "$prefix/include/"
  echo "$versions" > "$prefix/.built"
fi

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DKOLUP_WINDOWS_PREFIX="$prefix" \
  -DCMAKE_PREFIX_PATH="$prefix" "$@" >/dev/null
cmake --build "$build" -j "$jobs" -- --no-print-directory
