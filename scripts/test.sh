#!/usr/bin/env bash
# Sets up the machine, builds, and runs every test (unit and system) under CTest.
# The system tests need root: they run the updater in private mount namespaces.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${UPDATER_BUILD_DIR:-$root/build}

"$root/scripts/setup.sh"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
