#!/bin/sh
# The line hub (update-line) against a line of 50 stand-in stations
# (bench/linestand.cc: recorded journals served through the station's own
# journal feed and HTTP server), into SQLite on loopback:
#   bench/line_bench.sh [build-dir]
# Rows: the catch-up of a backlog (1,000,000 records over 50 stations), the
# hub's memory after a backlog of a fifth, of all of it and of twice it,
# and a steady line of 50 stations at 16 boxes a minute each (the hub's
# CPU, how late a record reaches the store and the page, the page's event
# rate). A full
# run takes a few minutes and writes the section "The line hub" at the end
# of docs/benchmarks.md; QUICK=1 (20,000 records, a 5 s steady line) runs
# in seconds and prints the table only.
set -e
BUILD=${1:-build}
QUICK=${QUICK:-0}
B=$(cd "$BUILD" && pwd)
SRC=$(cd "$(dirname "$0")/.." && pwd)
for p in update-line linestand; do
  [ -x "$B/$p" ] || { echo "line bench: $B/$p missing (build first)" >&2; exit 1; }
done
STATIONS=50
PER_MINUTE=16
if [ "$QUICK" = 1 ]; then N=20000; STEADY=5; RUNS=1; else N=1000000; STEADY=120; RUNS=2; fi

work=$(mktemp -d /tmp/update-line-bench.XXXXXX)
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)
calc() { awk "BEGIN {printf \"$1\", $2}"; }
met() { if awk "BEGIN {exit !($1)}"; then echo yes; else echo no; fi; }
# CPU ticks (user + system) of a process so far
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
HZ=$(getconf CLK_TCK)

# stand DIR RECORDS [PER_MINUTE SECONDS]: the stand-ins, started; sets $stand
stand() {
  rm -rf "$1"
  mkdir -p "$1"
  "$B/linestand" serve "$@" >"$1/stand.out" 2>&1 &
  stand=$!
  pids="$pids $stand"
  i=0
  until grep -q ready "$1/stand.out" 2>/dev/null; do
    i=$((i + 1))
    [ $i -lt 3000 ] || { echo "line bench: the stand-ins did not start" >&2; cat "$1/stand.out" >&2; exit 1; }
    sleep 0.1
  done
}
# hub DIR: the hub on the stand-ins of DIR; sets $hub and $hub_port
hub() {
  "$B/update-line" --stations "$1/stations" --db "$1/line.db" --http 127.0.0.1:0 2>"$1/hub.err" &
  hub=$!
  pids="$pids $hub"
  i=0
  until grep -q "line view at" "$1/hub.err" 2>/dev/null; do
    i=$((i + 1))
    [ $i -lt 300 ] || { echo "line bench: the hub did not start" >&2; cat "$1/hub.err" >&2; exit 1; }
    sleep 0.1
  done
  hub_port=$(sed -n 's/.*line view at http:\/\/127.0.0.1:\([0-9]*\)\/.*/\1/p' "$1/hub.err")
}
stop() { kill "$@" 2>/dev/null || true; for p in "$@"; do wait "$p" 2>/dev/null || true; done; }

# --- catch-up: the backlog from an empty store, best of RUNS --------------
best=""
i=0
while [ $i -lt "$RUNS" ]; do
  stand "$work/c" "$STATIONS" "$N"
  hub "$work/c"
  took=$("$B/linestand" count "$work/c/line.db" "$N" 900) ||
    { echo "line bench: the hub did not store $N records" >&2; exit 1; }
  cpu=$(calc '%.2f' "$(ticks "$hub") / $HZ")
  rss=$(rss_kb "$hub")
  stop "$hub" "$stand"
  if [ -z "$best" ] || awk "BEGIN {exit !($took < $best)}"; then best=$took; best_cpu=$cpu; fi
  i=$((i + 1))
done
rate=$(calc '%.0f' "$N / $best")
cpu_rate=$(calc '%.0f' "$N / ($best_cpu > 0 ? $best_cpu : 0.01)")

