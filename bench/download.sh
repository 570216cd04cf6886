#!/usr/bin/env bash
# Downloads over loopback: a SIZE MiB file (default 50) fetched RUNS times in alternating
# rounds as the updater does it (counted: byte limit, rate floor, deadline, partial file,
# syncs) and plainly through neon's own dispatch, median wall time of each; then the bytes
# fetched when a download is cut at 90 % and resumed, against a full restart.
#
# Usage: bench/download.sh [--size MiB] [--runs N] [--build DIR]
# Prints a markdown table (bench/RESULTS.md keeps the one of a quiet machine).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-bench
size=50
runs=9
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    *) echo "download.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
bench=$build/bench/updater_download_bench
[ -x "$bench" ] || { echo "download.sh: no $bench (build with -DUPDATER_BENCH=ON)" >&2; exit 1; }

work=$(mktemp -d "$build/download.XXXXXX")
server_pid=
cleanup() {
  [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root" "$work/out"
head -c "$((size * 1024 * 1024))" /dev/urandom >"$work/root/file"
bytes=$(stat -c %s "$work/root/file")

python3 "$root/tests/fixtures/http_server.py" --root "$work/root" --log "$work/log" \
  --port-file "$work/ports" --lifetime 1800 </dev/zero >/dev/null 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/ports" ] && break; sleep 0.1; done
port=$(cut -d' ' -f2 "$work/ports")
url=http://127.0.0.1:$port/
control() {
  python3 -c 'import sys, urllib.request
urllib.request.urlopen(urllib.request.Request(sys.argv[1] + "_control/command", data=sys.argv[2].encode()))' \
    "$url" "$1" >/dev/null
}

run() {  # mode [partial [limit]] -> "seconds received resumed cpu"
  "$bench" --mode "$1" "$url" file "$work/out/file" "${2:-}" "${3:-}" 2>/dev/null | awk '{print $2, $4, $6, $8}' || true
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

run plain >/dev/null
run counted "$work/out/file.part" "$bytes" >/dev/null
: >"$work/plain"
: >"$work/counted"
for _ in $(seq "$runs"); do
  run plain >>"$work/plain"
  run counted "$work/out/file.part" "$bytes" >>"$work/counted"
done
plain=$(cut -d' ' -f1 "$work/plain" | median)
counted=$(cut -d' ' -f1 "$work/counted" | median)
plain_cpu=$(cut -d' ' -f4 "$work/plain" | median)
counted_cpu=$(cut -d' ' -f4 "$work/counted" | median)

# Cut at 90 %: the first attempt and its two retries end there, the next run resumes.
cut=$((bytes * 9 / 10))
control "{\"cmd\": \"route\", \"path\": \"/file\", \"rules\": {\"truncate\": $cut}}"
first=$(run counted "$work/out/file.part" "$bytes" | cut -d' ' -f2)
control '{"cmd": "remove_route", "path": "/file"}'
resumed=$(run counted "$work/out/file.part" "$bytes" | cut -d' ' -f2)
control "{\"cmd\": \"route\", \"path\": \"/file\", \"rules\": {\"truncate\": $cut}}"
restart_first=$(run counted "" "$bytes" | cut -d' ' -f2)
control '{"cmd": "remove_route", "path": "/file"}'
restart=$(run counted "" "$bytes" | cut -d' ' -f2)

awk -v p="$plain" -v c="$counted" -v pc="$plain_cpu" -v cc="$counted_cpu" -v n="$runs" -v s="$size" \
    -v f="$first" -v r="$resumed" -v rf="$restart_first" -v rr="$restart" 'BEGIN {
  printf "| %d MiB over loopback, median of %d | wall | client CPU |\n|---|---|---|\n", s, n
  printf "| plain (neon dispatch into a file) | %.3f s | %.3f s |\n", p, pc
  printf "| counted (limit, floor, deadline, partial, syncs) | %.3f s | %.3f s |\n", c, cc
  printf "| overhead | %+.1f %% | %+.1f %% |\n\n", (c - p) / p * 100, (cc - pc) / pc * 100
  printf "| cut at 90 %%, then fetched again | first run | second run | total |\n|---|---|---|---|\n"
  printf "| resumed | %.1f MiB | %.1f MiB | %.1f MiB |\n", f / 1048576, r / 1048576, (f + r) / 1048576
  printf "| full restart (resume off) | %.1f MiB | %.1f MiB | %.1f MiB |\n", rf / 1048576, rr / 1048576, (rf + rr) / 1048576
}'
