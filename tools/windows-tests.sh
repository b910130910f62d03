#!/usr/bin/env bash
# The Qt-free core of Mirdal built for 64-bit Windows with MinGW-w64, and its
# unit tests run under Wine: AES (FIPS-197 and OpenSSL's stored results), big
# numbers and RSA (OpenSSL's stored results), CRC, frames and every command
# over a scripted link, transcripts. The build also compiles the WinSCard side
# of the PC/SC switch against MinGW's headers. Exits non-zero on any failure.
# Usage: tools/windows-tests.sh [build-dir]     (default: build-windows)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-windows}
jobs=$(nproc)
wine=${MIRDAL_WINE:-/usr/lib/wine/wine64}
started=$SECONDS

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "windows-tests: x86_64-w64-mingw32-g++-posix missing (apt-get install g++-mingw-w64-x86-64-posix)" >&2
  exit 1
fi
if [[ ! -x $wine ]]; then
  echo "windows-tests: $wine missing (apt-get install wine64)" >&2
  exit 1
fi

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
      -DMIRDAL_CORE_ONLY=ON -DCMAKE_BUILD_TYPE=Release -DMIRDAL_WINE="$wine" "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$jobs"

# A Wine prefix of our own, removed afterwards with the wineserver that
# serves it. No display is needed: the tests are console programs.
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/mirdal-wine.XXXXXX)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  WINEPREFIX=$WINEPREFIX "$(dirname "$wine")/wineserver" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
# The prefix is made on the first start; made here, its cost is not charged
# to the first test's time-out.
"$wine" cmd /c exit >/dev/null 2>&1 || true

ctest --test-dir "$build" --output-on-failure -j "$jobs"
echo "windows-tests: passed in $((SECONDS - started)) s"
