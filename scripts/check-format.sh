#!/usr/bin/env bash
# Fails when a C++ file of the project differs from what .clang-format asks for. Without
# clang-format the check is skipped (exit 77), except in CI, where it fails.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if ! command -v clang-format >/dev/null; then
  echo "check-format: clang-format is missing (scripts/setup.sh installs it)" >&2
  [ -n "${CI:-}" ] && exit 1
  exit 77
fi
files=$(git ls-files '*.cpp' '*.h' 2>/dev/null || find src tests bench -name '*.cpp' -o -name '*.h')
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files
