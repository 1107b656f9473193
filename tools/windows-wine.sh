#!/bin/sh
# update.exe under Wine: the version output, a network update against netsim
# (also with a file and journal named outside the code page), the console's
# text, and a table of serial updates against boxsim, COM ports mapped to the
# simulator's pty links; update-station.exe with two slots; the station's
# stop event. Called by windows-check.sh, inside a private mount namespace
# where it can make one.
#   tools/windows-wine.sh linux-build-dir windows-build-dir
#
# Safety: Wine maps COM1 to /dev/ttyS0 (these machines' console) unless told
# otherwise, and gives every /dev/ttyS* it finds the next free COM number.
# So before Wine first runs, the fresh prefix's registry blanks every COM
# number up to 255 except the simulator ones (COM5 and up); in the namespace
# /dev/ttyS* are /dev/null as well. Wine ignores a blank for COM256 and puts
# ttyS0 there: that link is removed and checked for before anything runs.
set -e
BUILD=$1
WIN=$2
WINE=/usr/lib/wine/wine64
SERVER=/usr/lib/wine/wineserver

if [ "$UPDATE_WINE_NS" = 1 ]; then
  for t in /dev/ttyS*; do
    [ -e "$t" ] || continue
    mount --bind /dev/null "$t" 2>/dev/null || echo "windows: $t not covered (bind mount failed)"
  done
fi

work=$(mktemp -d /tmp/update-win.XXXXXX)
export WINEDEBUG=-all WINEPREFIX="$work/prefix"
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  "$SERVER" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "windows: $*"; exit 1; }

# COM numbers the simulators stand behind; COM11 takes the \\.\ form.
SIM_COMS="5 6 7 8 11"
mkdir "$WINEPREFIX"
{
  printf 'WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n'
  printf '[Software\\\\Wine\\\\Ports] 1700000000\n'
  n=1
  while [ $n -le 255 ]; do
    case " $SIM_COMS " in
      *" $n "*) printf '"COM%d"="%s/com%d"\n' $n "$work" $n ;;
      *) printf '"COM%d"=""\n' $n ;;
    esac
    n=$((n + 1))
  done
} >"$WINEPREFIX/system.reg"

# The server first, its output to a file: a Wine process whose stdout is a
# pipe hands it to the server, and the pipe would not close before the
# server ends. The first call of the fresh prefix makes it; the server is
# restarted afterwards so the ports come from the key as it stands.
"$SERVER" -p >"$work/server.log" 2>&1 </dev/null
timeout 300 "$WINE" wineboot -i >"$work/boot.log" 2>&1 </dev/null || fail "wineboot failed"
"$SERVER" -k 2>/dev/null || true
"$SERVER" -w 2>/dev/null || true
"$SERVER" -p >>"$work/server.log" 2>&1 </dev/null
# Wine makes its port links when the first process starts.
timeout 120 "$WINE" cmd /c exit >/dev/null 2>&1 </dev/null || true
dev="$WINEPREFIX/dosdevices"
for l in "$dev"/com*; do
  [ -L "$l" ] || continue
  case "$(readlink "$l")" in
    "$work"/com*) ;;
    *) rm -f "$l" ;;
  esac
done
for l in "$dev"/com*; do
  [ -L "$l" ] || continue
  case "$(readlink "$l")" in "$work"/com*) ;; *) fail "$l still maps $(readlink "$l")" ;; esac
done
[ -e "$dev/com1" ] || [ -L "$dev/com1" ] && fail "COM1 is mapped"
[ -L "$dev/com7" ] || fail "COM7 is not mapped to the simulator link"

wine() { timeout 120 "$WINE" "$@"; }

# start_netsim LOG ARGS...: netsim with ARGS, its output in $work/LOG; $sim
# is its pid, $sim_port the port it listens on once it says so.
start_netsim() {
  log=$1; shift
  "$BUILD/netsim" "$@" >"$work/$log" 2>&1 &
  sim=$!
  pids="$pids $sim"
  i=0
  while ! grep -q '^PORT ' "$work/$log" 2>/dev/null; do
    i=$((i + 1)); [ $i -gt 200 ] && fail "netsim $1 did not start: $(cat "$work/$log")"
    sleep 0.05
  done
  sim_port=$(sed -n 's/^PORT //p' "$work/$log")
}

