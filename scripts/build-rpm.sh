#!/usr/bin/env bash
# Builds the updater's own rpm package from this working tree with packaging/updater.spec.
#
# Usage: scripts/build-rpm.sh [OPTION...]
#   --output DIR        where the packages are copied (default: the current directory)
#   --topdir DIR        rpmbuild's top directory, kept afterwards (default: a temporary one)
#   --version VERSION   another package version than the project's (a test publishes 2.0)
#   --prebuilt DIR      package the install rules of this already built CMake build
#                       directory instead of compiling (fast; the tests use it)
#   --define 'NAME VALUE'  any other rpm macro (repeatable)
# Prints the path of each package it copied to the output directory.
#
# The source tarball is a tar of the working tree, uncommitted files included, without .git
# and the build directories. BuildRequires are not checked (rpmbuild --nodeps): on Debian the
# build tools are Debian packages, which rpm's database does not know.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
spec=$root/packaging/updater.spec
output=$PWD
topdir=
defines=()
version=

die() {
  echo "build-rpm.sh: $*" >&2
  exit 1
}

while [ $# -gt 0 ]; do
  case "$1" in
    --output | --topdir | --version | --prebuilt | --define)
      [ $# -ge 2 ] || die "$1 needs a value"
      case "$1" in
        --output) output=$2 ;;
        --topdir) topdir=$2 ;;
        --version) version=$2 ;;
        --prebuilt)
          [ -f "$2/cmake_install.cmake" ] || die "'$2' is not a configured CMake build directory"
          defines+=(--define "prebuilt_build_dir $(cd "$2" && pwd)")
          ;;
        --define) defines+=(--define "$2") ;;
      esac
      shift 2
      ;;
    -h | --help)
      sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'
      exit 0
      ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
done

if [ -z "$topdir" ]; then
  topdir=$(mktemp -d /tmp/updater-rpm.XXXXXX)
  trap 'rm -rf "$topdir"' EXIT
fi
mkdir -p "$topdir"/{SOURCES,SPECS,BUILD,RPMS,SRPMS,tmp} "$output"
topdir=$(cd "$topdir" && pwd)
output=$(cd "$output" && pwd)

# The package's version: the project's own (CMakeLists.txt) unless --version names another.
# It names the tarball's top directory.
[ -n "$version" ] || version=$(sed -n 's/^project(updater VERSION \([^ ]*\) .*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || die "no project version in $root/CMakeLists.txt"
defines+=(--define "updater_version $version")
tar -C "$root" --exclude-vcs --exclude='./build' --exclude='./build-*' \
    --transform "s,^\\.,updater-$version,S" -czf "$topdir/SOURCES/updater-$version.tar.gz" .

# A private, empty rpm database: building never reads or changes the machine's own.
rpmbuild -bb --nodeps --quiet \
    --define "_topdir $topdir" --define "_tmppath $topdir/tmp" --dbpath "$topdir/rpmdb" \
    "${defines[@]}" "$spec"

find "$topdir/RPMS" -name '*.rpm' -print0 | while IFS= read -r -d '' package; do
  cp "$package" "$output/"
  echo "$output/$(basename "$package")"
done
