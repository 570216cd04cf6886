#!/usr/bin/env bash
# Runs one full update under valgrind's memcheck on a sandboxed device and prints valgrind's
# summary: the system test UpdateTest.SignedUpdateIsInstalledAndTheDeviceReboots (a signed
# package from the HTTP repository is downloaded, verified and installed, and the reboot
# requested), with the updater binary started through valgrind (UPDATER_TEST_WRAPPER).
# Invalid accesses and definite or indirect leaks make valgrind exit with 99, which fails the
# test and this script. Needs root and a built tree (UPDATER_BUILD_DIR, default ./build as
# scripts/setup.sh makes it; RelWithDebInfo, not a sanitizer build).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${UPDATER_BUILD_DIR:-$root/build}" && pwd)
test=UpdateTest.SignedUpdateIsInstalledAndTheDeviceReboots

if ! command -v valgrind >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends valgrind
fi
[ -x "$build/tests/system_tests" ] || { echo "no system tests in $build (build it first)" >&2; exit 1; }

# The logs stay outside /tmp, /run, /media, /etc, /usr and /var, which the sandbox replaces
# (a checkout below /tmp puts them in the home directory). The wrapper is split at blanks,
# hence no blanks in its path.
case "$build/" in
  /tmp/* | /run/* | /media/* | /etc/* | /usr/* | /var/*) logs=$(mktemp -d "${HOME:-/root}/updater-valgrind.XXXXXX") ;;
  *) logs=$(mktemp -d "$build/valgrind.XXXXXX") ;;
esac
case "$logs" in *[[:space:]]*) echo "the build path must not contain blanks: $logs" >&2; exit 1 ;; esac
export UPDATER_TEST_WRAPPER="valgrind --tool=memcheck --leak-check=full --show-leak-kinds=all \
--errors-for-leak-kinds=definite,indirect --error-exitcode=99 --num-callers=30 --log-file=$logs/updater.%p.log"

status=0
"$build/tests/system_tests" --gtest_filter="$test" --gtest_brief=1 >"$logs/test.log" 2>&1 || status=$?

# One log per process that ran under valgrind: the updater, and its forks until they exec
# rpm, the hook or the shutdown fakes (those run natively).
shopt -s nullglob
summaries=0
for log in "$logs"/updater.*.log; do
  grep -q 'ERROR SUMMARY' "$log" || continue
  summaries=$((summaries + 1))
  echo "== $(grep -m1 -o 'Command: .*' "$log") (${log##*/})"
  sed -n -e 's/^==[0-9]*== //' \
    -e '/^\(HEAP SUMMARY\|LEAK SUMMARY\|ERROR SUMMARY\)/p' \
    -e '/^ *\(in use at exit\|total heap usage\|definitely lost\|indirectly lost\|possibly lost\|still reachable\|suppressed\):/p' "$log"
done
echo "logs: $logs"
if [ "$status" -ne 0 ] || [ "$summaries" -eq 0 ]; then
  cat "$logs/test.log"
  echo "FAILED: $test under valgrind (status $status, $summaries summaries)" >&2
  exit 1
fi
echo "OK: $test under valgrind"
