#!/bin/sh
# A throwaway PostgreSQL server for the tests, in a folder of their own,
# reached only through a unix socket in that folder (no TCP).
#   pg-test-server.sh start DIR   starts it; prints its URL
#   pg-test-server.sh stop DIR    stops it
# Exit 77 when the server's programs are not installed (make deps). As
# root the server runs as nobody: it refuses to run as root.
set -e
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -n "$bin" ] && [ -x "$bin/initdb" ] || exit 77
dir=$2
[ -d "$dir" ] || { echo "pg-test-server: no folder $dir" >&2; exit 2; }
as=
if [ "$(id -u)" = 0 ]; then
  chown 65534:65534 "$dir"
  as="setpriv --reuid=65534 --regid=65534 --clear-groups --"
fi
case $1 in
start)
  if ! $as "$bin/initdb" -D "$dir/data" -A trust -U postgres --no-sync >"$dir/initdb.log" 2>&1; then
    cat "$dir/initdb.log" >&2
    exit 1
  fi
  if ! $as "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 120 \
      -o "-c listen_addresses= -k $dir -c fsync=off -c max_connections=40" start >/dev/null; then
    cat "$dir/server.log" >&2
    exit 1
  fi
  echo "postgresql:///postgres?host=$dir&user=postgres"
  ;;
stop)
  $as "$bin/pg_ctl" -D "$dir/data" -m fast -w -t 120 stop >/dev/null
  ;;
*)
  echo "usage: pg-test-server.sh start|stop DIR" >&2
  exit 2
  ;;
esac
