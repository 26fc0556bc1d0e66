#!/usr/bin/env python3
"""The pause in a real pseudo-terminal that is the program's controlling
terminal, and the lack of one when standard input is not a terminal.

usage: pause.py PROGRAM
"""
import fcntl
import os
import select
import signal
import subprocess
import sys
import termios
import time

PROGRAM = sys.argv[1]
PROMPT = b"ARRAY: 1;2;3;4;5;6;7;8;9;10; \r\nNumber to find: "
PAUSE = b"Press any key to continue . . . "
RAW = termios.ICANON | termios.ECHO | termios.ISIG

# name, typed at the prompt, what ends the pause (bytes typed or a signal)
CASES = [
    ("key", b"7\n", b"x"),
    ("rest-of-line", b"7 and more\n", b"x"),
    ("type-ahead", b"7\nahead\n", b"x"),
    ("ctrl-c", b"4\n", b"\x03"),
    ("ctrl-z", b"4\n", b"\x1a"),
    ("ctrl-backslash", b"4\n", b"\x1c"),
    ("sigterm", b"11\n", signal.SIGTERM),
    ("sighup", b"11\n", signal.SIGHUP),
    ("sigint", b"11\n", signal.SIGINT),
]


def controlling_tty():
    os.setsid()
    fcntl.ioctl(1, termios.TIOCSCTTY, 0)


def read_until(fd, want, seconds=10):
    seen = b""
    deadline = time.monotonic() + seconds
    while want not in seen:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise AssertionError(f"timed out waiting for {want!r}; saw {seen!r}")
        seen += os.read(fd, 4096)
    return seen


def run(name, line, action):
    master, slave = os.openpty()
    before = termios.tcgetattr(slave)
    proc = subprocess.Popen([PROGRAM], stdin=slave, stdout=slave, stderr=subprocess.PIPE,
                            preexec_fn=controlling_tty)
    try:
        assert read_until(master, PROMPT).endswith(PROMPT), "prompt is not the last thing shown"
        os.write(master, line)
        screen = read_until(master, PAUSE)
        report = b"number found.\r\n" if line[:1] in b"47" else b"number not found.\r\n"
        assert screen.endswith(report + PAUSE), f"report missing before the pause: {screen!r}"
        time.sleep(0.3)
        assert proc.poll() is None, "did not wait at the pause"
        assert termios.tcgetattr(slave)[3] & RAW == 0, "terminal not in one-key mode while waiting"
        if isinstance(action, bytes):
            os.write(master, action)
        else:
            proc.send_signal(action)
        assert proc.wait(timeout=10) == 0, f"exit status {proc.returncode}"
        assert read_until(master, b"\r\n", 5) == b"\r\n", "the pause line was not ended"
        assert proc.stderr.read() == b"", "wrote to standard error"
        assert termios.tcgetattr(slave) == before, "terminal settings not restored"
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        proc.stderr.close()
        os.close(master)
        os.close(slave)


def run_not_a_terminal():
    # `echo 5 | binsearch` typed at a terminal: output on the terminal, no wait.
    master, slave = os.openpty()
    try:
        proc = subprocess.run([PROGRAM], input=b"5\n", stdout=slave, stderr=subprocess.PIPE,
                              preexec_fn=controlling_tty, timeout=10)
        assert proc.returncode == 0 and proc.stderr == b""
        out = os.read(master, 4096)
        assert out == PROMPT + b"number found.\r\n", f"unexpected output {out!r}"
    finally:
        os.close(master)
        os.close(slave)


failed = 0
for case in CASES + [("stdin-not-a-terminal",)]:
    try:
        run(*case) if len(case) > 1 else run_not_a_terminal()
        print(f"ok   {case[0]}")
    except (AssertionError, subprocess.TimeoutExpired) as fault:
        failed += 1
        print(f"FAIL {case[0]}: {fault}")
sys.exit(1 if failed else 0)
