#!/usr/bin/env python3
"""Start-up cost of binsearch against a static C program doing the same work.

usage: startup.py PROGRAM FLOOR [RUNS]

Both answer 7 on standard input that is not a terminal, output to /dev/null,
and every measured process runs with an empty environment: the C library's
start-up reads the environment, so its size would change the counts.
Prints, for each: user-space instructions (valgrind's callgrind, when
valgrind is installed), peak resident memory (GNU time's, when
/usr/bin/time is installed), file size, and the median wall time of RUNS
runs (400 if not given), interleaved so that both see the same machine; then
the ratio of the two medians. It builds nothing: build both first (HACKING.md,
Benchmark).
"""
import atexit
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def fail(message):
    print(message, file=sys.stderr)
    sys.exit(2)


if not 3 <= len(sys.argv) <= 4:
    fail("usage: startup.py PROGRAM FLOOR [RUNS]")
program, floor = sys.argv[1], sys.argv[2]
runs = sys.argv[3] if len(sys.argv) > 3 else "400"
if not runs.isdigit() or int(runs) == 0:
    fail(f"startup.py: RUNS must be a positive whole number, not {runs!r}")
runs = int(runs)
for path in program, floor:
    if not os.path.isfile(path) or not os.access(path, os.X_OK):
        fail(f"startup.py: {path}: {'not an executable file' if os.path.exists(path) else 'no such file'}")

# Made once the arguments are good, and removed however the run ends.
with tempfile.NamedTemporaryFile(suffix=".in", delete=False) as answer:
    answer.write(b"7\n")
atexit.register(os.unlink, answer.name)
ENVIRONMENT = {}
STREAMS = [(os.POSIX_SPAWN_OPEN, 0, answer.name, os.O_RDONLY, 0),
           (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)]


def wall_time(path):
    start = time.perf_counter()
    pid = os.posix_spawn(path, [path], ENVIRONMENT, file_actions=STREAMS)
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{path} exited with status {os.waitstatus_to_exitcode(status)}")
    return elapsed


def peak_memory(path):
    """Peak resident memory in KiB. GNU time forks from a small process of its
    own; a child spawned from this one would count the interpreter's memory."""
    if not os.access("/usr/bin/time", os.X_OK):
        return None
    with open(answer.name, "rb") as stdin:
        log = subprocess.run(["/usr/bin/time", "-f", "%M", path], stdin=stdin,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                             env=ENVIRONMENT, check=True).stderr
    return int(log.split()[-1])


def instructions(path):
    if not shutil.which("valgrind"):
        return None
    with open(answer.name, "rb") as stdin:
        log = subprocess.run([shutil.which("valgrind"), "--tool=callgrind", "--callgrind-out-file=/dev/null",
                              path], stdin=stdin, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True, env=ENVIRONMENT, check=True).stderr
    return int(re.search(r"Collected : (\d+)", log).group(1))


paths = [program, floor]
times = {path: [] for path in paths}
for i in range(runs):
    for path in paths if i % 2 == 0 else reversed(paths):
        times[path].append(wall_time(path))

print(f"{'':12} {'instructions':>13} {'peak RSS':>10} {'file size':>11} {'median wall':>12}")
for name, path in (("binsearch", program), ("C floor", floor)):
    count, peak = instructions(path), peak_memory(path)
    print(f"{name:12} {'n/a' if count is None else f'{count:,}':>13} "
          f"{'n/a' if peak is None else f'{peak / 1024:.2f} MiB':>10} {os.path.getsize(path) / 1024:>7.0f} KiB "
          f"{statistics.median(times[path]) * 1e6:>9.0f} us")
ratio = statistics.median(times[program]) / statistics.median(times[floor])
print(f"wall time ratio binsearch / C floor: {ratio:.3f} (median of {runs} interleaved runs each)")
