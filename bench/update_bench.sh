#!/bin/sh
# Times whole serial updates of the simulated box: image sizes against line
# speeds, and the tool's CPU time while it waits for a silent box. Pseudo-
# terminals do not throttle, so the times show the tool's own overhead (the
# fixed pauses of the handshake and of the speed switch) rather than the line.
#   bench/update_bench.sh [build-dir]
set -e
BUILD=${1:-build}
work=$(mktemp -d /tmp/update-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Starts the box in this shell (so `wait` sees it) and sets $com.
start_box() {
  "$BUILD/boxsim" "$@" >"$work/box.log" 2>&1 &
  box=$!
  i=0
  while ! grep -q '^COM ' "$work/box.log" 2>/dev/null; do
    i=$((i + 1)); [ $i -gt 200 ] && { echo "boxsim did not start"; exit 1; }
    sleep 0.02
  done
  com=$(sed -n 's/^COM //p' "$work/box.log")
}

printf '%-10s %-8s %10s %10s %10s  %s\n' size speed elapsed user sys box
for size in 100000 1000000 8000000; do
  "$BUILD/padtool" create "$work/b.pad" --format 21 --version 23.0 --random "$size" --seed 7 >/dev/null
  for speed in 0 3; do
    start_box --expect "$work/b.pad" --timeout 120
    args=""; label=115200
    [ "$speed" != 0 ] && { args="-s $speed"; label=921600; }
    /usr/bin/time -f '%e %U %S' -o "$work/t" "$BUILD/update" -p "$com" $args "$work/b.pad" \
      </dev/null >/dev/null 2>&1 || true
    wait $box || true
    set -- $(cat "$work/t")
    printf '%-10s %-8s %9ss %9ss %9ss  %s\n' "$size" "$label" "$1" "$2" "$3" \
      "$(grep -o 'RESULT.*' "$work/box.log")"
  done
done

echo
echo "waiting 5 s on a box that never sends its version line:"
"$BUILD/padtool" create "$work/s.pad" --format 21 --version 23.0 --random 100 >/dev/null
start_box --silent-at version --timeout 10
/usr/bin/time -f '%e s elapsed, %U s user, %S s sys' -o "$work/t" \
  timeout 5 "$BUILD/update" -p "$com" "$work/s.pad" </dev/null >/dev/null 2>&1 || true
cat "$work/t" | tail -1
kill $box 2>/dev/null || true
