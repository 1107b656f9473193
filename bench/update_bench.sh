#!/bin/sh
# `make bench`: one table of ratios, measured in one run, printed and (full
# run only) written to docs/benchmarks.md with the machine and its load.
#   bench/update_bench.sh [build-dir]
# QUICK=1: small sizes and short waits, seconds in all; it checks that every
# measurement runs and the table comes out, not the goals (CI runs it).
#
# Rows: the XMODEM sender against lrzsz's sx into rx over a pty; whole
# serial updates against the paced box (boxsim --pace) over the
# stop-and-wait limit 128 bytes / (1330 bit times + turnaround + latency)
# per block; parallel stations; CPU while the box is silent; the file check
# against md5sum; the paced line's own accuracy.
set -e
BUILD=${1:-build}
QUICK=${QUICK:-0}
B=$(cd "$BUILD" && pwd)
SRC=$(cd "$(dirname "$0")/.." && pwd)
for p in update update-station boxsim padtool benchtool; do
  [ -x "$B/$p" ] || { echo "bench: $B/$p missing (build first)" >&2; exit 1; }
done
# lrzsz's programs carry an l in front on some systems.
SX=$(command -v sx || command -v lsx) || true
RX=$(command -v rx || command -v lrx) || true
for p in "$SX" "$RX" socat md5sum; do
  [ -n "$p" ] && command -v "$p" >/dev/null 2>&1 || { echo "bench: lrzsz, socat or md5sum missing (make deps)" >&2; exit 1; }
done

# SRUNS: the scale rows' runs, one and many interleaved, medians taken.
if [ "$QUICK" = 1 ]; then
  XSIZE=262144; XRUNS=1; RSIZE=20000; LSIZES="20000"; STATIONS=4; SSIZE=20000; IDLE=2
  CSIZE=1048576; CRUNS=1; WARM=0.5; SPAN=0.5; SRUNS=1
else
  XSIZE=8388608; XRUNS=3; RSIZE=100000; LSIZES="100000 1000000"; STATIONS=16; SSIZE=1000000; IDLE=15
  CSIZE=8388608; CRUNS=5; WARM=1; SPAN=3; SRUNS=3
fi
BROWSERS=4
TURNAROUND=1