# --- memory: the same with a fifth and with twice the backlog -------------
# SQLite's page cache fills up to its bound while the store is small; past
# that, what the hub holds is its pages in hand and the board, so the
# growth from N to 2N records is the row's check.
# rss_after RECORDS: the hub's resident set once it stored a backlog; sets $rss_got
rss_after() {
  stand "$work/m" "$STATIONS" "$1"
  hub "$work/m"
  "$B/linestand" count "$work/m/line.db" "$1" 900 >/dev/null ||
    { echo "line bench: the hub did not store $1 records" >&2; exit 1; }
  rss_got=$(rss_kb "$hub")
  stop "$hub" "$stand"
  rm -rf "$work/m"
}
small=$((N / 5))
big=$((N * 2))
rss_after "$small"
rss_small=$rss_got
rss_after "$big"
rss_big=$rss_got
growth=$(calc '%.1f' "($rss_big - $rss) / 1024 / (($big - $N) / 1e6)")

# --- steady line -----------------------------------------------------------
backlog=$((STATIONS * 10))
stand "$work/s" "$STATIONS" "$backlog" "$PER_MINUTE" "$STEADY"
hub "$work/s"
"$B/linestand" count "$work/s/line.db" "$backlog" 120 >/dev/null ||
  { echo "line bench: the hub did not store the steady line's backlog" >&2; exit 1; }
sleep 2
t0=$(ticks "$hub")
s0=$(date +%s.%N)
echo "$hub_port" >"$work/s/hub"
wait "$stand" || { echo "line bench: the steady line did not run" >&2; cat "$work/s/stand.out" >&2; exit 1; }
t1=$(ticks "$hub")
s1=$(date +%s.%N)
stop "$hub"
read -r added store_p99 page_p99 events_rate events_gap <<EOF
$(tail -1 "$work/s/stand.out")
EOF
steady_cpu=$(calc '%.2f' "($t1 - $t0) / $HZ * 100 / ($s1 - $s0)")

table="$work/table"
{
  echo "| Measure | Figures | Goal | Met |"
  echo "|---|---|---|---|"
  echo "| Catch-up: $N records over $STATIONS stations into an empty SQLite store | $rate records/s ($best s, best of $RUNS; the hub's CPU $best_cpu s, $cpu_rate records per CPU second) | >= 100000 records/s | $(met "$rate >= 100000") |"
  echo "| The hub's resident set after $small, $N and $big records | $(calc '%.0f' "$rss_small / 1024") MB, $(calc '%.0f' "$rss / 1024") MB, $(calc '%.0f' "$rss_big / 1024") MB: $growth MB more per million records from $N to $big | grows with stations, not records | $(met "$growth < 20") |"
  echo "| Steady line: $STATIONS stations at $PER_MINUTE boxes a minute each for $STEADY s ($added records): the hub's CPU | $steady_cpu % of a core | < 5 % | $(met "$steady_cpu < 5") |"
  echo "| The same: a record's lag from its journal line to the store, p99 | $store_p99 ms | < 2000 ms | $(met "$store_p99 < 2000") |"
  echo "| The same: to the line page (the hub's event stream), p99 | $page_p99 ms | < 2000 ms | $(met "$page_p99 < 2000") |"
  echo "| The same: the page's line events | $events_rate a second, the shortest gap $events_gap ms (as received) | at most 2 a second | $(met "$events_rate <= 2 && $events_gap >= 450") |"
} >"$table"
cat "$table"
took=$(( $(date +%s) - started ))
echo "($took s; load before $load_before, after $(cut -d' ' -f1-3 /proc/loadavg))"
[ "$QUICK" = 1 ] && exit 0

doc="$SRC/docs/benchmarks.md"
tmp="$work/doc"
awk '/^## The line hub \(update-line\)$/ {exit} {line[++n] = $0}
     END {while (n > 0 && line[n] == "") n--; for (i = 1; i <= n; i++) print line[i]}' "$doc" >"$tmp"
{
  echo
  echo "## The line hub (update-line)"
  echo
  echo "Written by \`bench/line_bench.sh $BUILD\`, $(date -u '+%Y-%m-%d %H:%M UTC'), on the machine"
  echo "above; load average $load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after."
  echo "$STATIONS stand-in stations (\`linestand\`, one process on one thread) serve journals of"
  echo "records as the tool writes them (about 450 bytes each) through the station's"
  echo "journal feed and HTTP server, on loopback, on the same two cores as the hub."
  echo "Catch-up is timed from the hub's start to the store holding every record;"
  echo "the steady line adds each station's records at its own phase and times each"
  echo "one from its journal line to its row in the store (read every 20 ms) and to"
  echo "the first line event of the hub's stream that counts it."
  echo
  cat "$table"
} >>"$tmp"
cp "$tmp" "$doc"
echo "written: the line hub section of docs/benchmarks.md"
