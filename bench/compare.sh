#!/usr/bin/env bash
# Compares the updater's check for updates with dnf and zypper on one fixture, and with the
# floors below it (decompressing and parsing the primary list, reading the rpm database,
# checking the index signature). Runs every tool in turn, a warm-up round first, then RUNS
# recorded rounds, and keeps the median wall time and peak RSS (/usr/bin/time -v) of each.
# Every run starts cold: a new device, install root or cache.
#
# Usage: bench/compare.sh [--sizes "500 2000 10000"] [--runs N] [--tools "T ..."] [--build DIR]
#                         [--fixtures DIR] [--results FILE] [--baseline DIR]
#   tools: updater-file updater-http dnf-file dnf-http zypper-file zcat xmllint rpmqa gpgv
#   (default all); with --baseline, baseline-file and baseline-http run DIR/updater (an
#   earlier build) alternating with this one, for before-and-after figures of one run. The first size gets every tool; the others (scaling) the updater's and
#   the floors. Missing fixtures are made by bench/make-fixture.py, or above 50000 packages
#   by bench/make-big-fixture.py (a generated list for a device with three packages installed).
# The tables replace the generated part of the results file (bench/RESULTS.md by default),
# between its markers; the text around them stays. Needs root (the device sandbox).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-bench
fixtures=
sizes="2000"
runs=5
tools="updater-file updater-http dnf-file dnf-http zypper-file zcat xmllint rpmqa gpgv"
scale_tools="updater-file updater-http zcat xmllint rpmqa gpgv"
results=$root/bench/RESULTS.md
baseline=
built_max=50000

while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) sizes=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --tools) tools=$2; scale_tools=$2; shift 2 ;;
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --fixtures) fixtures=$2; shift 2 ;;
    --results) results=$2; shift 2 ;;
    --baseline) baseline=$(cd "$2" && pwd); shift 2 ;;
    *) echo "compare.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
fixtures=${fixtures:-$build/fixtures}
if [ -n "$baseline" ]; then
  [ -x "$baseline/updater" ] || { echo "compare.sh: no $baseline/updater" >&2; exit 1; }
  tools="$tools baseline-file baseline-http"
  scale_tools="$scale_tools baseline-file baseline-http"
