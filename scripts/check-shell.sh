#!/usr/bin/env bash
# Runs shellcheck over every shell script of the project: the .sh files and the files whose
# first line names a shell.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if ! command -v shellcheck >/dev/null; then
  echo "check-shell: shellcheck is missing (scripts/setup.sh installs it)" >&2
  [ -n "${CI:-}" ] && exit 1
  exit 77
fi
scripts=()
while IFS= read -r file; do
  case "$file" in
    *.sh) scripts+=("$file") ;;
    *) head -n 1 "$file" | grep -Eq '^#!.*/(env +)?(ba)?sh( |$)' && scripts+=("$file") ;;
  esac
done < <(git ls-files 2>/dev/null || find . -type f -not -path './build*' -not -path './.git/*')
shellcheck "${scripts[@]}"
echo "check-shell: ${#scripts[@]} scripts clean"
