#!/bin/sh
# The quick-start demo: the version output, then a real serial update of a
# sample PAD file into the simulated box on a pseudo-terminal. The box
# simulator confirms that what it received equals the file.
set -e
BUILD=${1:-build}
work=$(mktemp -d /tmp/update-demo.XXXXXX)
trap 'kill $sim 2>/dev/null || true; rm -rf "$work"' EXIT

echo "== update -v"
"$BUILD/update" -v </dev/null

echo
echo "== a sample PAD file (format 21, bootloader 23.0)"
"$BUILD/padtool" create "$work/sample.pad" --format 21 --version 23.0 \
  --record 20000 --record 512:marked --record 4000 >/dev/null
"$BUILD/padtool" info "$work/sample.pad"

echo
echo "== the simulated box"
"$BUILD/boxsim" --version 17.0 --expect "$work/sample.pad" --out "$work/received.bin" \
  --timeout 60 >"$work/box.log" 2>&1 &
sim=$!
i=0
# Until the PTY line, written after the COM line, so the number is whole.
while ! grep -q '^PTY ' "$work/box.log" 2>/dev/null; do
  i=$((i + 1))
  [ $i -gt 100 ] && { echo "box simulator did not start"; cat "$work/box.log"; exit 1; }
  sleep 0.05
done
com=$(sed -n 's/^COM //p' "$work/box.log")
cat "$work/box.log"

echo
echo "== update -p $com sample.pad  (fast: -f)"
"$BUILD/update" -p "$com" -f "$work/sample.pad" </dev/null

wait $sim
echo
echo "== what the box says"
cat "$work/box.log"
