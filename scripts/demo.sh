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
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  if [ -n "${UPDATER_DEMO_KEEP:-}" ]; then
    echo "demo device kept in $device"
  else
    rm -rf "$device"
  fi
}
trap cleanup EXIT

mkdir -p "$device/etc/rpm" "$device/var/lib/rpm" "$device/var/lib/updater" "$device/var/cache/updater" \
         "$device/var/log/updater" "$device/run/lock" "$device/usr/lib/updater"
# The vendor's repository is served over HTTP on 127.0.0.1, on a port the kernel picks.
repo=$device/.vendor/repo
mkdir -p "$repo"
exec 3< <(exec python3 -u -c '
import functools, http.server, sys
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
print(server.server_address[1])
server.serve_forever()' "$repo" 2>"$device/.vendor-http.log")
server_pid=$!
read -r port <&3

# The device's configuration: the vendor's repository and the product.
cat > "$device/etc/updater.conf" <<CONF
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
    <location href="http://127.0.0.1:$port/"/>
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

# The vendor: a signing key, demo-app 1.0 (already on the device) and 2.0 (the update),
# signed, in a repository whose index is signed too; the device trusts the key.
"$root/scripts/demo-vendor.sh" "$device/.vendor" "$repo" "$device/var/lib/rpm"
echo "=== installed before: $(rpm --dbpath "$device/var/lib/rpm" -q demo-app)"
cat > "$device/usr/lib/updater/hook" <<'HOOK'
#!/bin/sh
echo "device hook called: $* (status file: $(cat /var/lib/updater/status 2>/dev/null || echo none))"
HOOK
chmod 0755 "$device/usr/lib/updater/hook"

# A device waits a random time before connecting, so that a fleet does not reach the server
# at once; the demo skips that wait.
echo "=== updater on the demo device ($device), repository http://127.0.0.1:$port/ ==="
set +e
unshare --mount --propagation private -- "$root/tests/fixtures/device-sandbox" "$device" -- \
    "$build/updater" --max-wait-time -1 "$@"
status=$?
set -e
echo "=== exit status: $status ==="
echo "=== /var/lib/updater/status: $(cat "$device/var/lib/updater/status" 2>/dev/null || echo '(none)')"
echo "=== installed after: $(rpm --dbpath "$device/var/lib/rpm" -q demo-app)," \
     "/usr/share/demo-app/version on the device: $(cat "$device/usr/share/demo-app/version" 2>/dev/null || echo none)"
echo "=== reboot requested through the fakes: $(cat "$device/var/lib/sandbox-fakes/shutdown.calls" 2>/dev/null || echo none)"
echo "=== requests the vendor's server answered ==="
grep -o '"GET [^"]*" [0-9]*' "$device/.vendor-http.log" || true
echo "=== /var/log/updater/lastlog ==="
cat "$device/var/log/updater/lastlog" 2>/dev/null || true
echo "=== /var/lib/updater/last-run.json ==="
cat "$device/var/lib/updater/last-run.json" 2>/dev/null || true
