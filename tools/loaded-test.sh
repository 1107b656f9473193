#!/bin/sh
# make test, several times in a row, while two busy loops keep both cores
# of a 2-core machine occupied: a test whose verdict rests on a wall-clock
# limit that a loaded CI machine exceeds fails here. The loops end with the
# script, on a failure or an interrupt too.
#   tools/loaded-test.sh [runs (3)] [build-dir (build)]
# Each run's log goes to <build-dir>/loaded-test/run-<n>.log.
set -u
RUNS=${1:-3}
BUILD=${2:-build}
case $RUNS in '' | *[!0-9]*) echo "usage: $0 [runs] [build-dir]" >&2; exit 2 ;; esac

loops=""
run=""
stop() {
  # The run is a process group of its own (setsid): it ends with its tests.
  [ -z "$run" ] || kill -TERM "-$run" 2>/dev/null
  for pid in $loops; do kill -TERM "$pid" 2>/dev/null; done
  for pid in $run $loops; do wait "$pid" 2>/dev/null; done
  run=""
  loops=""
}
trap stop EXIT
trap 'exit 130' INT TERM HUP

for n in 1 2; do
  sh -c 'while :; do :; done' &
  loops="$loops $!"
done
echo "loaded-test: busy loops$loops"

mkdir -p "$BUILD/loaded-test"
failed=0
n=1
while [ "$n" -le "$RUNS" ]; do
  log="$BUILD/loaded-test/run-$n.log"
  start=$(date +%s)
  # In the background so that a signal is acted on at once, not after it.
  setsid make test BUILD="$BUILD" >"$log" 2>&1 &
  run=$!
  wait "$run"
  rc=$?
  run=""
  took=$(($(date +%s) - start))
  if [ "$rc" -eq 0 ]; then
    echo "loaded-test: run $n passed in ${took} s"
  else
    failed=$((failed + 1))
    echo "loaded-test: run $n FAILED (exit $rc) in ${took} s, $log:"
    sed -n '/tests FAILED:/,$p' "$log" | grep -E '^[[:space:]]+[0-9]+ - ' || tail -5 "$log"
  fi
  n=$((n + 1))
done
[ "$failed" -eq 0 ] || { echo "loaded-test: $failed of $RUNS runs failed"; exit 1; }
echo "loaded-test: $RUNS of $RUNS runs passed"
