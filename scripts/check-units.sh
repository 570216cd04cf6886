#!/usr/bin/env bash
# Checks the systemd units the updater ships with systemd-analyze verify: the unit files as
# installed, with the program they start pointing at the build's binary (verify checks that
# it exists and is executable). Usage: scripts/check-units.sh UPDATER_BINARY
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
binary=${1:?usage: check-units.sh UPDATER_BINARY}
work=$(mktemp -d "${TMPDIR:-/tmp}/check-units.XXXXXX")
trap 'rm -rf "$work"' EXIT
sed "s|/usr/sbin/updater|$binary|" "$root/data/updater.service" >"$work/updater.service"
cp "$root/data/updater.timer" "$work/updater.timer"
# man: the manual page is not installed on the build machine.
systemd-analyze verify --man=no "$work/updater.service" "$work/updater.timer"
echo "check-units.sh: units verified"
