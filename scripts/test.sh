#!/usr/bin/env bash
# Sets up the machine, builds, and runs every test (unit and system) under CTest, one full
# update under valgrind and the micro-benchmarks once, then every test again in a sanitizer
# build, then the fuzz targets briefly.
# The system tests need root: they run the updater in private mount namespaces.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${UPDATER_BUILD_DIR:-$root/build}

"$root/scripts/setup.sh"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
UPDATER_BUILD_DIR=$build "$root/scripts/valgrind-update.sh"
# The micro-benchmarks once, briefly: whether the harness works, not how fast anything is.
UPDATER_BENCH_BUILD_DIR=$build "$root/scripts/bench-smoke.sh"

# The unit and system tests again, built with AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer; any report fails its test. clang, because with gcc's separate
# UBSan runtime its reports ignore log_path and a background updater's would be lost.
sanitize=${UPDATER_SANITIZE_BUILD_DIR:-$build-san}
cmake -S "$root" -B "$sanitize" -DCMAKE_BUILD_TYPE=Sanitize \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$sanitize" -j"$(nproc)"
ctest --test-dir "$sanitize" --output-on-failure -j"$(nproc)" -LE lint "$@"

# Every parser of outside input under libFuzzer for a short while, on the committed corpus.
UPDATER_FUZZ_BUILD_DIR=${UPDATER_FUZZ_BUILD_DIR:-$build-fuzz} "$root/scripts/fuzz-smoke.sh"