wine "$WIN/update.exe" -v </dev/null >"$work/v.out" 2>/dev/null
grep -q '^update.exe 3.6-25' "$work/v.out" || { cat "$work/v.out"; fail "bad version output"; }

# Network box update (the Win32 socket backend).
"$BUILD/padtool" create "$work/w.pad" --format 21 --version 23.0 --record 3000 >/dev/null
start_netsim box.log box --major 0x17 --minor 0x00 --image-out "$work/image.bin" --timeout 300
port=$sim_port
wine "$WIN/update.exe" -i 127.0.0.1 -j "$port" "Z:$work/w.pad" </dev/null >"$work/u.out" 2>&1 || {
  cat "$work/u.out"; fail "network update failed"; }
wait $sim || true
cmp -s "$work/image.bin" "$work/w.pad" || fail "the box got other bytes"
echo "windows: update.exe ran under Wine: version output and a network update OK"

# Names no single code page holds, in the PAD file's and the journal's
# path: the file opens and the record keeps its name in UTF-8. Wine builds
# the command line from the arguments as the locale spells them (UTF-8).
uni="$work/€ Łódź"
mkdir "$uni"
cp "$work/w.pad" "$uni/Łódź Жук.pad"
rm -f "$work/image.bin"
start_netsim box.log box --major 0x17 --minor 0x00 --image-out "$work/image.bin" --timeout 300
port=$sim_port
# A record an earlier writer left torn (a full disk, a crash): the new one
# starts on a line of its own.
printf '{"torn":' >"$uni/journal €.jsonl"
LC_ALL=C.UTF-8 wine "$WIN/update.exe" -i 127.0.0.1 -j "$port" --journal "Z:$uni/journal €.jsonl" \
  "Z:$uni/Łódź Жук.pad" </dev/null >"$work/u.out" 2>&1 || {
  cat "$work/u.out"; fail "network update of Łódź Жук.pad failed"; }
wait $sim || true
cmp -s "$work/image.bin" "$work/w.pad" || fail "the box got other bytes than Łódź Жук.pad"
grep -qF "\"file\":\"Z:$uni/Łódź Жук.pad\"" "$uni/journal €.jsonl" || {
  cat "$uni/journal €.jsonl"; fail "the record does not name Łódź Жук.pad in UTF-8"; }
[ "$(sed -n '2s/^\({"time":\).*/\1/p' "$uni/journal €.jsonl")" = '{"time":' ] || {
  cat "$uni/journal €.jsonl"; fail "the record was glued to a torn line"; }
LC_ALL=C.UTF-8 wine "$WIN/padtool.exe" info "Z:$uni/Łódź Жук.pad" </dev/null >"$work/info.out" 2>&1
grep -q 'version word:   0x00170000' "$work/info.out" || {
  cat "$work/info.out"; fail "padtool.exe cannot read Łódź Жук.pad"; }
echo "windows: a PAD file and a journal named outside the code page OK"

# The serial table. Each case starts boxsim on a pty linked to COM7 (or
# COM11), runs update.exe with the case's options and checks its exit code,
# the time it took where a hang-up or a refused speed must end the run, what
# it printed, and the box's verdict: --expect makes boxsim check every byte
# it received against the file.
pad() { "$BUILD/padtool" create "$work/$1" --format "$2" --version "$3" --record "$4" ${5:+--record "$5"} >/dev/null; }
pad p21 21 23.0 20000 300:marked
pad p24 24 24.0 10
pad px 21 24.0 3000 64:marked
"$BUILD/padtool" patch-expect "$work/px" "$work/px.expect" --version 23.0 >/dev/null
cp "$WIN/update.exe" "$work/aktualisieren.exe"

