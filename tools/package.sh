#!/bin/sh
# make package: the Debian package of the Linux build and the zip of the
# Windows cross build, both into <build>/packages.
#   tools/package.sh [linux-build-dir]
set -e
BUILD=${1:-build}
WIN=${WIN_BUILD:-build-win}

need=""
command -v dpkg-shlibdeps >/dev/null 2>&1 || need="$need dpkg-dev"
command -v groff >/dev/null 2>&1 || need="$need groff-base"
command -v gzip >/dev/null 2>&1 || need="$need gzip"
command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 || need="$need g++-mingw-w64-x86-64"
if [ -n "$need" ]; then
  echo "installing:$need"
  SUDO=; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get install -y -qq $need >/dev/null 2>&1 ||
    { $SUDO apt-get update -qq && $SUDO apt-get install -y -qq $need >/dev/null; }
fi

# The build may have been configured before the install rules existed.
cmake "$BUILD" >/dev/null
cmake --build "$BUILD" -j2 >/dev/null
rm -f "$BUILD"/packages/update_*.deb "$BUILD"/packages/update-*.zip "$WIN"/packages/update-*.zip
(cd "$BUILD" && cpack -G DEB >/dev/null)
deb=$(ls "$BUILD"/packages/update_*_amd64.deb)
echo "package: $deb"

cmake -S . -B "$WIN" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBUILD_TESTING=OFF >/dev/null
cmake --build "$WIN" -j2 >/dev/null
(cd "$WIN" && cpack -G ZIP >/dev/null)
zip=$(ls "$WIN"/packages/update-*-win64.zip)
cp "$zip" "$BUILD/packages/"
echo "package: $BUILD/packages/$(basename "$zip")"
