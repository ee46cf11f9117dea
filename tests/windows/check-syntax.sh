#!/usr/bin/env bash
# Every source of the program and its tool, the Windows-only file among them, checked for
# syntax by Debian's mingw-w64 compiler as a Windows build would compile it. Debian has no
# Qt for Windows, so Qt's Linux headers stand in (they switch on _WIN32 themselves); of the
# system headers only those of libcurl, libsodium and xxHash are passed, so nothing else of
# Linux's leaks in.
# Arguments: the source folder and a build folder of the project (for the generated headers).
set -euo pipefail
source=$1
build=$2
compiler=x86_64-w64-mingw32-g++-posix
qt=$(qmake6 -query QT_INSTALL_HEADERS 2>/dev/null || echo /usr/include/x86_64-linux-gnu/qt6)
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
      -I"$source" -I"$build/generated" -I"$build/kolup-window_autogen/include" \
      -isystem "$work" -isystem "$qt" -isystem "$qt/QtCore" -isystem "$qt/QtGui" \
      -isystem "$qt/QtWidgets" "$source/$file"; then
    echo "windows syntax: $file fails" >&2
    status=1
  fi
  checked=$((checked + 1))
done < <(cd "$source" && ls app/*.cpp update/*.cpp download/*.cpp tools/*.cpp |
  grep -v '_unix\.cpp$')
echo "windows syntax: $checked sources checked"
exit $status