box_pid=""
# start_box COM ARGS...: boxsim behind COM's link.
start_box() {
  com=$1; shift
  rm -f "$work/box.out" "$work/box.err"
  "$BUILD/boxsim" --link "$work/com$com" --timeout 60 "$@" >"$work/box.out" 2>"$work/box.err" &
  box_pid=$!
  pids="$pids $box_pid"
  i=0
  while ! grep -q '^COM ' "$work/box.out" 2>/dev/null; do
    i=$((i + 1)); [ $i -gt 200 ] && fail "boxsim did not start: $(cat "$work/box.err")"
    sleep 0.05
  done
}
box_rc() { b=0; wait "$box_pid" || b=$?; }

# tool EXE INPUT ARGS...: runs update.exe; sets rc and secs.
tool() {
  exe=$1; input=$2; shift 2
  t0=$(date +%s)
  rc=0
  printf "$input" | wine "$exe" "$@" >"$work/out" 2>"$work/err" || rc=$?
  secs=$(($(date +%s) - t0))
}
# check NAME WANT_RC WANT_BOX_RC [MAX_SECS]: the verdict of one case.
check() {
  box_rc
  if [ "$rc" != "$2" ] || { [ "$3" != - ] && [ "$b" != "$3" ]; } ||
     { [ -n "$4" ] && [ "$secs" -gt "$4" ]; }; then
    echo "windows: serial case '$1' failed: exit $rc (want $2), box $b (want $3), $secs s"
    echo "--- update.exe stdout"; cat "$work/out"; echo "--- stderr"; cat "$work/err"
    echo "--- boxsim"; cat "$work/box.out" "$work/box.err"
    exit 1
  fi
  ok=$((ok + 1))
}
has() { grep -aqF -- "$2" "$work/$1" || { echo "windows: serial case: no '$2' in $1"; cat "$work/$1"; exit 1; }; }
hasnt() { ! grep -aqF -- "$2" "$work/$1" || { echo "windows: serial case: '$2' in $1"; cat "$work/$1"; exit 1; }; }
ok=0
exe="$WIN/update.exe"

start_box 7 --expect "$work/p21"
tool "$exe" "" -p 7 "Z:$work/p21"; check plain 0 0
has out "Download successfully finished. (com port: 7)"

start_box 11 --expect "$work/p21"
tool "$exe" "" -p 11 "Z:$work/p21"; check 'COM11 as \\.\COM11' 0 0

for s in "-f 230400" "-s|2 460800" "-s|3 921600"; do
  opts=$(echo "${s% *}" | tr '|' ' ')
  start_box 7 --expect "$work/p21"
  tool "$exe" "" -p 7 $opts "Z:$work/p21"; check "$opts" 0 0
  has box.out "speed ${s#* }"
done

start_box 7 --read-after-sync --expect "$work/p21"
tool "$exe" "" -p 7 -R "Z:$work/p21"; check -R 0 0

start_box 7 --nak-block 3 --can-block 5 --expect "$work/p21"
tool "$exe" "" -p 7 "Z:$work/p21"; check "NAK and CAN" 0 0

start_box 7 --boxes 2 --expect "$work/p21"
tool "$exe" "\nn" -p 7 -l "Z:$work/p21"; check "two boxes in loop mode" 0 0
has box.out "BOX 2 OK"

# Signed releases: the good file loads byte for byte; a key not trusted, no
# signature or a trust file with no key end the run before the port (no box
# behind it), with the reason.
"$BUILD/update-sign" keygen "$work/rel" >/dev/null && "$BUILD/update-sign" keygen "$work/other" >/dev/null &&
  "$BUILD/update-sign" sign --key "$work/rel" "$work/p21" >/dev/null || fail "update-sign"
printf '# none\n' >"$work/nokey"
start_box 7 --expect "$work/p21"
tool "$exe" "" -p 7 --trust "Z:$work/rel.pub" "Z:$work/p21"; check "signed" 0 0
has out "Signature OK (key rel)"
for c in "other.pub|key not trusted" "nokey|no key in it"; do
  tool "$exe" "\n" -p 9 --trust "Z:$work/${c%%|*}" "Z:$work/p21"; check "signed: ${c#*|}" 1 -
  has err "${c#*|}"
