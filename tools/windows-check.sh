#!/bin/sh
# The Windows build: cross-compiles update.exe with MinGW-w64 and, where Wine
# runs, checks it (windows-wine.sh): the version output, a network box
# update against the Linux build's netsim (also of a file and journal named
# outside the code page), the console's text and a table of serial updates
# against its boxsim.
#   tools/windows-check.sh [linux-build-dir]
set -e
BUILD=${1:-build}
WIN=${WIN_BUILD:-build-win}

need=""
command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 || need="$need g++-mingw-w64-x86-64"
[ -f /usr/x86_64-w64-mingw32/include/gcrypt.h ] || need="$need libgcrypt-mingw-w64-dev"
[ -x /usr/lib/wine/wine64 ] || need="$need wine64"
if [ -n "$need" ]; then
  SUDO=; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get install -y -qq $need >/dev/null 2>&1 ||
    { $SUDO apt-get update -qq && $SUDO apt-get install -y -qq $need >/dev/null; } || true
fi
if ! command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
  echo "windows: no MinGW-w64 compiler could be installed, cross build skipped"
  exit 0
fi

cmake -S . -B "$WIN" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBUILD_TESTING=OFF >/dev/null
cmake --build "$WIN" -j2 >/dev/null
echo "windows: built $WIN/update.exe"

if [ ! -x /usr/lib/wine/wine64 ]; then
  echo "windows: Wine not available, run checks skipped"
  exit 0
fi
# Wine in a mount namespace of its own where one can be made, so that
# /dev/ttyS* can be covered for it; the checks themselves are in
# windows-wine.sh.
wine_checks="$(dirname "$0")/windows-wine.sh"
if unshare -m true 2>/dev/null; then
  UPDATE_WINE_NS=1 exec unshare -m "$wine_checks" "$BUILD" "$WIN"
elif unshare -rm true 2>/dev/null; then
  UPDATE_WINE_NS=1 exec unshare -rm "$wine_checks" "$BUILD" "$WIN"
fi
echo "windows: no private mount namespace, /dev/ttyS* left as they are"
exec "$wine_checks" "$BUILD" "$WIN"
