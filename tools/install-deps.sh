#!/bin/sh
# Installs what the build and the tests need, when it is missing (Debian).
set -e
need=""
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v g++ >/dev/null 2>&1 || need="$need g++"
command -v make >/dev/null 2>&1 || need="$need make"
[ -f /usr/include/gtest/gtest.h ] || need="$need libgtest-dev"
command -v socat >/dev/null 2>&1 || need="$need socat"
# The journal tests read the records with a JSON parser of its own.
command -v python3 >/dev/null 2>&1 || need="$need python3"
# lrzsz's receiver (rx on Debian) is the independent XMODEM peer in the tests.
command -v rx >/dev/null 2>&1 || command -v lrx >/dev/null 2>&1 || need="$need lrzsz"
# The update server and the HTTP layer of the station and the server:
# standalone Asio; HAProxy in front of two servers in their tests.
[ -f /usr/include/asio.hpp ] || need="$need libasio-dev"
# A real Prometheus scrapes the server and the station in the tests; its
# promtool checks their metrics and the shipped alert rules.
[ -x /usr/bin/prometheus ] && [ -x /usr/bin/promtool ] || need="$need prometheus"
[ -x /usr/sbin/haproxy ] || need="$need haproxy"
# The station reads the tool's events with nlohmann/json; its live view is
# checked in tmux.
[ -f /usr/include/nlohmann/json.hpp ] || need="$need nlohmann-json3-dev"
command -v tmux >/dev/null 2>&1 || need="$need tmux"
# update-report: simdjson reads the journals, SQLite keeps the store; its
# page is checked in headless Chromium, and its bench races jq.
[ -f /usr/include/simdjson.h ] || need="$need libsimdjson-dev"
[ -f /usr/include/sqlite3.h ] || need="$need libsqlite3-dev"
# The store in PostgreSQL (libpq); its tests start a real server of their own.
[ -f /usr/include/postgresql/libpq-fe.h ] || need="$need libpq-dev"
ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || need="$need postgresql"
command -v chromium >/dev/null 2>&1 || need="$need chromium"
command -v jq >/dev/null 2>&1 || need="$need jq"
# update-line's tests read the shared store with the sqlite3 shell.
command -v sqlite3 >/dev/null 2>&1 || need="$need sqlite3"
# The station's page in a real headless Chromium driven by Selenium.
[ -x /usr/bin/chromedriver ] || need="$need chromium-driver"
/usr/bin/python3 -c 'import selenium' >/dev/null 2>&1 || need="$need python3-selenium"
# SHA-256 of the image a box gets, and the signatures over it: libgcrypt.
[ -f /usr/include/gcrypt.h ] || need="$need libgcrypt20-dev"
# The tree's C++ style is checked on the files a change touches.
command -v clang-format >/dev/null 2>&1 || need="$need clang-format"
# The Windows installer of make package is made with NSIS.
command -v makensis >/dev/null 2>&1 || need="$need nsis"
[ -z "$need" ] && exit 0
echo "installing:$need"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq $need >/dev/null