done
tool "$exe" "\n" -p 9 --trust "Z:$work/rel.pub" --signature "Z:$work/none.sig" "Z:$work/p21"
check "signed: no signature file" 1 -
has err "no signature file"

start_box 7 --version 17.0 --expect-filler
tool "$exe" "\n" -p 7 "Z:$work/p24"; check "version mismatch" 1 0
has out "error -> wrong hardware IDs  (0x00180000 != 0x00170000)"

start_box 7 --version 17.0 --expect "$work/px.expect"
tool "$exe" "" -p 7 -X "Z:$work/px"; check "-X patch" 0 0

start_box 7 --bad-version-times 3 --expect "$work/p21"
tool "$exe" "" -p 7 "Z:$work/p21"; check "unparseable version lines" 0 0
has box.out "keywords 4"

start_box 7 --hangup-at transfer
tool "$exe" "\n" -p 7 "Z:$work/p21"; check "hang-up in the transfer" 1 - 20
has err "Error during read from COM1"

# A box gone while the version is read is the reopen case, whatever code
# Wine reports for it: the port is opened again (and is missing now).
start_box 7 --hangup-at version
tool "$exe" "\n" -p 7 "Z:$work/p21"; check "hang-up at the version" 1 - 20
has err "Inititialization of COM-port failed (Error: "
hasnt err "Error code (WF)"

# A rate the line did not take (Wine keeps 38400 for 250000) ends the run.
start_box 7 --f0-rate 250000
tool "$exe" "\n" -p 7 -s 250000 "Z:$work/p21"; check "rate not taken" 1 - 20
has err "Inititialization of COM-port failed (Error:  87)"

box_pid=""
tool "$exe" "\n" -p 12 "Z:$work/p21"
rc12=$rc
[ "$rc12" = 1 ] && [ "$secs" -le 10 ] || fail "missing \\.\COM12: exit $rc12, $secs s"
# Windows reports 2 for a port that does not exist, Wine 1.
has err "Inititialization of COM-port failed (Error: "
ok=$((ok + 1))

start_netsim srv.log server --timeout 60 --software "2:23.0=$work/p21"
srv=$sim
start_box 7 --expect "$work/p21"
tool "$exe" "\n" -i 127.0.0.1 -j "$sim_port" -p 7 -C update
check "server run" 0 0
has out "Found software"
wait $srv || fail "netsim server: $(cat "$work/srv.log")"

start_box 7 --expect "$work/p21"
tool "$work/aktualisieren.exe" "" -p 7 "Z:$work/p21"; check aktualisieren.exe 0 0
has out "Uebertragung erfolgreich beendet (Schnittstelle:  7)"

# The console: Wine gives a program on a terminal a console, whose text
# reaches the terminal in UTF-8. A name outside the code page and the
# German catalogue's text (code page 1252) show as their letters there;
# redirected, the catalogue's bytes stay as they are. The box is the
# netsim that has ended: its port refuses at once.
on_console() {
  out=$1; shift
  printf '\n\n' | LC_ALL=C.UTF-8 timeout 120 script -qec "$*" /dev/null 2>/dev/null |
    perl -pe 's/\e\[(\d*)C/" " x ($1 || 1)/ge; s/\e\[[0-9;?]*[A-Za-z]//g' >"$work/$out" || true
}
on_console con1 "'$WINE' '$work/aktualisieren.exe' -i 127.0.0.1 -j $port --journal 'Жук €/j.jsonl' 'Z:$work/w.pad'"
has con1 "journal Жук €/j.jsonl"
on_console con2 "'$WINE' '$work/aktualisieren.exe' -i 127.0.0.1 -j $port 'Z:$uni/Łódź Жук.pad'"
has con2 "Keine Verbindung zur Box möglich"
tool "$work/aktualisieren.exe" "\n" -i 127.0.0.1 -j "$port" "Z:$work/w.pad"
has err "Keine Verbindung zur Box m$(printf '\366')glich"
ok=$((ok + 1))

