#!/usr/bin/env python3
"""Whatever is fed to the program, and wherever its output goes, it writes
exactly one report line, nothing on standard error, and exits 0.

usage: hostile.py [--seed N] PROGRAM [LAUNCHER ...]
"""
import argparse
import os
import random
import re
import resource
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
parser.add_argument("--seed", type=int, default=random.randrange(1 << 32),
                    help="repeat the random inputs of an earlier run")
parser.add_argument("program")
parser.add_argument("launcher", nargs=argparse.REMAINDER, help="an emulator to run it under")
options = parser.parse_args()
SEED, COMMAND = options.seed, options.launcher + [options.program]
HEADER = b"ARRAY: 1;2;3;4;5;6;7;8;9;10; \nNumber to find: "
FOUND, NOT_FOUND = b"number found.\n", b"number not found.\n"

CASES = [
    # No number: searched as 0.
    ("end before any digit", b"", NOT_FOUND),
    ("blanks only", b" \t\n\v\f\r\n", NOT_FOUND),
    ("sign alone", b"+", NOT_FOUND),
    ("two signs", b"+-5\n", NOT_FOUND),
    ("blank after sign", b"- 5\n", NOT_FOUND),
    # 32-bit limits and one past them; no wrap-around into the table.
    ("largest", b"2147483647\n", NOT_FOUND),
    ("smallest", b"-2147483648\n", NOT_FOUND),
    ("one past largest", b"2147483648\n", NOT_FOUND),
    ("one past smallest", b"-2147483649\n", NOT_FOUND),
    ("2^32 + 7", b"4294967303\n", NOT_FOUND),
    ("megabyte of digits", b"9" * (1 << 20), NOT_FOUND),
    ("megabyte of zeros, then 7", b"0" * (1 << 20) + b"7", FOUND),
    # Odd bytes around the number.
    ("NUL before", b"\x007\n", NOT_FOUND),
    ("NUL after", b"7\x00\n", FOUND),
    ("non-ASCII before", "\u00a07\n".encode(), NOT_FOUND),
    ("non-ASCII after", b"7\xff\xfe\n", FOUND),
    ("CR LF line ends", b"\r\n\r\n7\r\n", FOUND),
    ("thousands of blank lines", b"\n" * 5000 + b"7\n", FOUND),
]


def model(data):
    """The report for reading data as a decimal integer; no number is 0."""
    sign, digits = re.match(rb"[ \t\n\v\f\r]*([+-]?)([0-9]*)", data).groups()
    # Twelve significant digits are already far outside the table.
    value = int(sign + (digits.lstrip(b"0")[:12] or b"0")) if digits else 0
    return FOUND if 1 <= value <= 10 else NOT_FOUND


def check(name, report, **how):
    """Runs the program; report None means its output cannot be read back."""
    proc = subprocess.run(COMMAND, **{"stdout": subprocess.PIPE, "stderr": subprocess.PIPE,
                                        "timeout": 10, **how})
    if proc.returncode == 0 and not proc.stderr and (not report or proc.stdout == HEADER + report):
        return []
    return [f"{name}: status {proc.returncode}, stderr {proc.stderr[:200]!r}, "
            f"stdout {proc.stdout and proc.stdout[:200]!r}, wanted report {report!r}"]


def random_input(rng):
    parts = [b" ", b"\t", b"\n", b"+", b"-", b"0", b"00", b"x", b"\x00", b"\xff"]
    parts += [bytes([rng.choice(b"0123456789")]) for _ in range(6)]
    return b"".join(rng.choice(parts) for _ in range(rng.randrange(12)))


for name, data, report in CASES:
    assert model(data) == report, f"table and model disagree on {name}"
rng = random.Random(SEED)
runs = CASES + [(f"random {i} {data!r} (seed {SEED})", data, model(data))
                for i, data in enumerate(random_input(rng) for _ in range(300))]
# A run is mostly the start of a process (under an emulator, of the
# emulator too): a few at a time, so that the machine is kept busy.
with ThreadPoolExecutor(4) as pool:
    faults = sum(pool.map(lambda run: check(run[0], run[2], input=run[1]), runs), [])

# Output that cannot be written, or input that cannot be read.
read_end, write_end = os.pipe()
os.close(read_end)
with open("/dev/full", "wb") as full:
    faults += check("stdout /dev/full", None, input=b"7\n", stdout=full)
faults += check("stdout closed", None, input=b"7\n", preexec_fn=lambda: os.close(1))
faults += check("reader gone", None, input=b"7\n", stdout=write_end)
faults += check("stdin closed", NOT_FOUND, preexec_fn=lambda: os.close(0))
with tempfile.TemporaryFile() as file:
    faults += check("file size limit 0", None, input=b"7\n", stdout=file,
                    preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (0, 0)))

print("\n".join(faults) or f"ok: {len(CASES)} cases, 300 random (seed {SEED}), "
      "4 output failures, 1 input failure")
sys.exit(1 if faults else 0)
