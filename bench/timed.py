#!/usr/bin/env python3
"""timed.py OUT COMMAND...: runs COMMAND under /usr/bin/time -v (its report goes to OUT, for
the peak RSS) and appends the wall time on the monotonic clock, in microseconds rather than
the hundredths /usr/bin/time prints. Exits with the command's status."""
import subprocess, sys, time

out, cmd = sys.argv[1], sys.argv[2:]
start = time.perf_counter()
status = subprocess.call(["/usr/bin/time", "-v", "-o", out] + cmd)
wall = time.perf_counter() - start
with open(out, "a") as f:
    f.write(f"\tMonotonic wall seconds: {wall:.6f}\n")
sys.exit(status)
