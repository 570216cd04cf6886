#!/usr/bin/env bash
# Checks the benchmark harness, not speed: builds the micro-benchmarks (bench/micro), makes a
# small fixture with bench/make-fixture.py and runs every benchmark once, briefly. Fails when
# a benchmark reports an error. The real measurements are bench/compare.sh and a full run of
# updater_micro_bench (bench/README.md).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${UPDATER_BENCH_BUILD_DIR:-$root/build-bench}

# An existing build keeps its type (CI passes the tests' build, configured by setup.sh).
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DUPDATER_BENCH=ON >/dev/null
else
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_BENCH=ON >/dev/null
fi
cmake --build "$build" -j2 --target updater_micro_bench updater_download_bench

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-smoke.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$root/bench/make-fixture.py" --size 100 --seed 7 "$work/fixture" 2> >(grep -v '^rpm: ' >&2)

UPDATER_BENCH_FIXTURE=$work/fixture UPDATER_BENCH_CHECKSUM_MB=4 TMPDIR=$work \
    "$build/bench/updater_micro_bench" --benchmark_min_time=0.01 2>&1 | tee "$work/out"
if grep -q 'ERROR OCCURRED' "$work/out"; then
  echo "bench-smoke.sh: a benchmark failed" >&2
  exit 1
fi
"$root/bench/download.sh" --size 2 --runs 1 --build "$build"
echo "bench-smoke.sh: every benchmark ran"
