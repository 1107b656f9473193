#!/bin/sh
# make package: the Debian package of a Linux build and the zip and the
# installer (NSIS) of the Windows cross build, all into <build>/packages.
# Only what the packages hold is built, in build trees of their own without
# tests (<build>-pkg, build-win), so a package needs no test build.
#   tools/package.sh [linux-build-dir]
set -e
BUILD=${1:-build}
PKG=${PKG_BUILD:-$BUILD-pkg}
WIN=${WIN_BUILD:-build-win}

need=""
command -v dpkg-shlibdeps >/dev/null 2>&1 || need="$need dpkg-dev"
command -v groff >/dev/null 2>&1 || need="$need groff-base"
command -v gzip >/dev/null 2>&1 || need="$need gzip"
command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 || need="$need g++-mingw-w64-x86-64"
command -v makensis >/dev/null 2>&1 || need="$need nsis"
if [ -n "$need" ]; then
  echo "installing:$need"
  SUDO=; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get install -y -qq $need >/dev/null 2>&1 ||
    { $SUDO apt-get update -qq && $SUDO apt-get install -y -qq $need >/dev/null; }
fi
# A compiler cache where there is one: a second make package rebuilds little.
launcher=
command -v ccache >/dev/null 2>&1 && launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache

mkdir -p "$BUILD/packages"
rm -f "$BUILD"/packages/update_*.deb "$BUILD"/packages/update-*-win64*.zip \
  "$BUILD"/packages/update-*-win64-setup.exe
rm -f "$PKG"/packages/update_*.deb "$WIN"/packages/update-*-win64*

cmake -S . -B "$PKG" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF $launcher >/dev/null
cmake --build "$PKG" -j2 >/dev/null
(cd "$PKG" && cpack -G DEB >/dev/null)
deb=$(ls "$PKG"/packages/update_*_amd64.deb)
cp "$deb" "$BUILD/packages/"
echo "package: $BUILD/packages/$(basename "$deb")"

cmake -S . -B "$WIN" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBUILD_TESTING=OFF $launcher \
  >/dev/null
cmake --build "$WIN" -j2 >/dev/null
(cd "$WIN" && cpack -G ZIP >/dev/null && cpack -G NSIS >/dev/null)
for f in "$WIN"/packages/update-*-win64.zip "$WIN"/packages/update-*-win64-setup.exe; do
  cp "$f" "$BUILD/packages/"
  echo "package: $BUILD/packages/$(basename "$f")"
done
