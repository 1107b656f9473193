#!/bin/sh
# Checks what make package built: the .deb's file list; the .deb unpacked
# into a temporary root, its update -v run from there; the zip's update.exe
# -v under Wine in a prefix of its own whose COM ports lead nowhere (COM1
# would be this machine's console); the installer's files, by 7z's listing
# or by installing and uninstalling it silently in that prefix.
#   tools/package-check.sh [linux-build-dir]
set -e
BUILD=$(cd "${1:-build}" && pwd)
# The version the packages carry is the program's own (update -v).
deb=$(ls "$BUILD"/packages/update_*_amd64.deb 2>/dev/null | head -1)
[ -f "$deb" ] || { echo "package-check: no $BUILD/packages/update_*_amd64.deb"; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
zip="$BUILD/packages/update-${version}-win64.zip"
setup="$BUILD/packages/update-${version}-win64-setup.exe"

work=$(mktemp -d /tmp/update-pkg.XXXXXX)
trap '[ -x /usr/lib/wine/wineserver ] && WINEPREFIX="$work/prefix" /usr/lib/wine/wineserver -k 2>/dev/null; rm -rf "$work"' EXIT

dpkg -c "$deb" | awk '{print $6}' | grep -v '/$' | sort >"$work/files"
cat >"$work/expected" <<LIST
./lib/systemd/system/update-line.service
./lib/systemd/system/update-server.service
./usr/bin/update
./usr/bin/update-boxsim
./usr/bin/update-line
./usr/bin/update-netsim
./usr/bin/update-padtool
./usr/bin/update-report
./usr/bin/update-server
./usr/bin/update-sign
./usr/bin/update-station
./usr/share/doc/update/README.md
./usr/share/doc/update/alerts.yml
./usr/share/doc/update/benchmarks.md
./usr/share/doc/update/changelog.Debian.gz
./usr/share/doc/update/copyright
./usr/share/doc/update/line-web.png
./usr/share/doc/update/prometheus.yml
./usr/share/doc/update/report.png
./usr/share/doc/update/station-web.png
./usr/share/man/man1/update-boxsim.1.gz
./usr/share/man/man1/update-line.1.gz
./usr/share/man/man1/update-netsim.1.gz
./usr/share/man/man1/update-padtool.1.gz
./usr/share/man/man1/update-report.1.gz
./usr/share/man/man1/update-sign.1.gz
./usr/share/man/man1/update-station.1.gz
./usr/share/man/man1/update.1.gz
./usr/share/man/man8/update-server.8.gz
LIST
diff "$work/expected" "$work/files" || { echo "package-check: unexpected .deb contents"; exit 1; }

dpkg -x "$deb" "$work/root"
"$work/root/usr/bin/update" -v >"$work/v.out"
head -1 "$work/v.out" | grep -qx "update $version" ||
  { echo "package-check: the packaged update -v says:"; cat "$work/v.out"; exit 1; }
# The update server starts from the package alone; its unit is not enabled.
"$work/root/usr/bin/update-server" --help >/dev/null ||
  { echo "package-check: the packaged update-server does not run"; exit 1; }
"$work/root/usr/bin/update-station" --help | head -1 | grep -q '^usage: update-station' ||
  { echo "package-check: the packaged update-station --help failed"; exit 1; }
"$work/root/usr/bin/update-report" --help | head -1 | grep -q '^usage: update-report' ||
  { echo "package-check: the packaged update-report --help failed"; exit 1; }
"$work/root/usr/bin/update-sign" --help | head -1 | grep -q '^usage: update-sign' ||
  { echo "package-check: the packaged update-sign --help failed"; exit 1; }
"$work/root/usr/bin/update-line" --help | head -1 | grep -q '^usage: update-line' ||
  { echo "package-check: the packaged update-line --help failed"; exit 1; }
dpkg-deb -f "$deb" Depends | grep -q libc6 || { echo "package-check: no dependencies declared"; exit 1; }
if command -v man >/dev/null 2>&1; then
  for page in update update-station update-report update-sign update-line; do
    warn=$(MANWIDTH=80 man --warnings -l "$work/root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [ -z "$warn" ] || { echo "package-check: manual page $page: $warn"; exit 1; }
  done
fi
# lintian where it can be had: errors and warnings fail; its informational
# tags are the catalogue's own spellings, which stay byte for byte.
if ! command -v lintian >/dev/null 2>&1; then
  SUDO=; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq lintian >/dev/null 2>&1 || true
fi
if command -v lintian >/dev/null 2>&1; then
  out=$(lintian "$deb" 2>/dev/null | grep -E '^[EW]: ' || true)
  [ -z "$out" ] || { echo "package-check: lintian:"; echo "$out"; exit 1; }
  echo "package-check: lintian clean"
else
  echo "package-check: lintian not available, skipped"
fi
echo "package-check: $deb: files, update -v and the manual page OK"

[ -f "$zip" ] || { echo "package-check: no $zip"; exit 1; }
mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$zip")
top="$work/zip/update-${version}-win64"
windows_files="update.exe update-station.exe README.md update.txt update-station.txt"
for f in $windows_files; do
  [ -f "$top/$f" ] || { echo "package-check: the zip lacks $f"; exit 1; }
done

[ -f "$setup" ] || { echo "package-check: no $setup"; exit 1; }
grep -q NullsoftInst "$setup" || { echo "package-check: $setup is no NSIS installer"; exit 1; }
sevenzip=$(command -v 7z || command -v 7za || command -v 7zz || true)
if [ -n "$sevenzip" ]; then
  "$sevenzip" l -slt "$setup" | sed -n 's/^Path = //p' >"$work/setup.list"
  for f in $windows_files Uninstall.exe; do
    grep -qx "$f" "$work/setup.list" || grep -q "[/\\]$f\$" "$work/setup.list" ||
      { echo "package-check: the installer lacks $f"; exit 1; }
  done
  echo "package-check: $setup: files OK (7z)"
fi
if [ ! -x /usr/lib/wine/wine64 ]; then
  echo "package-check: Wine not available, update.exe and the installer not run"
  exit 0
fi
export WINEDEBUG=-all WINEPREFIX="$work/prefix"
wine() { timeout 300 /usr/lib/wine/wine64 "$@"; }
# Wine gives every /dev/ttyS* (ttyS0 is the console) the next free COM
# number, so the fresh prefix's registry blanks them all before Wine first
# runs, and whatever link Wine still makes (COM256) goes before update.exe
# starts. The -v run opens no port, but nothing here may lead to the console.
mkdir "$WINEPREFIX"
{
  printf 'WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n'
  printf '[Software\\\\Wine\\\\Ports] 1700000000\n'
  n=1
  while [ $n -le 255 ]; do printf '"COM%d"=""\n' $n; n=$((n + 1)); done
} >"$WINEPREFIX/system.reg"
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
rm -f "$WINEPREFIX"/dosdevices/com*
wine "$top/update.exe" -v </dev/null >"$work/wv.out" 2>/dev/null
head -1 "$work/wv.out" | tr -d '\r' | grep -qx "update.exe $version" ||
  { echo "package-check: the zip's update.exe -v says:"; cat "$work/wv.out"; exit 1; }
echo "package-check: $zip: files and update.exe -v under Wine OK"

# The installer, silently into a folder of the prefix, and its uninstaller
# (run in place, _?=, so that it ends before its files are looked at).
wine "$setup" /S '/D=C:\update-check' </dev/null >/dev/null 2>&1 ||
  { echo "package-check: the installer failed"; exit 1; }
inst="$WINEPREFIX/drive_c/update-check"
for f in $windows_files Uninstall.exe; do
  [ -f "$inst/$f" ] || { echo "package-check: the installer did not install $f"; exit 1; }
done
wine "$inst/update.exe" -v </dev/null 2>/dev/null | head -1 | tr -d '\r' | grep -qx "update.exe $version" ||
  { echo "package-check: the installed update.exe -v failed"; exit 1; }
wine "$inst/Uninstall.exe" /S '_?=C:\update-check' </dev/null >/dev/null 2>&1 ||
  { echo "package-check: the uninstaller failed"; exit 1; }
for f in $windows_files; do
  [ ! -e "$inst/$f" ] || { echo "package-check: the uninstaller left $f"; exit 1; }
done
echo "package-check: $setup: installs and uninstalls update.exe, update-station.exe and their manuals under Wine"
