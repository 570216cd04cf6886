#!/usr/bin/env bash
# Cross-builds the updater for the device's processor (ARMv7 hard float) and runs it here
# under qemu-user-static: the unit tests (ctest -L unit), then one check-only run of the
# armhf binary against a signed file: repository on a sandboxed device (as scripts/demo.sh
# runs one). Needs root (apt-get, binfmt_misc, the mount namespace). Safe to run again.
#
# The armhf libraries come from a Debian 12 armhf tree in ./build-armhf-sysroot (made once
# by mmdebstrap, extracted only: nothing runs in it). Multiarch packages (libfoo-dev:armhf)
# cannot be used: librpm9, librpmio9, librpm-dev, libneon27-dev, libgcrypt20-dev and
# libgpg-error-dev are not Multi-Arch: same in bookworm, so apt would remove rpm,
# createrepo-c, dnf and the amd64 -dev packages the native build and the tests need.
#
# Environment: UPDATER_ARMHF_BUILD_DIR (default ./build-armhf), UPDATER_ARMHF_SYSROOT
# (default ./build-armhf-sysroot). Arguments go to ctest.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${UPDATER_ARMHF_BUILD_DIR:-$root/build-armhf}
sysroot=${UPDATER_ARMHF_SYSROOT:-$root/build-armhf-sysroot}
# The machine is shared with other builds and tests: low priority, two jobs at most.
run() { nice -n 15 "$@"; }
step() { echo "=== $* ($(date -u +%T))"; }

step "host packages"
packages=(
  crossbuild-essential-armhf qemu-user-static binfmt-support mmdebstrap
  cmake make pkg-config
  # the repository and the device's database of the check-only run
  rpm gpg gnupg createrepo-c util-linux
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

step "armhf sysroot $sysroot"
if [ ! -e "$sysroot/.complete" ]; then
  rm -rf "$sysroot"
  run mmdebstrap --mode=root --variant=extract --arch=armhf \
    --setup-hook=/usr/share/mmdebstrap/hooks/merged-usr/setup00.sh \
    --include=libc6-dev,libstdc++6,librpm-dev,libpopt-dev,libneon27-dev,libxml2-dev,libssl-dev,zlib1g-dev,libjson-c-dev,libgtest-dev \
    bookworm "$sysroot" \
    "deb http://deb.debian.org/debian bookworm main" \
    "deb http://deb.debian.org/debian bookworm-updates main" \
    "deb http://deb.debian.org/debian-security bookworm-security main"
  # qemu -L looks up every absolute path in the tree first: only /usr (and the merged-/usr
  # links) may be there, or the tree's /dev/null, /etc or /tmp would stand in for the host's.
  (cd "$sysroot" && find . -mindepth 1 -maxdepth 1 ! -name usr ! -type l -exec rm -rf {} +)
  touch "$sysroot/.complete"
fi

# armhf programs started by armhf programs (gtest's death tests re-executing themselves)
# need the kernel to hand them to qemu; its library prefix comes from QEMU_LD_PREFIX then.
step "binfmt_misc"
[ -e /proc/sys/fs/binfmt_misc/register ] ||
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || true
update-binfmts --enable qemu-arm 2>/dev/null || true
if [ -e /proc/sys/fs/binfmt_misc/qemu-arm ]; then
  echo "qemu-arm: $(head -1 /proc/sys/fs/binfmt_misc/qemu-arm)"
else
  echo "qemu-arm not registered: armhf programs run only through qemu-arm-static explicitly"
fi
export QEMU_LD_PREFIX=$sysroot

step "configure and build $build"
start=$(date +%s)
run cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-toolchain.cmake" \
  -DARMHF_SYSROOT="$sysroot" -DUPDATER_BENCH=OFF >/dev/null
# The system tests need the host's sandbox tools around an armhf binary: not built here.
run cmake --build "$build" -j2 --target updater unit_config unit_driver unit_network \
  unit_repository unit_resolver unit_rpmdb unit_signature
echo "build: $(($(date +%s) - start)) s"

step "unit tests under qemu"
start=$(date +%s)
set +e
run ctest --test-dir "$build" -L unit -j2 --output-on-failure "$@"
unit_status=$?
set -e
echo "unit tests: $(($(date +%s) - start)) s"

step "check-only run of the armhf updater on a sandboxed device"
# Outside /tmp, which the sandbox replaces: the file: repository keeps one path inside and out.
device=$build/check-device
rm -rf "$device"
mkdir -p "$device/etc/rpm" "$device/var/lib/rpm" "$device/var/lib/updater" "$device/var/cache/updater" \
  "$device/var/log/updater" "$device/run/lock"
work=$device/.vendor
repo=$work/repo
mkdir -p "$repo"
cat >"$device/etc/updater.conf" <<CONF
<?xml version="1.0"?>
<updater>
  <log level="info"><logger type="stderr"/></log>
  <product>
    <name>armhf-check</name>
    <packages><release><package><name>demo-release</name></package></release></packages>
  </product>
  <repository id="local">
    <name>Local updates</name>
    <location href="file://$repo/"/>
  </repository>
</updater>
CONF
# The shipped defaults, the device's identity (processor information, the EEPROM block) and
# its hook, as on the demo device.
mkdir -p "$device/usr/share/resources/default/updater" "$device/proc" \
  "$device/sys/bus/i2c/drivers/tav-eeprom/1-0052" "$device/usr/lib/updater"
cat >"$device/usr/share/resources/default/updater/defaults.conf" <<'CONF'
<?xml version="1.0"?>
<updater>
  <log level="info"><logger type="stderr"/></log>
  <user-agent><base>updater</base><prodname>armhf-check</prodname></user-agent>
</updater>
CONF
printf 'processor\t: 0\nmodel name\t: ARMv7 Processor rev 10 (v7l)\nHardware\t: Mirest\nRevision\t: 0002\nSerial\t\t: 00000000demo0001\n' \
  >"$device/proc/cpuinfo"
printf 'demo-board C1.04 0001' >"$device/sys/bus/i2c/drivers/tav-eeprom/1-0052/data"
printf '#!/bin/sh\necho "device hook called: $*"\n' >"$device/usr/lib/updater/hook"
chmod 0755 "$device/usr/lib/updater/hook"
echo '%_dbpath /var/lib/rpm' >"$device/etc/rpm/macros"
rpm --dbpath "$device/var/lib/rpm" --initdb

# The vendor: demo-app 1.0 on the device, 2.0 signed in a signed repository. The database
# is written by the host's rpm and read by the armhf librpm: both rpm 4.18 on sqlite.
"$root/scripts/demo-vendor.sh" "$work" "$repo" "$device/var/lib/rpm"

set +e
run unshare --mount --propagation private -- "$root/tests/fixtures/device-sandbox" "$device" \
  --env QEMU_LD_PREFIX="$sysroot" -- \
  qemu-arm-static -L "$sysroot" "$build/updater" --check-only --max-wait-time -1 2>&1 |
  tee "$build/check-only.log"
status=${PIPESTATUS[0]}
set -e
echo "=== armhf updater --check-only: exit status $status"
echo "=== installed after: $(rpm --dbpath "$device/var/lib/rpm" -q demo-app) (check-only installs nothing)"
if ! grep -q -- '--- 1 UPDATE(S) ---' "$build/check-only.log" || [ "$status" != 0 ]; then
  echo "armhf-check.sh: the check-only run did not report the one update" >&2
  exit 1
fi
[ "$unit_status" = 0 ] || {
  echo "armhf-check.sh: unit tests failed under qemu" >&2
  exit 1
}