fi
[ -x "$build/updater" ] || { echo "compare.sh: no $build/updater (build it first)" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "compare.sh: needs root for the device sandbox" >&2; exit 1; }
mkdir -p "$fixtures"
# Outside /tmp, /etc, /usr, /var and /run: the device sandbox replaces those, and the
# fixture's file: repository must stay visible inside it.
work=$(mktemp -d "$build/compare.XXXXXX")
server_pid=
cleanup() {
  [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A device in the image of scripts/demo.sh: its configuration names the repository, its rpm
# database is a copy of the fixture's, and the init hook does nothing.
make_device() {
  local device=$1 href=$2 fixture=$3
  mkdir -p "$device/etc/rpm" "$device/var/lib/updater" "$device/var/cache/updater" "$device/var/log/updater" \
           "$device/run/lock" "$device/usr/lib/updater" "$device/usr/share/resources/default/updater" \
           "$device/proc" "$device/sys/bus/i2c/drivers/tav-eeprom/1-0052"
  cat > "$device/etc/updater.conf" <<CONF
<?xml version="1.0"?>
<updater>
  <log level="info"><logger type="stderr"/></log>
  <product><name>bench-device</name></product>
  <repository id="bench"><name>Benchmark fixture</name><location href="$href"/></repository>
</updater>
CONF
  cat > "$device/usr/share/resources/default/updater/defaults.conf" <<'CONF'
<?xml version="1.0"?>
<updater>
  <log level="info"><logger type="stderr"/></log>
  <user-agent><base>updater</base><prodname>bench</prodname></user-agent>
</updater>
CONF
  printf 'processor\t: 0\nmodel name\t: ARMv7 Processor rev 10 (v7l)\nHardware\t: Mirest\nSerial\t\t: 00000000bench001\n' \
      > "$device/proc/cpuinfo"
  printf 'bench-board C1.04 0001' > "$device/sys/bus/i2c/drivers/tav-eeprom/1-0052/data"
  echo '%_dbpath /var/lib/rpm' > "$device/etc/rpm/macros"
  printf '#!/bin/sh\nexit 0\n' > "$device/usr/lib/updater/hook"
  chmod 0755 "$device/usr/lib/updater/hook"
  cp -a "$fixture/rpmdb" "$device/var/lib/rpm"
}

# An install root for dnf or zypper: Debian's rpm keeps its database below the home
# directory unless told otherwise, so HOME's .rpmmacros puts it at /var/lib/rpm of the root.
make_root() {
  local dir=$1 fixture=$2
  mkdir -p "$dir/root/var/lib" "$dir/home" "$dir/repos"
  cp -a "$fixture/rpmdb" "$dir/root/var/lib/rpm"
  echo '%_dbpath /var/lib/rpm' > "$dir/home/.rpmmacros"
}

# measure NAME OUTPUT-FILE COMMAND...: appends "wall-seconds peak-rss-kB" to $work/NAME.
measure() {
  local name=$1 output=$2 timing=$work/time.txt
  shift 2
  set +e
  "$root/bench/timed.py" "$timing" "$@" > "$output" 2>&1
  local status=$?
  set -e
  record "$name" "$timing" "$status" "$output"
}

record() {
  local name=$1 timing=$2 status=$3 output=$4
  python3 - "$timing" >> "$work/$name.times" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
wall = float(re.search(r"Monotonic wall seconds: ([\d.]+)", text).group(1))
rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1)
print(f"{wall:.6f} {rss}")
PY
  cp "$output" "$work/$name.last"
  echo "$status" > "$work/$name.status"
}

run_tool() {
  local tool=$1 fixture=$2 size=$3 tag=$1-$3 dir
  dir=$(mktemp -d "$work/run.XXXXXX")
  case "$tool" in
    updater-file | updater-http | baseline-file | baseline-http)
      local href=file://$fixture/repo binary=$build/updater
      case "$tool" in *-http) href=http://127.0.0.1:$port/$size/repo/ ;; esac
      case "$tool" in baseline-*) binary=$baseline/updater ;; esac
      make_device "$dir" "$href" "$fixture"
      # Timed inside the sandbox: the mounts of the sandbox are not the updater's cost.
      set +e
      unshare --mount --propagation private -- "$root/tests/fixtures/device-sandbox" "$dir" -- \
          "$root/bench/timed.py" /tmp/time.txt "$binary" --max-wait-time -1 --check-only > "$dir/out" 2>&1
      local status=$?
      set -e
      record "$tag" "$dir/tmp/time.txt" "$status" "$dir/out"
      ;;
    dnf-file | dnf-http)
      local baseurl=file://$fixture/repo
      [ "$tool" = dnf-http ] && baseurl=http://127.0.0.1:$port/$size/repo/
      make_root "$dir" "$fixture"
      printf '[main]\ncachedir=%s/cache\nreposdir=%s/repos\n' "$dir" "$dir" > "$dir/dnf.conf"
      printf '[fx]\nname=fx\nbaseurl=%s\ngpgcheck=1\nrepo_gpgcheck=1\ngpgkey=file://%s/key.asc\n' \
          "$baseurl" "$fixture" > "$dir/repos/fx.repo"
      HOME=$dir/home measure "$tag" "$dir/out" dnf -y -q --noplugins --config="$dir/dnf.conf" \
          --installroot="$dir/root" --releasever=1 --setopt=reposdir="$dir/repos" check-update
      ;;
    zypper-file)
      make_root "$dir" "$fixture"
      HOME=$dir/home zypper --root "$dir/root" -n -q ar -g "file://$fixture/repo" fx > /dev/null
      HOME=$dir/home measure "$tag" "$dir/out" zypper --root "$dir/root" -n --gpg-auto-import-keys list-updates
      ;;
    zcat) measure "$tag" /dev/null zcat "$fixture"/repo/repodata/*-primary.xml.gz ;;
    xmllint) measure "$tag" "$dir/out" xmllint --stream --noout "$fixture"/repo/repodata/*-primary.xml.gz ;;
    rpmqa)
      measure "$tag" /dev/null rpm --dbpath "$fixture/rpmdb" -qa \
          --qf '%{NAME} %{EPOCH}:%{VERSION}-%{RELEASE}\n[R %{REQUIRENEVRS}\n][P %{PROVIDENEVRS}\n]'
      ;;
    gpgv)
      measure "$tag" "$dir/out" gpgv --keyring "$fixture/key.gpg" "$fixture/repo/repodata/repomd.xml.asc" \
          "$fixture/repo/repodata/repomd.xml"
      ;;
  esac
  rm -rf "$dir"
}

# The repositories of every fixture over HTTP on loopback, on a port the kernel picks.
exec 3< <(exec python3 -u -c '
import functools, http.server, sys
class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args): pass
handler = functools.partial(Quiet, directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
print(server.server_address[1])
server.serve_forever()' "$fixtures")
server_pid=$!
read -r port <&3

first=
for size in $sizes; do
  fixture=$fixtures/$size
  # Beyond what rpmbuild makes in minutes, the list is generated (few packages installed).
  maker=$root/bench/make-fixture.py
  [ "$size" -le "$built_max" ] || maker=$root/bench/make-big-fixture.py
  [ -f "$fixture/expected" ] || "$maker" --size "$size" "$fixture" 2> >(grep -v '^rpm: ' >&2)
  [ -f "$fixture/key.gpg" ] || gpg --dearmor < "$fixture/key.asc" > "$fixture/key.gpg"
  list=$scale_tools
  [ -n "$first" ] || list=$tools
  first=$size
  for round in $(seq 0 "$runs"); do
    echo "size $size, round $round of $runs ($( [ "$round" = 0 ] && echo warm-up || echo recorded ))" >&2
    for tool in $list; do
      run_tool "$tool" "$fixture" "$size"
      # The warm-up round fills the page cache and is not recorded.
      [ "$round" != 0 ] || rm -f "$work/$tool-$size.times"
    done
  done
done

# Checksum::checkFile against openssl on one 200 MB file (page cache warm for both).
checksum_line=
if [ -x "$build/bench/updater_micro_bench" ] && [ -z "${BENCH_SKIP_CHECKSUM:-}" ]; then
  big=$work/big.bin
  head -c $((200 << 20)) /dev/urandom > "$big"
  openssl dgst -sha256 "$big" > /dev/null
  for round in $(seq 1 "$runs"); do
    measure openssl-sha256 /dev/null openssl dgst -sha256 "$big"
  done
  UPDATER_BENCH_CHECKSUM_FILE=$big "$build/bench/updater_micro_bench" --benchmark_filter=BM_ChecksumCheckFile \
      --benchmark_repetitions="$runs" --benchmark_format=json \
      > "$work/checksum.json" 2>/dev/null
  checksum_line=$(python3 - "$work" <<'PY'
import json, statistics, sys
work = sys.argv[1]
walls = sorted(float(l.split()[0]) for l in open(f"{work}/openssl-sha256.times"))
openssl = statistics.median(walls)
runs = json.load(open(f"{work}/checksum.json"))["benchmarks"]
mine = statistics.median(b["real_time"] for b in runs if b.get("run_type") == "iteration") / 1000.0  # ms
size = 200
print(f"Checksum::checkFile sha256 of 200 MiB: {mine:.3f} s ({size / mine:.0f} MiB/s) against openssl dgst -sha256 "
      f"{openssl:.3f} s ({size / openssl:.0f} MiB/s, process start included): {openssl / mine * 100:.0f} % of openssl's "
      f"throughput (target at least 90 %)")
PY
)
  rm -f "$big"
fi
export BENCH_CHECKSUM_LINE=$checksum_line

# The tables, the update counts and their differences.
python3 - "$work" "$results" "$sizes" "$runs" "$(nproc)" "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')" \
    "$(cut -d' ' -f1-3 /proc/loadavg)" "$fixtures" <<'PY'
import glob, os, re, statistics, sys, datetime
work, results, sizes, runs, nproc, cpu, load, fixtures = sys.argv[1:]
sizes = sizes.split()

def medians(tag):
    path = f"{work}/{tag}.times"
    if not os.path.exists(path):
        return None
    rows = [tuple(map(float, l.split())) for l in open(path) if l.strip()]
    return statistics.median(r[0] for r in rows), statistics.median(r[1] for r in rows), len(rows)

def status(tag):
    p = f"{work}/{tag}.status"
    return open(p).read().strip() if os.path.exists(p) else "-"

out = []
now = datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M UTC")
out.append(f"Measured {now} on {nproc} cores ({cpu}), load average at the end {load}; "
           f"{runs} recorded runs per tool after a warm-up round, alternating; medians.\n")
first = sizes[0]
for size in sizes:
    out.append(f"\n### SIZE {size}\n")
    out.append("| tool | median wall (s) | median peak RSS (MB) | runs | last exit status |")
    out.append("|---|---:|---:|---:|---:|")
    m = {}
    for path in sorted(glob.glob(f"{work}/*-{size}.times")):
        tag = os.path.basename(path)[: -len(".times")]
        tool = tag[: -len(f"-{size}")]
        m[tool] = medians(tag)
        w, r, n = m[tool]
        out.append(f"| {tool} | {w:.4f} | {r / 1024:.1f} | {n} | {status(tag)} |")
    u = m.get("updater-file")
    if u:
        out.append("")
        out.append("| ratio | value | target |")
        out.append("|---|---:|---|")
        for other, tw, tr in (("dnf-file", "≤ 0.25", "≤ 0.33"), ("dnf-http", "≤ 0.25", "≤ 0.33"),
                              ("zypper-file", "≤ 0.5", "< 1")):
            mine = m["updater-http"] if other.endswith("http") and "updater-http" in m else u
            if other in m:
                out.append(f"| wall updater / {other} | {mine[0] / m[other][0]:.3f} | {tw} |")
                out.append(f"| peak RSS updater / {other} | {mine[1] / m[other][1]:.3f} | {tr} |")
        if all(t in m for t in ("xmllint", "rpmqa", "gpgv")):
            floor = m["xmllint"][0] + m["rpmqa"][0] + m["gpgv"][0]
            out.append(f"| wall updater-file / (xmllint + rpm -qa + gpgv) = {u[0]:.3f} / {floor:.3f} | "
                       f"{u[0] / floor:.2f} | ≤ 1.5 |")
        out.append(f"| updater-file wall per package (ms) | {1000 * u[0] / int(size):.4f} | |")
        if "updater-http" in m:
            out.append(f"| updater-http wall per package (ms) | {1000 * m['updater-http'][0] / int(size):.4f} | |")

    # Update counts: the updater's "--- N UPDATE(S) ---" against dnf's list.
    ulast = f"{work}/updater-file-{size}.last"
    dlast = f"{work}/dnf-file-{size}.last"
    if os.path.exists(ulast) and os.path.exists(dlast):
        utext = open(ulast).read()
        mcount = re.search(r"--- (\d+) UPDATE\(S\) ---", utext)
        unames = set(re.findall(r"^INFO: \t(\S+?)-[^-]+-[^-]+\.noarch\.rpm$", utext, re.M))
        dnames, obsoleting, section = set(), set(), "updates"
        for line in open(dlast):
            if line.startswith("Obsoleting Packages"):
                section = "obsoletes"
                continue
            f = line.split()
            if len(f) == 3 and f[0].endswith(".noarch") and not line[0].isspace():
                (dnames if section == "updates" else obsoleting).add(f[0][: -len(".noarch")])
        installed = set()
        import subprocess
        qa = subprocess.run(["rpm", "--dbpath", f"{fixtures}/{size}/rpmdb", "-qa", "--qf", "%{NAME}\n"],
                            capture_output=True, text=True).stdout.split()
        installed = set(qa)
        only_u = sorted(unames - dnames)
        only_d = sorted(dnames - unames)
        out.append("")
        out.append(f"Updates found: updater {mcount.group(1) if mcount else '?'} "
                   f"(names listed {len(unames)}), dnf check-update {len(dnames)} updates + "
                   f"{len(obsoleting)} obsoleting.")
        out.append(f"- only the updater: {len(only_u)}: "
                   f"{sum(1 for n in only_u if n in obsoleting)} obsolete an installed package (dnf lists them "
                   f"under 'Obsoleting Packages'), "
                   f"{sum(1 for n in only_u if n not in installed and n not in obsoleting)} are not installed "
                   f"(pulled in by the dependency closure), "
                   f"{sum(1 for n in only_u if n in installed)} installed: {' '.join(n for n in only_u if n in installed) or 'none'}")
        out.append(f"- only dnf: {len(only_d)}: {' '.join(only_d) or 'none'}")
    zlast = f"{work}/zypper-file-{size}.last"
    if os.path.exists(zlast):
        znames = [l.split("|")[2].strip() for l in open(zlast) if l.startswith("v |")]
        out.append(f"- zypper list-updates: {len(znames)} updates")

walls = {size: medians(f"updater-file-{size}") for size in sizes}
walls = {size: m[0] for size, m in walls.items() if m}
if len(walls) > 1:
    # Every run carries the same start-up (libraries, rpm's configuration, the hook, gpgv),
    # which weighs most per package on the smallest size; the cost a package adds, from one
    # size to the next, shows the growth without it.
    ordered = sorted(walls, key=int)
    out.append("\n### Time per package\n")
    out.append("| SIZE | updater-file wall (s) | per package (ms) | added per package since the previous size (ms) |")
    out.append("|---:|---:|---:|---:|")
    added = []
    for i, size in enumerate(ordered):
        step = ""
        if i > 0:
            previous = ordered[i - 1]
            added.append((walls[size] - walls[previous]) / (int(size) - int(previous)))
            step = f"{1000 * added[-1]:.4f}"
        out.append(f"| {size} | {walls[size]:.4f} | {1000 * walls[size] / int(size):.4f} | {step} |")
    per_package = [walls[size] / int(size) for size in ordered]
    out.append(f"\nper package, largest / smallest: {max(per_package) / min(per_package):.2f} (target < 1.5)")
    if len(added) > 1 and min(added) > 0:
        out.append(f"added per package, largest / smallest: {max(added) / min(added):.2f}")

if os.environ.get("BENCH_CHECKSUM_LINE"):
    out.append("\n### Checksum\n")
    out.append(os.environ["BENCH_CHECKSUM_LINE"])

begin, end = "<!-- compare.sh: begin -->", "<!-- compare.sh: end -->"
text = open(results).read() if os.path.exists(results) else f"# Benchmark results\n\n{begin}\n{end}\n"
if begin not in text:
    text += f"\n{begin}\n{end}\n"
head, rest = text.split(begin, 1)
tail = rest.split(end, 1)[1]
generated = "\n".join(out)
open(results, "w").write(f"{head}{begin}\n{generated}\n{end}{tail}")
print(generated)
PY
