#!/usr/bin/env bash
# Every source below the window (the core, the handlers and the maker's tool) checked for
# syntax by Debian's mingw-w64 compiler as a Windows build would compile it: it is standard
# C++ over libcurl, libsodium and xxHash, and of the system headers only theirs are passed, so
# nothing of Linux's leaks in. The POSIX file layer and the Qt window are Linux's own.
# Arguments: the source folder and a build folder of the project (for the generated headers).
set -euo pipefail
source=$1
build=$2
compiler=x86_64-w64-mingw32-g++-posix
curl_dir=$(dirname "$(echo /usr/include/*/curl/curl.h /usr/include/curl/curl.h | tr ' ' '\n' |
  while read -r f; do [ -e "$f" ] && echo "$f" && break; done)")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ln -s "$curl_dir" "$work/curl"
ln -s /usr/include/sodium /usr/include/sodium.h /usr/include/xxhash.h "$work/"

status=0
checked=0
while read -r file; do
  if ! "$compiler" -std=c++20 -fsyntax-only -Wall -Wextra -DUNICODE -D_UNICODE \
      -I"$source" -I"$build/generated" -isystem "$work" "$source/$file"; then
    echo "windows syntax: $file fails" >&2
    status=1
  fi
  checked=$((checked + 1))
done < <(cd "$source" && ls app/*.cpp update/*.cpp download/*.cpp tools/*.cpp |
  grep -v '_posix\.cpp$')
echo "windows syntax: $checked sources checked"
exit $status
