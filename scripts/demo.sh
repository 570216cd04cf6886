#!/usr/bin/env bash
# The main job: sets up the machine, builds the updater and runs it on a demo device, a
# private mount namespace whose /etc, /usr, /var, /run and /tmp live in one temporary
# directory (the host stays untouched; telinit, shutdown and reboot are recording fakes).
# Needs root for the mount namespace. Keep the device with UPDATER_DEMO_KEEP=1.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${UPDATER_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"

device=$(mktemp -d /tmp/updater-demo.XXXXXX)
cleanup() { [ -n "${UPDATER_DEMO_KEEP:-}" ] && echo "demo device kept in $device" || rm -rf "$device"; }
trap cleanup EXIT

# The device's configuration: one local repository, the product and its release package.
mkdir -p "$device/etc/rpm" "$device/var/lib/rpm" "$device/var/lib/updater" "$device/var/cache/updater" \
         "$device/var/log/updater" "$device/run/lock" "$device/usr/lib/updater" "$device/var/lib/demo-repo"
cat > "$device/etc/updater.conf" <<'CONF'
<?xml version="1.0"?>
<updater>
  <log level="info">
    <logger type="stderr"/>
  </log>
  <product>
    <name>demo-device</name>
    <packages>
      <release><package><name>demo-release</name></package></release>
    </packages>
  </product>
  <repository id="demo">
    <name>Demo updates</name>
    <location href="file:///var/lib/demo-repo"/>
  </repository>
</updater>
CONF
# The software's shipped defaults, and the device's identity: processor information and
# the EEPROM block its default HTTP credentials are derived from.
mkdir -p "$device/usr/share/resources/default/updater" "$device/proc" \
         "$device/sys/bus/i2c/drivers/tav-eeprom/1-0052"
cat > "$device/usr/share/resources/default/updater/defaults.conf" <<'CONF'
<?xml version="1.0"?>
<updater>
  <log level="info"><logger type="stderr"/></log>
  <user-agent><base>updater</base><prodname>demo</prodname></user-agent>
</updater>
CONF
printf 'processor\t: 0\nmodel name\t: ARMv7 Processor rev 10 (v7l)\nHardware\t: Mirest\nRevision\t: 0002\nSerial\t\t: 00000000demo0001\n' \
    > "$device/proc/cpuinfo"
printf 'demo-board C1.04 0001' > "$device/sys/bus/i2c/drivers/tav-eeprom/1-0052/data"
echo '%_dbpath /var/lib/rpm' > "$device/etc/rpm/macros"
rpm --dbpath "$device/var/lib/rpm" --initdb
cat > "$device/usr/lib/updater/hook" <<'HOOK'
#!/bin/sh
echo "device hook called: $*"
HOOK
chmod 0755 "$device/usr/lib/updater/hook"

echo "=== updater on the demo device ($device) ==="
set +e
unshare --mount --propagation private -- "$root/tests/fixtures/device-sandbox" "$device" -- \
    "$build/updater" --log-level debug "$@"
status=$?
set -e
echo "=== exit status: $status ==="
echo "=== /var/lib/updater/status: $(cat "$device/var/lib/updater/status" 2>/dev/null || echo '(none)')"
echo "=== /var/log/updater/lastlog ==="
cat "$device/var/log/updater/lastlog" 2>/dev/null || true
