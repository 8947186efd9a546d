#!/usr/bin/env bash
# Cross-builds Harrier.exe, pelican.dll and the tests for 64-bit Windows into
# build-win/ with Debian's mingw-w64 and packs what a Windows user needs into
# build-win/dist/orvanel-tftp-win64.zip. Installs the toolchain and Wine
# (which runs the Windows tests) when they are missing.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v wine >/dev/null ||
  ! command -v zip >/dev/null || [ ! -d /usr/src/googletest ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
    wine zip googletest cmake make >/dev/null
fi

cmake -S "$top" -B "$top/build-win" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DORVANEL_TESTS=ON -DORVANEL_DESKTOP=OFF >/dev/null
cmake --build "$top/build-win" -j"$(nproc)"

# The two Wine prefixes the tests run in, made once per build tree and side
# by side: each has a registry of its own, so two servers under test can
# each have their settings.
for prefix in "$top/build-win/wineprefix" "$top/build-win/wineprefix2"; do
  if [ ! -f "$prefix/system.reg" ]; then
    (
      WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= wineboot -i >/dev/null 2>&1 || true
      WINEPREFIX="$prefix" wineserver -w || true
    ) &
  fi
done
wait

dist="$top/build-win/dist"
stage="$dist/orvanel-tftp-win64"
rm -rf "$dist"
mkdir -p "$stage"
cp "$top/build-win/bin/Harrier.exe" "$top/build-win/bin/pelican.dll" "$top/build-win/bin/pelican.exe" \
  "$top/client/pelican.h" "$top/client/pelican.def" "$top/build-win/bin/pelican.lib" "$stage/"
cp "$top/scripts/README-windows.txt" "$stage/"
# Windows readers expect CR LF in a text file.
sed -i 's/$/\r/' "$stage/README-windows.txt"
(cd "$dist" && zip -q -r -9 orvanel-tftp-win64.zip orvanel-tftp-win64)
echo "$dist/orvanel-tftp-win64.zip: $(stat -c %s "$dist/orvanel-tftp-win64.zip") bytes"