work=$(mktemp -d /tmp/update-bench.XXXXXX)
cleanup() {
  for f in "$work"/*.pid; do [ -f "$f" ] && kill "$(cat "$f")" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
rows="$work/rows"
: >"$rows"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)

# A measurement that did not run; the bench then ends with 1.
fail() { echo "bench: $*" >&2; echo "$*" >>"$work/failures"; }

# row MEASURE FIGURES RATIO GOAL MET
row() { printf '| %s | %s | %s | %s | %s |\n' "$1" "$2" "$3" "$4" "$5" >>"$rows"; }
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
calc() { awk "BEGIN {printf \"$1\\n\", $2}"; }
met() { if awk "BEGIN {exit !($1)}"; then echo yes; else echo no; fi; }
now_ns() { date +%s%N; }

# start_box NAME ARGS...: boxsim in the background; sets $com.
start_box() {
  name=$1; shift
  "$B/boxsim" "$@" >"$work/$name.box" 2>&1 &
  echo $! >"$work/$name.pid"
  i=0
  # Until the PTY line, written after the COM line: a COM line read while
  # it is being written would give half a number.
  while ! grep -q '^PTY ' "$work/$name.box" 2>/dev/null; do
    i=$((i + 1)); [ $i -gt 500 ] && { fail "boxsim did not start"; exit 1; }
    sleep 0.01
  done
  com=$(sed -n 's/^COM //p' "$work/$name.box")
  case $com in '' | *[!0-9]*) fail "boxsim printed no port: $(cat "$work/$name.box")"; exit 1 ;; esac
}

# wait_box NAME: waits for the box started as NAME to end.
wait_box() {
  pid=$(cat "$work/$1.pid")
  while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  rm -f "$work/$1.pid"
}

pad() {  # pad SIZE: a PAD file of SIZE payload bytes; prints its path
  [ -f "$work/p$1.pad" ] ||
    "$B/padtool" create "$work/p$1.pad" --format 21 --version 23.0 --random "$1" --seed 7 >/dev/null
  echo "$work/p$1.pad"
}

# paced_update NAME SIZE BAUD LATENCY: a whole update against the paced box;
# leaves NAME.box (PACE line, verdict) and NAME.time (elapsed user sys).
paced_update() {
  file=$(pad "$2")
  speed=""; [ "$3" = 921600 ] && speed="-s 3"
  start_box "$1" --expect "$file" --turnaround $TURNAROUND --latency "$4" --timeout 900
  "$B/benchtool" run -- "$B/update" -p "$com" $speed "$file" </dev/null >"$work/$1.time" ||
    fail "update $1 failed"
  wait_box "$1"
  grep -q '^RESULT OK' "$work/$1.box" || fail "box $1 did not verify"
}

# The PACE figures of NAME: transfer seconds, blocks, rate, bits per byte.
pace_of() { sed -n 's/^PACE BOX 1 transfer \([0-9]*\) us blocks \([0-9]*\) rate \([0-9]*\) bits \([0-9]*\)/\1 \2 \3 \4/p' "$work/$1.box"; }

# --- the paced line itself: a known byte count against its ideal time ----
start_box acc --pace --no-keyword --mode plain --endless-at version --timeout 60
set -- $("$B/benchtool" line-rate "$com" 921600 $WARM $SPAN)
kill "$(cat "$work/acc.pid")" 2>/dev/null || true; rm -f "$work/acc.pid"
acc=$(calc '%.4f' "($1 * 10 / 921600) / $2")
row "Paced line accuracy: box-to-tool stream at 921600 8N1, ideal / measured time" \
  "$1 bytes in $(calc '%.3f' "$2") s" "$acc" "1 +- 0.03" "$(met "$acc >= 0.97 && $acc <= 1.03")"

# --- XMODEM over a pty into rx: ours against sx, alternating, medians -----
head -c $XSIZE /dev/urandom >"$work/x.bin"
# rx waits a second after the EOT for a second one before it answers, with
# either sender alike: that second is rx's, and taken off both.
xmodem_once() {  # xmodem_once ours|sx: prints seconds
  rm -f "$work/com" "$work/out.bin"
  (cd "$work" && exec socat pty,raw,echo=0,link=com "EXEC:$RX -X -q out.bin") 2>/dev/null &
  sp=$!
  i=0
  while [ ! -L "$work/com" ]; do i=$((i + 1)); [ $i -gt 500 ] && exit 1; sleep 0.01; done
  c=$((1000 + $(readlink "$work/com" | sed 's|/dev/pts/||')))
  t0=$(now_ns)
  if [ "$1" = ours ]; then
    "$B/benchtool" xmodem-send "$c" "$work/x.bin" >/dev/null
  else
    "$SX" -X -q "$work/x.bin" <"$work/com" >"$work/com" 2>/dev/null
  fi
  t1=$(now_ns)
  wait $sp
  cmp -s -n $XSIZE "$work/x.bin" "$work/out.bin" || fail "rx got other data ($1)"
  calc '%.3f' "($t1 - $t0) / 1e9 - 1"
}
: >"$work/x.ours"; : >"$work/x.sx"
n=0
while [ $n -lt $XRUNS ]; do
  xmodem_once ours >>"$work/x.ours"
  xmodem_once sx >>"$work/x.sx"
  n=$((n + 1))
done
xo=$(median <"$work/x.ours"); xs=$(median <"$work/x.sx")
xr=$(calc '%.2f' "$xo / $xs")
xblocks=$(( (XSIZE + 127) / 128 ))
pty_us=$(calc '%.0f' "$xo * 1e6 / $xblocks")
row "XMODEM $(calc '%g' "$XSIZE / 1048576") MiB over a pty into rx: ours / sx (median of $XRUNS each)" \
  "${xo} s / ${xs} s; ours ${pty_us} us per block" "$xr" "<= 1.0" "$(met "$xr <= 1.0")"

# --- senders alone into the paced box: what the simulation itself costs --
# No handshake: the box waits in its download stage at 921600, latency 0.
# lrzsz's sx shows what any sender gets from the same simulated line.
head -c $RSIZE /dev/urandom >"$work/r.bin"
sender_once() {  # sender_once ours|sx: prints the transfer over its limit
  start_box rs --pace --turnaround $TURNAROUND --no-keyword --mode plain --speed any \
    --first-nak 500 --expect "$work/r.bin" --timeout 120
  pts=/dev/pts/$((com - 1000))
  if [ "$1" = ours ]; then
    "$B/benchtool" xmodem-send "$com" "$work/r.bin" 921600 >/dev/null
  else
    stty -F "$pts" 921600 raw -echo
    "$SX" -X -q "$work/r.bin" <"$pts" >"$pts" 2>/dev/null
  fi
  wait_box rs
  grep -q '^RESULT OK' "$work/rs.box" || fail "box did not verify ($1)"
  set -- $(pace_of rs)
  calc '%.4f' "$2 * (133 * $4 / $3 + $TURNAROUND / 1000) / ($1 / 1e6)"
}
: >"$work/r.ours"; : >"$work/r.sx"
n=0
while [ $n -lt $XRUNS ]; do
  sender_once ours >>"$work/r.ours"
  sender_once sx >>"$work/r.sx"
  n=$((n + 1))
done
ro=$(median <"$work/r.ours"); rsx=$(median <"$work/r.sx")
row "Sender alone into the paced box, $(calc '%g' "$RSIZE / 1000") kB at 921600, latency 0: ours, transfer / limit (median of $XRUNS)" \
  "lrzsz sx on the same line: $rsx" "$ro" "(reference)" "-"

# --- the file check against md5sum ---------------------------------------
"$B/padtool" create "$work/c.pad" --format 21 --version 23.0 --random $((CSIZE - 13)) --seed 3 >/dev/null
port=$("$B/benchtool" free-port)
"$B/update" -i 127.0.0.1 -j "$port" "$work/c.pad" </dev/null 2>/dev/null | grep -q 'Checking file ... OK' ||
  fail "the file check did not pass"
md5sum "$work/c.pad" >/dev/null
: >"$work/c.ours"; : >"$work/c.md5"
n=0
while [ $n -lt $CRUNS ]; do
  "$B/benchtool" run -- "$B/update" -i 127.0.0.1 -j "$port" "$work/c.pad" </dev/null |
    cut -d' ' -f1 >>"$work/c.ours"
  "$B/benchtool" run -- md5sum "$work/c.pad" | cut -d' ' -f1 >>"$work/c.md5"
  n=$((n + 1))
done
co=$(median <"$work/c.ours"); cm=$(median <"$work/c.md5")
cr=$(calc '%.2f' "$co / $cm")
row "File check of $(calc '%g' "$CSIZE / 1048576") MiB (whole run, connect refused) / md5sum (median of $CRUNS)" \
  "$(calc '%.1f' "$co * 1000") ms / $(calc '%.1f' "$cm * 1000") ms" "$cr" "<= 1.0" "$(met "$cr <= 1.0")"

# --- the same check with its signature (--trust) against the check alone --
"$B/update-sign" keygen "$work/c.key" >/dev/null && "$B/update-sign" sign --key "$work/c.key" "$work/c.pad" >/dev/null ||
  fail "update-sign did not sign the bench file"
"$B/update" --trust "$work/c.key.pub" -i 127.0.0.1 -j "$port" "$work/c.pad" </dev/null 2>/dev/null |
  grep -q 'Signature OK' || fail "the signature check did not pass"
: >"$work/s.signed"; : >"$work/s.plain"
n=0
while [ $n -lt $CRUNS ]; do
  "$B/benchtool" run -- "$B/update" --trust "$work/c.key.pub" -i 127.0.0.1 -j "$port" "$work/c.pad" </dev/null |
    cut -d' ' -f1 >>"$work/s.signed"
  "$B/benchtool" run -- "$B/update" -i 127.0.0.1 -j "$port" "$work/c.pad" </dev/null | cut -d' ' -f1 >>"$work/s.plain"
  n=$((n + 1))
done
so=$(median <"$work/s.signed"); sp=$(median <"$work/s.plain")
sr=$(calc '%.2f' "$so / $sp")
row "File check of $(calc '%g' "$CSIZE / 1048576") MiB with its signature (--trust) / the file check alone (whole runs, median of $CRUNS, alternating)" \
  "$(calc '%.1f' "$so * 1000") ms / $(calc '%.1f' "$sp * 1000") ms" "$sr" "<= 1.5" "$(met "$sr <= 1.5")"

# --- parallel stations: N paced updates at once against one alone --------
stations() {  # stations N: prints "wall cpu-seconds"
  file=$(pad $SSIZE)
  k=1
  while [ $k -le "$1" ]; do
    start_box "st$k" --expect "$file" --turnaround $TURNAROUND --latency 0 --timeout 900
    echo "$com" >"$work/st$k.com"
    k=$((k + 1))
  done
  t0=$(now_ns)
  k=1
  while [ $k -le "$1" ]; do
    "$B/benchtool" run -- "$B/update" -p "$(cat "$work/st$k.com")" -s 3 "$file" </dev/null \
      >"$work/st$k.time" &
    echo $! >"$work/stu$k.pid"
    k=$((k + 1))
  done
  k=1
  while [ $k -le "$1" ]; do wait "$(cat "$work/stu$k.pid")" || fail "station $k failed"
    rm -f "$work/stu$k.pid"; wait_box "st$k"
    grep -q '^RESULT OK' "$work/st$k.box" || fail "station $k did not verify"
    k=$((k + 1)); done
  t1=$(now_ns)
  cpu=$(for k in $(seq 1 "$1"); do tail -1 "$work/st$k.time"; done | awk '{s += $2 + $3} END {print s}')
  echo "$(calc '%.3f' "($t1 - $t0) / 1e9") $cpu"
}
# One paced run swings by several per cent from run to run on a shared
# machine: one and many alternate, and the ratio is of their medians.
: >"$work/st.one"; : >"$work/st.many"
n=0
while [ $n -lt $SRUNS ]; do
  stations 1 >>"$work/st.one"
  stations $STATIONS >>"$work/st.many"
  n=$((n + 1))
done
one=$(cut -d' ' -f1 "$work/st.one" | median)
many=$(cut -d' ' -f1 "$work/st.many" | median); cpu=$(cut -d' ' -f2 "$work/st.many" | median)
wr=$(calc '%.3f' "$many / $one")
cores=$(calc '%.4f' "$cpu / $many")
row "$STATIONS paced stations at once ($(calc '%g' "$SSIZE / 1000") kB, 921600) / one alone: wall (medians of $SRUNS, alternating)" \
  "$(calc '%.2f' "$many") s / $(calc '%.2f' "$one") s" "$wr" "<= 1.05" "$(met "$wr <= 1.05")"
row "$STATIONS paced stations: the tools' CPU, all together" \
  "$(calc '%.2f' "$cpu") s over $(calc '%.1f' "$many") s" "$cores core" "< 0.1 core" "$(met "$cores < 0.1")"

# --- update-station: N slots against one alone, its own CPU, the cost of
# a process per box ---------------------------------------------------------
# The station runs in a pty (script), so it draws its live view; its own
# CPU (its HTTP thread included, its children not) is read from /proc.
# With "web" it serves --http on loopback to $BROWSERS event streams and a
# scrape of /metrics and /api/status each second (benchtool web-watch).
station_run() {  # station_run N [web]: prints "wall station-cpu-ticks [metrics-p99 status-p99]"
  file=$(pad $SSIZE)
  ports=""
  k=1
  while [ $k -le "$1" ]; do
    start_box "ss$k" --expect "$file" --turnaround $TURNAROUND --latency 0 --timeout 900
    ports="$ports -p $com"
    k=$((k + 1))
  done
  web=""
  if [ "$2" = web ]; then
    hp=$("$B/benchtool" free-port)
    web=" --http 127.0.0.1:$hp"
  fi
  t0=$(now_ns)
  script -qfec "$B/update-station --boxes 1$web$ports -s 3 $file" /dev/null </dev/null \
    >"$work/ss.view" 2>&1 &
  sp=$!
  if [ -n "$web" ]; then
    "$B/benchtool" web-watch "$hp" $BROWSERS >"$work/ss.web" &
    wp=$!
  fi
  spid=""; ticks=0
  while kill -0 $sp 2>/dev/null; do
    [ -n "$spid" ] || spid=$(pgrep -f "^$B/update-station --boxes 1$web$ports " | head -1)
    [ -n "$spid" ] && t=$(sed 's/^.*) //' "/proc/$spid/stat" 2>/dev/null | awk '{print $12 + $13}') &&
      [ -n "$t" ] && ticks=$t
    sleep 0.1
  done
  wait $sp || fail "update-station with $1 slots failed"
  t1=$(now_ns)
  lat=""
  if [ -n "$web" ]; then
    wait $wp || fail "no answer from the station's web view"
    lat=" $(cut -d' ' -f1-2 "$work/ss.web")"
  fi
  k=1
  while [ $k -le "$1" ]; do
    wait_box "ss$k"; grep -q '^RESULT OK' "$work/ss$k.box" || fail "station slot $k did not verify"
    k=$((k + 1))
  done
  echo "$(calc '%.3f' "($t1 - $t0) / 1e9") $ticks$lat"
}
: >"$work/ss.one"; : >"$work/ss.many"; : >"$work/ss.webmany"
n=0
while [ $n -lt $SRUNS ]; do
  station_run 1 >>"$work/ss.one"
  station_run $STATIONS >>"$work/ss.many"
  station_run $STATIONS web >>"$work/ss.webmany"
  n=$((n + 1))
done
sone=$(cut -d' ' -f1 "$work/ss.one" | median)
smany=$(cut -d' ' -f1 "$work/ss.many" | median); sticks=$(cut -d' ' -f2 "$work/ss.many" | median)
swr=$(calc '%.3f' "$smany / $sone")
scpu=$(calc '%.2f' "$sticks * 100 / $(getconf CLK_TCK) / $smany")
row "update-station, $STATIONS slots ($(calc '%g' "$SSIZE / 1000") kB, 921600, paced) / one slot alone: wall (medians of $SRUNS, alternating)" \
  "$(calc '%.2f' "$smany") s / $(calc '%.2f' "$sone") s" "$swr" "<= 1.05" "$(met "$swr <= 1.05")"
row "update-station's own CPU while it draws $STATIONS slots (not the update runs)" \
  "$(calc '%.2f' "$sticks / $(getconf CLK_TCK)") s over $(calc '%.1f' "$smany") s" "$scpu %" "< 2 %" "$(met "$scpu < 2")"
wmany=$(cut -d' ' -f1 "$work/ss.webmany" | median); wticks=$(cut -d' ' -f2 "$work/ss.webmany" | median)
wwr=$(calc '%.3f' "$wmany / $sone")
wcpu=$(calc '%.2f' "$wticks * 100 / $(getconf CLK_TCK) / $wmany")
mp99=$(cut -d' ' -f3 "$work/ss.webmany" | sort -g | tail -1)
sp99=$(cut -d' ' -f4 "$work/ss.webmany" | sort -g | tail -1)
row "update-station --http, $STATIONS slots with $BROWSERS browsers on /api/events and a scrape each second / one slot alone: wall (medians of $SRUNS, alternating)" \
  "$(calc '%.2f' "$wmany") s / $(calc '%.2f' "$sone") s" "$wwr" "<= 1.05" "$(met "$wwr <= 1.05")"
row "update-station --http: its own CPU, HTTP thread included, with $BROWSERS browsers and the scrapes" \
  "$(calc '%.2f' "$wticks / $(getconf CLK_TCK)") s over $(calc '%.1f' "$wmany") s" "$wcpu %" "< 2 %" "$(met "$wcpu < 2")"
row "update-station --http: /metrics and /api/status answer time meanwhile, p99 (worst of the runs)" \
  "fresh connection each, once a second" "$mp99 ms / $sp99 ms" "< 10 ms" "$(met "$mp99 < 10 && $sp99 < 10")"
# A process per box: from the run's start to its "open" event, what a run in
# loop mode pays once and not per box: start-up, the port's test open with
# its settling pause, the file check.
file=$(pad $SSIZE)
: >"$work/ov"
n=0
while [ $n -lt $XRUNS ]; do
  start_box "ov$n" --expect "$file" --timeout 120
  rm -f "$work/ov.jsonl"
  t0=$(now_ns)
  "$B/update" -p "$com" -s 3 --events "$work/ov.jsonl" "$file" </dev/null >/dev/null 2>&1 ||
    fail "update with --events failed"
  wait_box "ov$n"
  w=$(sed -n 's/.*"time":"\([^"]*\)","event":"phase","phase":"open".*/\1/p' "$work/ov.jsonl" | head -1)
  [ -n "$w" ] && echo "$(( ($(date -d "$w" +%s%N) - t0) / 1000000 ))" >>"$work/ov"
  n=$((n + 1))
done
ov=$(median <"$work/ov")
if [ -n "$ov" ]; then
  row "Process per box: start-up, test open and file check of $(calc '%g' "$SSIZE / 1000") kB, to the box's open (median of $XRUNS) / the one-slot box's whole time" \
    "$ov ms / $(calc '%.2f' "$sone") s" "$(calc '%.3f' "$ov / 1000 / $sone")" "(stated)" "-"
else
  fail "no open event from update --events"
fi

# --- line efficiency, and a silent box ------------------------------------
# Every case has its own paced line. Where a block takes a few ms a wake-up
# more or less shows, so those cases run alone, one after the other; the
# slow ones run side by side with the silent box, whose row only counts the
# tool's CPU (the stations rows show what side by side costs).
cases=""
for size in $LSIZES; do
  for baud in 115200 921600; do
    for lat in 0 16; do cases="$cases $size:$baud:$lat"; done
  done
done
first=$(echo $LSIZES | cut -d' ' -f1)
for size in $LSIZES; do pad "$size" >/dev/null; done
cases="$cases $first:115200:1 $first:921600:1"
for c in $cases; do
  IFS=:; set -- $c; IFS=' '
  [ "$2" = 921600 ] && [ "$3" -le 1 ] && paced_update "l$1_$2_$3" "$1" "$2" "$3"
done
for c in $cases; do
  IFS=:; set -- $c; IFS=' '
  [ "$2" = 921600 ] && [ "$3" -le 1 ] && continue
  paced_update "l$1_$2_$3" "$1" "$2" "$3" &
  echo $! >"$work/lu_$1_$2_$3.pid"
done
"$B/padtool" create "$work/s.pad" --format 21 --version 23.0 --random 100 >/dev/null
start_box idle --silent-at version --timeout $((IDLE + 30))
"$B/benchtool" run --limit $IDLE -- "$B/update" -p "$com" "$work/s.pad" </dev/null \
  >"$work/idle.time" || true
kill "$(cat "$work/idle.pid")" 2>/dev/null || true; rm -f "$work/idle.pid"
for f in "$work"/lu_*.pid; do wait "$(cat "$f")" || true; rm -f "$f"; done

for c in $cases; do
  IFS=:; set -- $c; IFS=' '
  name="l$1_$2_$3"
  p=$(pace_of "$name")
  [ -n "$p" ] || { fail "no PACE line from $name"; row "Line $1 B at $2, latency $3 ms" "no PACE line" "-" ">= 0.98" no; continue; }
  elapsed=$(tail -1 "$work/$name.time" | cut -d' ' -f1)
  set -- $1 $2 $3 $p
  # $1 size, $2 baud, $3 latency, $4 transfer us, $5 blocks, $6 rate, $7 bits
  cycle="(133 * $7 / $6 + $TURNAROUND / 1000 + $3 / 1000)"
  eff=$(calc '%.3f' "$5 * $cycle / ($4 / 1e6)")
  echo "$2 $3 $1 $(calc '%.3f' "$4 / 1e6")" >>"$work/transfers"
  row "Line $(calc '%g' "$1 / 1000") kB at $2, turnaround $TURNAROUND ms, latency $3 ms: payload rate / stop-and-wait limit" \
    "$(calc '%.0f' "$5 * 128 / ($4 / 1e6)") of $(calc '%.0f' "128 / $cycle") B/s; $(calc '%.0f' "($4 / 1e6 - $5 * $cycle) * 1e6 / $5") us per block over; handshake $(calc '%.2f' "$elapsed - $4 / 1e6") s" \
    "$eff" ">= 0.98" "$(met "$eff >= 0.98")"
done
for baud in 115200 921600; do
  t16=$(awk -v b=$baud -v s=$first '$1 == b && $2 == 16 && $3 == s {print $4}' "$work/transfers")
  t1=$(awk -v b=$baud -v s=$first '$1 == b && $2 == 1 && $3 == s {print $4}' "$work/transfers")
  [ -n "$t16" ] && [ -n "$t1" ] || continue
  row "Low-latency mode: $(calc '%g' "$first / 1000") kB at $baud, adapter latency 16 ms / 1 ms: transfer time" \
    "$t16 s / $t1 s" "$(calc '%.2f' "$t16 / $t1")x" "(the effect)" "-"
done
set -- $(tail -1 "$work/idle.time")
idle=$(calc '%.3f' "($2 + $3) * 100 / $1")
row "Silent box: the tool's CPU while it waits $IDLE s for a version line" \
  "$(calc '%.3f' "($2 + $3) * 1000") ms over $(calc '%.1f' "$1") s" "$idle %" "< 0.5 %" "$(met "$idle < 0.5")"

# --- the update server under load (bench/server_bench.sh) -----------------
. "$SRC/bench/server_bench.sh"

# --- update-report (bench/report_bench.sh) --------------------------------
# Its full run reads a 450 MB journal and writes a section of its own at
# the end of docs/benchmarks.md; here only the quick run, that it still
# runs.
if [ "$QUICK" = 1 ] && [ -x "$B/update-report" ]; then
  QUICK=1 sh "$SRC/bench/report_bench.sh" "$B" >"$work/report_bench.out" 2>&1 ||
    { cat "$work/report_bench.out" >&2; fail "update-report bench"; }
fi

# --- update-line (bench/line_bench.sh) ------------------------------------
# The same: its full run (a few minutes) writes the hub's section after
# the report's.
if [ "$QUICK" = 1 ] && [ -x "$B/update-line" ]; then
  QUICK=1 sh "$SRC/bench/line_bench.sh" "$B" >"$work/line_bench.out" 2>&1 ||
    { cat "$work/line_bench.out" >&2; fail "update-line bench"; }
fi

# --- the table ------------------------------------------------------------
table="$work/table"
{
  echo "| Measure | Figures | Ratio | Goal | Met |"
  echo "|---|---|---|---|---|"
  cat "$rows"
} >"$table"
cat "$table"
took=$(( $(date +%s) - started ))
echo "($took s; load before $load_before, after $(cut -d' ' -f1-3 /proc/loadavg))"

status=0
[ -s "$work/failures" ] && { echo "bench: $(wc -l <"$work/failures") measurement(s) did not run" >&2; status=1; }
[ "$QUICK" = 1 ] && { cp "$table" "$B/benchmarks-quick.md"; exit $status; }
mkdir -p "$SRC/docs"
# The section bench/report_bench.sh writes is kept as it is.
report_section=$(sed -n '/^## Line reports (update-report)$/,$p' "$SRC/docs/benchmarks.md" 2>/dev/null || true)
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
{
  echo "# Benchmarks"
  echo
  echo "Written by \`make bench\` (\`bench/update_bench.sh $BUILD\`), $(date -u '+%Y-%m-%d %H:%M UTC')."
  echo
  echo "- Machine: $(uname -srm), $(nproc) cores, $cpu"
  echo "- Load average (1, 5, 15 min): $load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after; the run took $took s"
  echo "- Build: $(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$B/CMakeCache.txt") in $BUILD"
  echo
  cat "$table"
  echo
  cat "$SRC/bench/notes.md"
  [ -z "$report_section" ] || printf '\n%s\n' "$report_section"
} >"$SRC/docs/benchmarks.md"
echo "written: docs/benchmarks.md"
exit $status
