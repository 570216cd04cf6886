#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing and running the updater need,
# then configures and builds it in ./build. Safe to run again.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${UPDATER_BUILD_DIR:-$root/build}

packages=(
  # build
  cmake g++ make pkg-config
  librpm-dev libpopt-dev libneon27-dev libxml2-dev libssl-dev zlib1g-dev libjson-c-dev
  # run time (openssl and ca-certificates: the system certificate store for https)
  rpm gpgv db-util openssl ca-certificates
  # tests and the demo device (systemd: systemd-analyze verify of the shipped units)
  systemd libgtest-dev util-linux gpg gnupg createrepo-c python3 file clang-format shellcheck dnf
  # fuzzing (fuzz/, scripts/fuzz-smoke.sh) and the sanitizer build of scripts/test.sh
  clang-14 libclang-rt-14-dev
  # memcheck of a full update (scripts/valgrind-update.sh)
  valgrind
  # damaged rpm databases in the system tests, fault injection at the renames of records (strace),
  # a start held at a breakpoint to race another instance (gdb)
  sqlite3 strace gdb
  # benchmarks (bench/, scripts/bench-smoke.sh)
  libbenchmark-dev time libxml2-utils zypper
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${UPDATER_BUILD_TYPE:-RelWithDebInfo}" -DUPDATER_BENCH=ON \
  -DUPDATER_WERROR="${UPDATER_WERROR:-OFF}" >/dev/null
cmake --build "$build" -j"$(nproc)"