# The station: update-station.exe with two slots, each a boxsim, one box
# each; both boxes byte-exact and two "ok" lines in the shared journal.
st_pids=""
for com in 7 8; do
  "$BUILD/boxsim" --link "$work/com$com" --timeout 120 --expect "$work/p21" \
    >"$work/st$com.out" 2>"$work/st$com.err" &
  st_pids="$st_pids $!"
  pids="$pids $!"
  i=0
  while ! grep -q '^COM ' "$work/st$com.out" 2>/dev/null; do
    i=$((i + 1)); [ $i -gt 200 ] && fail "boxsim for the station did not start"
    sleep 0.05
  done
done
# Its file and journal named outside the code page, passed on to the runs.
cp "$work/p21" "$uni/Łódź Жук 21.pad"
rc=0
LC_ALL=C.UTF-8 timeout 180 "$WINE" "$WIN/update-station.exe" -p 7 -p 8 --boxes 1 \
  --journal "Z:$uni/station €.jsonl" "Z:$uni/Łódź Жук 21.pad" </dev/null >"$work/st.log" 2>&1 || rc=$?
for p in $st_pids; do
  b=0; wait "$p" || b=$?
  [ "$b" = 0 ] || { cat "$work/st.log" "$work"/st*.out; fail "station: a box was not served byte for byte"; }
done
[ "$rc" = 0 ] || { cat "$work/st.log"; fail "update-station.exe: exit $rc"; }
[ "$(grep -F "\"file\":\"Z:$uni/Łódź Жук 21.pad\"" "$uni/station €.jsonl" | grep -c '"result":"ok"')" = 2 ] || {
  cat "$uni/station €.jsonl"; fail "station journal"; }
echo "windows: update-station.exe ran two slots under Wine"
ok=$((ok + 1))
rc=0
timeout 60 "$WINE" "$WIN/update-station.exe" -p 9 --trust "Z:$work/other.pub" "Z:$work/p21" \
  </dev/null >"$work/sts.log" 2>&1 || rc=$?
[ "$rc" = 1 ] && grep -q 'signature check failed: key not trusted' "$work/sts.log" ||
  { cat "$work/sts.log"; fail "update-station.exe --trust with a key not trusted: exit $rc"; }
echo "windows: update-station.exe --trust refuses a file no trusted key signed"
ok=$((ok + 1))

# A station killed outright takes its runs with it (their job object): no
# update.exe is left holding COM7.
start_box 7 --silent-at keyword
"$WINE" "$WIN/update-station.exe" -p 7 "Z:$work/p21" </dev/null >"$work/stk.log" 2>&1 &
st=$!
pids="$pids $st"
station_run() {
  for p in /proc/[0-9]*; do
    { tr '\0' ' ' <"$p/cmdline"; } 2>/dev/null | grep -q 'update\.exe.* -p 7 --events' &&
      echo "${p#/proc/}"
  done
}
i=0
run=""
while [ -z "$run" ]; do
  i=$((i + 1)); [ $i -gt 600 ] && { cat "$work/stk.log"; fail "the station's run did not start"; }
  sleep 0.05
  run=$(station_run | head -n 1)
done
sleep 1
kill -9 "$st"
i=0
while [ -d "/proc/$run" ] && ! grep -q '^State:.*Z' "/proc/$run/status" 2>/dev/null; do
  i=$((i + 1)); [ $i -gt 200 ] && fail "a run outlived its killed update-station.exe"
  sleep 0.05
done
kill "$box_pid" 2>/dev/null || true
echo "windows: a killed update-station.exe takes its runs with it"
ok=$((ok + 1))

# Ctrl-C at the station stops a run that has no box yet through the run's
# own stop event: a "stopped" record that names the station, no attempt.
start_box 7 --silent-at keyword
rm -f "$work/stc.jsonl"
"$WINE" "$WIN/update-station.exe" -p 7 --journal "Z:$work/stc.jsonl" "Z:$work/p21" \
  </dev/null >"$work/stc.log" 2>&1 &
