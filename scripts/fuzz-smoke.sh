#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang-14 and runs each one for a short while on
# its committed corpus; any crash, sanitizer report, leak, timeout or memory blow-up fails.
# The committed corpus is only read: new inputs go to a temporary directory.
#   UPDATER_FUZZ_BUILD_DIR  build tree (default ./build-fuzz)
#   FUZZ_SMOKE_SECONDS      time per target (default 30)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${UPDATER_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SMOKE_SECONDS:-30}
targets=(pgp primary tavdata repomd config proxy credentials evr os_release cpuinfo)

if ! command -v clang++-14 >/dev/null; then
  echo "fuzz-smoke: clang++-14 missing (scripts/setup.sh installs it)" >&2
  exit 1
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DUPDATER_FUZZ=ON -DUPDATER_TESTS=OFF -DUPDATER_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
fi
# Only the fuzz targets (and the library they link): nothing else is needed here.
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null

scratch=$(mktemp -d /tmp/updater-fuzz-smoke-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# One target; its verdict goes to $scratch/<target>.result. Targets run $(nproc) at a time.
run_target() {
  local t=$1 dict=() log=$scratch/$1.log
  mkdir -p "$scratch/corpus/$t" "$scratch/artifacts/$t"
  case $t in pgp | evr | os_release | cpuinfo) ;; *) dict=(-dict="$root/fuzz/xml.dict") ;; esac
  if "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 "${dict[@]}" \
    -artifact_prefix="$scratch/artifacts/$t/" "$scratch/corpus/$t" "$root/fuzz/corpus/$t" >"$log" 2>&1; then
    echo "fuzz_$t: ok, $(grep -E '^#[0-9]+' "$log" | tail -n 1 | awk '{print $1, $3, $4, $5, $6, $7, $8}')" \
      >"$scratch/$t.result"
  else
    {
      echo "fuzz_$t: FAILED"
      grep -E -A40 '^==[0-9]+==|SUMMARY|ERROR: libFuzzer|runtime error|Test unit written' "$log" | head -n 80
    } >"$scratch/$t.result"
    # Keep the reproducer where CI can collect it.
    mkdir -p "$build/fuzz-smoke-artifacts"
    cp -r "$scratch/artifacts/$t" "$build/fuzz-smoke-artifacts/" 2>/dev/null || true
  fi
}

jobs_max=$(nproc)
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n || true; done
  run_target "$t" &
done
wait

failed=()
for t in "${targets[@]}"; do
  cat "$scratch/$t.result" 2>/dev/null || echo "fuzz_$t: FAILED (no result)"
  grep -q '^fuzz_[a-z_]*: ok' "$scratch/$t.result" 2>/dev/null || failed+=("$t")
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz-smoke: findings in: ${failed[*]} (reproducers in $build/fuzz-smoke-artifacts)"
  exit 1
fi
echo "fuzz-smoke: ${#targets[@]} targets ran ${seconds}s each without findings"
