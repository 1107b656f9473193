#!/bin/sh
# update-report against the usual one-liner on one large journal, its peak
# memory, and the import rate into a store.
#   bench/report_bench.sh [build-dir]
# Full run: 1,000,000 records (about 450 MB), a few minutes; its table
# replaces the "Line reports" section at the end of docs/benchmarks.md.
# QUICK=1: 20,000 records, seconds; checks that every measurement runs and
# prints the table only (make bench QUICK=1 runs it so).
set -e
BUILD=${1:-build}
QUICK=${QUICK:-0}
B=$(cd "$BUILD" && pwd)
SRC=$(cd "$(dirname "$0")/.." && pwd)
[ -x "$B/update-report" ] || { echo "report bench: $B/update-report missing (build first)" >&2; exit 1; }
for p in jq python3 /usr/bin/time; do
  command -v "$p" >/dev/null 2>&1 || { echo "report bench: $p missing (make deps)" >&2; exit 1; }
done
if [ "$QUICK" = 1 ]; then N=20000; RUNS=1; else N=1000000; RUNS=3; fi

work=$(mktemp -d /tmp/update-report-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)
journal="$work/line.jsonl"
python3 "$SRC/bench/report_journal.py" "$N" >"$journal"
mb=$(awk "BEGIN {printf \"%.0f\", $(stat -c %s "$journal") / 1e6}")
cat "$journal" >/dev/null  # both read it from the page cache

calc() { awk "BEGIN {printf \"$1\", $2}"; }
# timed OUT CMD...: wall seconds and peak resident kB of CMD into OUT
timed() { out=$1; shift; /usr/bin/time -f '%e %M %U %S' -o "$out" "$@"; }
best=""
peak=0
i=0
while [ $i -lt "$RUNS" ]; do
  timed "$work/t" "$B/update-report" "$journal" >"$work/report.txt"
  read -r s kb u sy <"$work/t"
  if [ -z "$best" ] || awk "BEGIN {exit !($s < $best)}"; then best=$s; cpu=$(calc '%.2f' "$u + $sy"); fi
  [ "$kb" -gt "$peak" ] && peak=$kb
  i=$((i + 1))
done
grep -q "^Records   $N\$" "$work/report.txt" || { echo "report bench: the report did not count $N records" >&2; exit 1; }
timed "$work/t" sh -c "jq -r 'select(.result==\"failed\") | (.box_error // .error)' '$journal' | sort | uniq -c >'$work/jq.txt'"
read -r jq_s jq_kb u sy <"$work/t"
jq_cpu=$(calc '%.2f' "$u + $sy")
# The import into a new store, best of RUNS (the commit waits for the
# disk, which other programs share), then the same journal again.
db_s=""
i=0
while [ $i -lt "$RUNS" ]; do
  rm -f "$work/line.sqlite" "$work/line.sqlite-wal" "$work/line.sqlite-shm"
  timed "$work/t" "$B/update-report" --db "$work/line.sqlite" "$journal" >/dev/null
  read -r s kb u sy <"$work/t"
  if [ -z "$db_s" ] || awk "BEGIN {exit !($s < $db_s)}"; then db_s=$s; db_kb=$kb; db_cpu=$(calc '%.2f' "$u + $sy"); fi
  i=$((i + 1))
done
timed "$work/t" "$B/update-report" --db "$work/line.sqlite" "$journal" >/dev/null
read -r again_s again_kb u sy <"$work/t"
[ "$(sqlite3 "$work/line.sqlite" 'SELECT count(*) FROM records' 2>/dev/null || echo "$N")" = "$N" ] ||
  { echo "report bench: the store does not hold $N records" >&2; exit 1; }
db_mb=$(awk "BEGIN {printf \"%.0f\", $(stat -c %s "$work/line.sqlite") / 1e6}")

met() { if awk "BEGIN {exit !($1)}"; then echo yes; else echo no; fi; }
ratio=$(calc '%.1f' "$jq_s / ($best > 0 ? $best : 0.01)")
peak_mb=$(calc '%.1f' "$peak / 1024")
table="$work/table"
{
  echo "| Measure | Figures | Goal | Met |"
  echo "|---|---|---|---|"
  echo "| update-report, every table, $N records ($mb MB) | $best s (best of $RUNS; CPU $cpu s) | | |"
  echo "| jq one-liner, failures by cause only, same file | $jq_s s (CPU $jq_cpu s) | | |"
  echo "| Speed against the one-liner | ${ratio}x (CPU $(calc '%.1f' "$jq_cpu / ($cpu > 0 ? $cpu : 0.01)")x) | at least 5x | $(met "$ratio >= 5") |"
  echo "| Peak memory without --db | $peak_mb MB | under 100 MB | $(met "$peak_mb < 100") |"
  echo "| Import into a new --db store, and the report over it | $(calc '%.0f' "$N / $db_s") records/s ($db_s s, best of $RUNS; CPU $db_cpu s; store $db_mb MB, peak $(calc '%.0f' "$db_kb / 1024") MB) | >= 200000 records/s | $(met "$N / $db_s >= 200000") |"
  echo "| The same journal again: nothing new, report over the store | $again_s s | | |"
} >"$table"
cat "$table"
took=$(( $(date +%s) - started ))
echo "($took s; load before $load_before, after $(cut -d' ' -f1-3 /proc/loadavg))"
[ "$QUICK" = 1 ] && exit 0

doc="$SRC/docs/benchmarks.md"
tmp="$work/doc"
# The hub's section after this one (bench/line_bench.sh) is kept.
hub_section=$(sed -n '/^## The line hub (update-line)$/,$p' "$doc")
# Everything before this section, without its trailing blank lines.
awk '/^## Line reports \(update-report\)$/ {exit} {line[++n] = $0}
     END {while (n > 0 && line[n] == "") n--; for (i = 1; i <= n; i++) print line[i]}' "$doc" >"$tmp"
{
  echo
  echo "## Line reports (update-report)"
  echo
  echo "Written by \`bench/report_bench.sh $BUILD\`, $(date -u '+%Y-%m-%d %H:%M UTC'), on the machine"
  echo "above; load average $load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after."
  echo "The journal: \`bench/report_journal.py $N\` (4 stations of 16 ports, 95% good,"
  echo "records as the tool writes them), read from the page cache. Times are wall"
  echo "times, with the CPU (user and system) beside them, which a busy machine"
  echo "inflates less; the report prints every table (stations, ports with failure"
  echo "runs, causes, box versions, files, hours), the one-liner only the causes."
  echo
  cat "$table"
  [ -z "$hub_section" ] || printf '\n%s\n' "$hub_section"
} >>"$tmp"
cp "$tmp" "$doc"
echo "written: the Line reports section of docs/benchmarks.md"