st=$!
pids="$pids $st"
i=0
while [ -z "$(station_run | head -n 1)" ]; do
  i=$((i + 1)); [ $i -gt 600 ] && { cat "$work/stc.log"; fail "the station's run did not start"; }
  sleep 0.05
done
sleep 1
kill -INT "$st"
rc=0
i=0
while kill -0 "$st" 2>/dev/null; do
  i=$((i + 1)); [ $i -gt 400 ] && { cat "$work/stc.log"; fail "Ctrl-C did not end update-station.exe"; }
  sleep 0.05
done
wait "$st" || rc=$?
kill "$box_pid" 2>/dev/null || true
grep -q 'stopped, no box' "$work/stc.log" || { cat "$work/stc.log"; fail "station: the stopped run"; }
grep -q '"result":"stopped".*"error":"Stopped by the station during ' "$work/stc.jsonl" ||
  { cat "$work/stc.jsonl"; fail "station: the stopped run's record"; }
[ "$rc" = 0 ] || { cat "$work/stc.log"; fail "update-station.exe after Ctrl-C: exit $rc"; }
echo "windows: Ctrl-C at update-station.exe stops a run with no box through its stop event"
ok=$((ok + 1))

# The station's stop (UPDATE_STOP_EVENT, made and signalled by
# stopevent.exe): a run waiting on a silent box's serial line, and one
# waiting on the socket of a box that never answers, each ends at once with
# its record naming the station.
# stop_case NAME WANT: the run's exit, record and time from the signal.
stop_case() {
  grep -aqF '"result":"stopped"' "$work/stop.jsonl" 2>/dev/null &&
    grep -aqF "\"error\":\"Stopped by the station during $2" "$work/stop.jsonl" ||
    { cat "$work/err" "$work/stop.jsonl" 2>/dev/null; fail "station stop, $1: no such record"; }
  ms=$(sed -n 's/^stopped after \([0-9]*\) ms.*$/\1/p' "$work/err")
  [ "$rc" = 1 ] && [ -n "$ms" ] && [ "$ms" -lt 2000 ] ||
    { cat "$work/err"; fail "station stop, $1: exit $rc after ${ms:-?} ms"; }
  echo "windows: station stop, $1: stopped after $ms ms"
  ok=$((ok + 1))
}
start_box 7 --silent-at transfer
rm -f "$work/stop.jsonl"
rc=0
wine "$WIN/stopevent.exe" 5000 "$exe" -p 7 --journal "Z:$work/stop.jsonl" "Z:$work/p21" \
  </dev/null >"$work/out" 2>"$work/err" || rc=$?
kill $box_pid 2>/dev/null || true
wait $box_pid 2>/dev/null || true
stop_case "serial line" ""
python3 -c 'import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(4)
print(s.getsockname()[1], flush=True); time.sleep(60)' >"$work/silent.port" &
silent=$!
pids="$pids $silent"
i=0
while [ ! -s "$work/silent.port" ]; do
  i=$((i + 1)); [ $i -gt 200 ] && fail "the silent listener did not start"
  sleep 0.05
done
rm -f "$work/stop.jsonl"
rc=0
wine "$WIN/stopevent.exe" 3000 "$exe" -i 127.0.0.1 -j "$(cat "$work/silent.port")" \
  --journal "Z:$work/stop.jsonl" "Z:$work/w.pad" </dev/null >"$work/out" 2>"$work/err" || rc=$?
kill $silent 2>/dev/null || true
wait $silent 2>/dev/null || true
stop_case "socket" "identify."


# Its web view over loopback: /api/status while a slot waits for a box that
# never answers, then a drain with the token ends the station.
"$BUILD/boxsim" --link "$work/com7" --timeout 120 --silent-at keyword >"$work/sw.out" 2>&1 &
sw_box=$!
pids="$pids $sw_box"
i=0
while ! grep -q '^COM ' "$work/sw.out" 2>/dev/null; do
  i=$((i + 1)); [ $i -gt 200 ] && fail "boxsim for the web view did not start"
  sleep 0.05
