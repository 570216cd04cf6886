#!/usr/bin/env bash
# Checks that every include between the folders of src/ goes down the layers that
# CMakeLists.txt declares (its updater_subsystem lines): a folder may include itself and the
# folders its DEPENDS names, nothing else. Every folder of src/ must be declared.
#
# Usage: scripts/check-layers.sh           check; exit 1 on an include against the layers
#        scripts/check-layers.sh --graph   print the include edges between folders, counted
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# "from to" for every include of one folder's header in another folder's file.
include_edges() {
  local file folder
  for file in src/*/*.h src/*/*.cpp; do
    folder=$(basename "$(dirname "$file")")
    sed -n 's|^#include "\([a-z_]*\)/.*|\1|p' "$file" | while read -r target; do
      [ "$target" = "$folder" ] || echo "$folder $target $file"
    done
  done
}

if [ "${1:-}" = --graph ]; then
  include_edges | awk '{ print $1 " -> " $2 }' | sort | uniq -c
  exit 0
fi

declare -A allowed
while read -r name deps; do
  allowed[$name]=" $deps "
done < <(sed -n 's/^updater_subsystem(\([a-z_]*\)\( DEPENDS\)\{0,1\}\(.*\))$/\1\3/p' CMakeLists.txt)

status=0
for dir in src/*/; do
  folder=$(basename "$dir")
  if [ -z "${allowed[$folder]+set}" ]; then
    echo "check-layers: src/$folder is not declared by an updater_subsystem line of CMakeLists.txt"
    status=1
  fi
done
while read -r folder target file; do
  [ -n "${allowed[$folder]+set}" ] || continue
  case "${allowed[$folder]}" in
    *" $target "*) ;;
    *) echo "check-layers: $file includes $target/, which src/$folder does not depend on"
       status=1 ;;
  esac
done < <(include_edges)
[ $status = 0 ] && echo "check-layers: every include follows the layers"
exit $status
