#!/bin/sh
# The Windows build: cross-compiles update.exe with MinGW-w64 and, where Wine
# runs, checks it: the version output, and a network box update over
# loopback against the Linux build's netsim (the Win32 socket backend).
#   tools/windows-check.sh [linux-build-dir]
set -e
BUILD=${1:-build}
WIN=${WIN_BUILD:-build-win}

need=""
command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 || need="$need g++-mingw-w64-x86-64"
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
work=$(mktemp -d /tmp/update-win.XXXXXX)
trap 'kill $sim 2>/dev/null || true; rm -rf "$work"' EXIT
export WINEDEBUG=-all WINEPREFIX="$work/prefix"
wine() { timeout 300 /usr/lib/wine/wine64 "$@"; }

wine "$WIN/update.exe" -v </dev/null >"$work/v.out" 2>/dev/null
grep -q '^update.exe 3.6-25' "$work/v.out" || { echo "windows: bad version output"; cat "$work/v.out"; exit 1; }

"$BUILD/padtool" create "$work/w.pad" --format 21 --version 23.0 --record 3000 >/dev/null
"$BUILD/netsim" box --major 0x17 --minor 0x00 --image-out "$work/image.bin" --timeout 300 \
  >"$work/box.log" 2>&1 &
sim=$!
i=0
while ! grep -q '^PORT ' "$work/box.log" 2>/dev/null; do
  i=$((i + 1)); [ $i -gt 200 ] && { echo "windows: netsim did not start"; exit 1; }
  sleep 0.05
done
port=$(sed -n 's/^PORT //p' "$work/box.log")
wine "$WIN/update.exe" -i 127.0.0.1 -j "$port" "Z:$work/w.pad" </dev/null >"$work/u.out" 2>&1 || {
  echo "windows: network update failed"; cat "$work/u.out"; exit 1; }
wait $sim || true
cmp -s "$work/image.bin" "$work/w.pad" || { echo "windows: the box got other bytes"; exit 1; }
echo "windows: update.exe ran under Wine: version output and a network update OK"