done
printf 'wine-token\n' >"$work/token"
hp=$("$BUILD/benchtool" free-port 2>/dev/null || echo 18080)
timeout 180 "$WINE" "$WIN/update-station.exe" -p 7 --http "127.0.0.1:$hp" \
  --http-token-file "Z:$work/token" "Z:$work/p21" </dev/null >"$work/sw.log" 2>"$work/sw.err" &
sw=$!
pids="$pids $sw"
web() {  # web METHOD PATH: the answer's status code and body into $work/web.out
  /usr/bin/python3 - "$1" "http://127.0.0.1:$hp$2" >"$work/web.out" 2>/dev/null <<'PY'
import sys, urllib.request, urllib.error
req = urllib.request.Request(sys.argv[2], method=sys.argv[1],
                             headers={"Authorization": "Bearer wine-token"},
                             data=b"" if sys.argv[1] == "POST" else None)
try:
    with urllib.request.urlopen(req, timeout=5) as r:
        print(r.status, r.read().decode())
except urllib.error.HTTPError as e:
    print(e.code)
PY
}
i=0
# Until the run waits for its box: a run stopped before it is under way
# leaves no record.
until web GET /api/status && grep -q '^200 .*"slots":\[{"slot":1,"port":"7","state":"\(wake\|sync\)"' "$work/web.out"; do
  i=$((i + 1)); [ $i -gt 300 ] && { cat "$work/web.out" "$work/sw.err"; fail "no /api/status from update-station.exe"; }
  sleep 0.1
done
grep -q "update-station: web view at http://127.0.0.1:$hp/" "$work/sw.err" ||
  { cat "$work/sw.err"; fail "update-station.exe did not say where it listens"; }
web POST /api/drain
grep -q '^200 .*"draining":true' "$work/web.out" || { cat "$work/web.out"; fail "drain refused"; }
rc=0
wait $sw || rc=$?
kill $sw_box 2>/dev/null || true
# The run's own end after the stop is the stop's business (0 or 1 here);
# the station must end by itself.
[ "$rc" = 0 ] || [ "$rc" = 1 ] || { cat "$work/sw.log" "$work/sw.err"; fail "update-station.exe --http: exit $rc"; }
echo "windows: update-station.exe --http answered /api/status and a drain under Wine"
ok=$((ok + 1))

# CPU while the box is silent in the transfer: update.exe and the
# wineserver, from /proc, over 10 s.
ticks() {
  t=0
  for p in "$@"; do
    set -- $(sed 's/^.*) //' "/proc/$p/stat")
    t=$((t + ${12} + ${13}))
  done
  echo $t
}
server_pid=""
for p in /proc/[0-9]*; do
  case "$(cat "$p/comm" 2>/dev/null)" in wineserver*) ;; *) continue ;; esac
  tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && server_pid=${p#/proc/}
done
[ -n "$server_pid" ] || fail "wineserver not found"
start_box 7 --silent-at transfer -v
"$WINE" "$exe" -p 7 "Z:$work/p21" </dev/null >"$work/out" 2>"$work/err" &
up=$!
pids="$pids $up"
i=0
while ! grep -q "silent from now on" "$work/box.err"; do
  i=$((i + 1)); [ $i -gt 600 ] && fail "the silent box was not reached: $(cat "$work/err")"
  sleep 0.05
done
sleep 1
hz=$(getconf CLK_TCK)
a=$(ticks $up $server_pid)
sleep 10
b=$(ticks $up $server_pid)
kill $up $box_pid 2>/dev/null || true
wait $up 2>/dev/null || true
wait $box_pid 2>/dev/null || true
permille=$(( (b - a) * 1000 / (hz * 10) ))
echo "windows: CPU while the box was silent: $((permille / 10)).$((permille % 10)) % of a core (update.exe + wineserver, 10 s)"
[ $permille -lt 50 ] || fail "update.exe busy-waits on a silent box"
ok=$((ok + 1))

echo "windows: $ok serial cases under Wine OK"
