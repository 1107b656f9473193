#!/bin/sh
# The update server under load: SV_IDLE connections held open while
# SV_CLIENTS clients greet, query, download a 1 MiB image and say goodbye in
# a loop; the same bytes sent by socat from the file as the reference.
# Sourced by update_bench.sh (its row, calc, met, fail, $B, $work, $QUICK),
# or run alone, printing its rows:  bench/server_bench.sh [build-dir]
if ! command -v row >/dev/null 2>&1; then
  set -e
  B=$(cd "${1:-build}" && pwd)
  QUICK=${QUICK:-0}
  work=$(mktemp -d /tmp/update-sbench.XXXXXX)
  trap 'for f in "$work"/*.pid; do [ -f "$f" ] && kill "$(cat "$f")" 2>/dev/null; done; rm -rf "$work"' EXIT
  row() { printf '| %s | %s | %s | %s | %s |\n' "$1" "$2" "$3" "$4" "$5"; }
  calc() { awk "BEGIN {printf \"$1\\n\", $2}"; }
  met() { if awk "BEGIN {exit !($1)}"; then echo yes; else echo no; fi; }
  fail() { echo "bench: $*" >&2; exit 1; }
fi
if [ "$QUICK" = 1 ]; then SV_IDLE=200; SV_CLIENTS=4; SV_SECS=1; else SV_IDLE=2000; SV_CLIENTS=8; SV_SECS=10; fi
SV_SIZE=1048576
for p in update-server loadgen padtool benchtool; do
  [ -x "$B/$p" ] || fail "$B/$p missing (build first)"
done

# listening PORT: waits until something listens on 127.0.0.1:PORT.
listening() {
  hex=$(printf '%04X' "$1"); i=0
  while ! grep -q "0100007F:$hex 00000000:0000 0A" /proc/net/tcp; do
    i=$((i + 1)); [ $i -gt 500 ] && return 1; sleep 0.01
  done
}

mkdir -p "$work/sv/released/23.0"
svfile="$work/sv/released/23.0/1.0.0.pad"
"$B/padtool" create "$svfile" --format 21 --version 23.0 --random $((SV_SIZE - 13)) --seed 5 >/dev/null
"$B/update-server" --catalogue "$work/sv" --listen 127.0.0.1:0 --log /dev/null \
  --max-connections 8192 2>"$work/sv.err" &
svpid=$!; echo $svpid >"$work/sv.pid"
i=0
while ! grep -q 'listening on' "$work/sv.err"; do i=$((i + 1)); [ $i -gt 500 ] && break; sleep 0.01; done
svport=$(sed -n 's/.*listening on 127.0.0.1://p' "$work/sv.err")
"$B/loadgen" server "$svport" $svpid --idle $SV_IDLE --clients $SV_CLIENTS --seconds $SV_SECS \
  --size $SV_SIZE >"$work/sv.out" || fail "the load on the update server did not run"
kill $svpid; wait $svpid 2>/dev/null || true; rm -f "$work/sv.pid"

refport=$("$B/benchtool" free-port)
socat TCP-LISTEN:$refport,bind=127.0.0.1,reuseaddr,fork OPEN:"$svfile",rdonly 2>/dev/null &
refpid=$!; echo $refpid >"$work/ref.pid"
listening $refport || fail "socat did not listen"
"$B/loadgen" plain "$refport" $refpid --clients $SV_CLIENTS --seconds $SV_SECS --size $SV_SIZE \
  >"$work/ref.out" || fail "the reference load did not run"
kill $refpid; wait $refpid 2>/dev/null || true; rm -f "$work/ref.pid"

set -- $(sed -n 's/^IDLE //p' "$work/sv.out")
row "Update server: memory per idle connection ($1 held open)" \
  "RSS $2 KiB -> $3 KiB" "$(calc '%.2f' "($3 - $2) / $1") KiB" "(measured)" "-"
set -- $(sed -n 's/^LOAD //p' "$work/sv.out")
# exchanges E bytes B seconds T cpu C p50_us P p99_us Q
sv_rate=$(calc '%.1f' "$4 / $6 / 1048576"); sv_cpu=$(calc '%.2f' "$8 / $6")
row "Update server: 'C' answer latency, p50 / p99, with $SV_IDLE idle and $SV_CLIENTS clients downloading" \
  "$2 exchanges in $(calc '%.1f' "$6") s" "$(calc '%.0f' "${10}") us / $(calc '%.0f' "${12}") us" "(measured)" "-"
set -- $(sed -n 's/^LOAD //p' "$work/ref.out")
ref_rate=$(calc '%.1f' "$4 / $6 / 1048576"); ref_cpu=$(calc '%.2f' "$8 / $6")
ratio=$(calc '%.2f' "$sv_rate / $ref_rate")
row "Update server: aggregate download throughput of $SV_CLIENTS clients / socat sending the file" \
  "$sv_rate MiB/s / $ref_rate MiB/s" "$ratio" ">= 0.8" "$(met "$ratio >= 0.8")"
row "Update server: CPU under that load (socat: $ref_cpu core)" \
  "one thread" "$sv_cpu core" "(measured)" "-"
