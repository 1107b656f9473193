#!/bin/sh
# Runs every libFuzzer target for SECONDS seconds each, starting from its
# seed corpus in tests/fuzz/corpus, and prints one line per target with its
# executions and findings. Exits 1 when any target found something; the
# input that broke it is kept in the findings folder the line names.
#   bench/fuzz.sh SECONDS [build-dir]
# Needs clang with libFuzzer (Debian: clang and libclang-rt-14-dev); the
# fuzz build has a tree of its own (default build-fuzz).
set -e
SECONDS_EACH=${1:?usage: bench/fuzz.sh SECONDS [build-dir]}
BUILD=${2:-build-fuzz}
cd "$(dirname "$0")/.."
# A compiler that links libFuzzer, installed when missing (as root, Debian).
links_fuzzer() {
  [ -n "$1" ] || return 1
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' |
    "$1" -fsanitize=fuzzer -x c++ - -o /tmp/update-fuzz-probe.$$ >/dev/null 2>&1
  ok=$?
  rm -f /tmp/update-fuzz-probe.$$
  return $ok
}
CXX_FUZZ=${CXX_FUZZ:-$(command -v clang++ || command -v clang++-14 || true)}
if ! links_fuzzer "$CXX_FUZZ"; then
  echo "installing: clang libclang-rt-dev"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq clang libclang-rt-dev >/dev/null
  CXX_FUZZ=$(command -v clang++ || command -v clang++-14 || true)
  links_fuzzer "$CXX_FUZZ" || { echo "fuzz: no clang++ with libFuzzer" >&2; exit 2; }
fi

mkdir -p "$BUILD"
cmake -S . -B "$BUILD" -DCMAKE_CXX_COMPILER="$CXX_FUZZ" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DUPDATE_FUZZ=ON -DBUILD_TESTING=OFF >"$BUILD/fuzz-configure.log" 2>&1 ||
  { cat "$BUILD/fuzz-configure.log" >&2; exit 2; }
cmake --build "$BUILD" -j2 --target fuzzers >"$BUILD/fuzz-build.log" 2>&1 ||
  { tail -40 "$BUILD/fuzz-build.log" >&2; exit 2; }

work=$(mktemp -d /tmp/update-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
findings_dir="$BUILD/fuzz-findings"
mkdir -p "$findings_dir"
status=0
for seeds in tests/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  bin="$BUILD/fuzz/fuzz_$name"
  # The seeds stay as they are: the run grows a copy.
  mkdir -p "$work/$name" "$findings_dir/$name"
  cp "$seeds"* "$work/$name/"
  set +e
  "$bin" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings_dir/$name/" "$work/$name" >"$work/$name.log" 2>&1
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name.log" | tail -1)
  found=$(find "$findings_dir/$name" -type f | wc -l)
  printf '%-10s %10s executions %3d findings\n' "$name" "${runs:-?}" "$found"
  if [ "$found" -ne 0 ] || [ -z "$runs" ]; then
    status=1
    grep -E 'invariant broken|ERROR|SUMMARY' "$work/$name.log" | head -5 >&2
    cp "$work/$name.log" "$findings_dir/$name.log"
  else
    rmdir "$findings_dir/$name"
  fi
done
exit $status
