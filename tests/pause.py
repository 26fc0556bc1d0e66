#!/usr/bin/env python3
"""The pause in a real pseudo-terminal. A minimal job-control shell leads the
terminal's session and runs the program as its foreground job, as an
interactive shell does; the test types at the terminal and steers the shell.

usage: pause.py [--only NAME] PROGRAM [LAUNCHER ...]
"""
import argparse
import ctypes
import fcntl
import os
import select
import signal
import sys
import tempfile
import termios
import time

PROMPT = b"ARRAY: 1;2;3;4;5;6;7;8;9;10; \r\nNumber to find: "
HEADER = PROMPT.replace(b"\r\n", b"\n")
PAUSE = b"Press any key to continue . . . "
ONE_KEY = termios.ICANON | termios.ECHO | termios.ISIG
S = signal.Signals
ENDED = ("ends", b"\r\n")
FOUND, NOT_FOUND = b"number found.\n", b"number not found.\n"

# name, report, steps, setup. Steps: bytes are typed, a number is a pause in
# seconds, a signal is sent to the program, the words are Session's methods.
CASES = [
    # Any key ends the pause; what was typed before it is not a key.
    ("key", FOUND, [b"7\n", "pauses", b"x", ENDED]),
    ("rest-of-line", FOUND, [b"7 and more\n", "pauses", b"x", ENDED]),
    ("type-ahead", FOUND, [b"7\nahead\n", "pauses", b"x", ENDED]),
    # Keys that mean something else to a terminal are keys here.
    ("ctrl-c", FOUND, [b"4\n", "pauses", b"\x03", ENDED]),
    ("ctrl-z", FOUND, [b"4\n", "pauses", b"\x1a", ENDED]),
    ("ctrl-backslash", FOUND, [b"4\n", "pauses", b"\x1c", ENDED]),
    ("ctrl-s", FOUND, [b"4\n", "pauses", b"\x13", ENDED]),
    # A key or a paste in pieces is swallowed whole: nothing is left queued.
    ("escape sequence split 50 ms", FOUND, [b"4\n", "pauses", b"\x1b", 0.05, b"[A", ENDED]),
    ("UTF-8 character split 50 ms", FOUND, [b"4\n", "pauses", b"\xc3", 0.05, b"\xa9", ENDED]),
    ("two pasted lines 20 ms apart", FOUND, [b"4\n", "pauses", b"rm x\r", 0.02, b"ls\r", ENDED]),
    ("paste ending mid-line", FOUND, [b"4\n", "pauses", b"rm x\r", 0.02, b"ls", ENDED]),
    # A key that another reader takes is not a key: the wait goes on. The
    # reader wins a race for each key, so the case is run until it has won
    # five times.
    ("key taken by another reader, TERM", FOUND,
     [b"7\n", "pauses", "steal", S.SIGTERM, ENDED], {"thief": True, "wins": 5}),
    # Every signal that would end the program ends the wait as a key does.
    *[(sig.name, NOT_FOUND, [b"11\n", "pauses", sig, ENDED])
      for sig in (S.SIGTERM, S.SIGHUP, S.SIGINT, S.SIGQUIT, S.SIGUSR1, S.SIGUSR2, S.SIGALRM,
                  S.SIGVTALRM, S.SIGPROF, S.SIGXCPU)],
    # Job control: the line is ended and the terminal given back before a
    # stop, both taken up again in the foreground, and nothing touched in the
    # background, also when the program ends there.
    ("TSTP, fg", FOUND, [b"7\n", "pauses", S.SIGTSTP, "given_back", "fg", "pauses", b"x", ENDED]),
    ("TTIN, fg", FOUND, [b"7\n", "pauses", S.SIGTTIN, "given_back", "fg", "pauses", b"x", ENDED]),
    ("STOP, fg", FOUND, [b"7\n", "pauses", S.SIGSTOP, "stopped", "fg", "pauses", b"x", ENDED]),
    ("STOP, fg, shell keeps the mode", FOUND,
     [b"7\n", "pauses", S.SIGSTOP, "stopped", "fg", "pauses", b"x", ENDED], {"keep_mode": True}),
    ("TSTP, bg, TERM", FOUND,
     [b"7\n", "pauses", S.SIGTSTP, "given_back", "bg", "waits", S.SIGTERM, ("ends", b"")]),
    ("STOP, bg, INT", FOUND, [b"7\n", "pauses", S.SIGSTOP, "stopped", "bg", "waits", S.SIGINT,
                              ("ends", b"")]),
    ("STOP, kill %1 (TERM, then CONT in the background)", FOUND,
     [b"7\n", "pauses", S.SIGSTOP, "stopped", S.SIGTERM, "bg", ("ends", b"")]),
    ("TSTP, bg, fg without CONT", FOUND,
     [b"7\n", "pauses", S.SIGTSTP, "given_back", "bg", "waits", "give", "pauses", b"x", ENDED]),
    ("started in background, TTIN ignored", NOT_FOUND,
     ["waits", "give", "pauses", b"x", ENDED], {"fg": False, "ignore": [S.SIGTTIN]}),
    ("STOP, bg, the shell exits", FOUND,
     [b"7\n", "pauses", S.SIGSTOP, "stopped", "bg", "waits", "exit", ("ends", b"")],
     {"inner": True}),
    # Whatever state an earlier program left the terminal in.
    ("stty min 5", FOUND, [b"7\n", "pauses", b"x", ENDED], {"min": 5}),
    ("O_NONBLOCK", FOUND, ["waits", b"7\n", "pauses", b"x", ENDED], {"nonblock": True}),
    ("terminal hung up, nohup", FOUND, [b"7\n", "pauses", "hang_up", ("ends", None)],
     {"ignore": [S.SIGHUP]}),
    # Nothing on screen to keep readable, or a keyboard that is not this
    # session's: no pause, and the terminal is left alone.
    ("stdout a file", FOUND, [b"7\n", ("ends", b"7\r\n")], {"stdout": "file"}),
    ("stdout a pipe", FOUND, [b"7\n", ("ends", b"7\r\n")], {"stdout": "pipe"}),
    ("stdin not a terminal", FOUND, [("ends", b"number found.\r\n")], {"stdin": b"5\n"}),
    ("stdin a non-blocking pipe", FOUND, [("ends", b"number found.\r\n")], {"pipe": b"5\n"}),
    ("stdin another terminal", FOUND, [b"7\n", ("ends", b"number found.\r\n")],
     {"other_tty": True}),
    ("a session of its own on the terminal", FOUND,
     [b"7\n", ("ends", b"7\r\nnumber found.\r\n")], {"setsid": True}),
]


def shell(tty, ctl, evt, fds, setup):
    """Leads the terminal's session and runs the program as a job, taking
    the terminal back when it stops and setting a mode of its own, as bash
    does. Answers commands on ctl. With "inner", an inner shell runs the job
    and can exit, leaving the outer one to take the terminal back."""
    for fd in setup["close"]:
        os.close(fd)
    os.setsid()
    fcntl.ioctl(tty, termios.TIOCSCTTY, 0)
    for sig in (S.SIGTTOU, S.SIGHUP):
        signal.signal(sig, signal.SIG_IGN)
    if setup.get("inner") and os.fork():
        os.wait()
        os.tcsetpgrp(tty, os.getpgrp())
        os.read(ctl, 1)  # keeps the session until the test is done
        return
    if setup.get("inner"):
        os.setpgid(0, 0)
        os.tcsetpgrp(tty, os.getpid())
    mode = termios.tcgetattr(tty)
    pid = os.fork()
    if pid == 0:
        if setup.get("setsid"):
            os.setsid()
        else:
            os.setpgid(0, 0)
        if setup.get("fg", True) and not setup.get("setsid"):
            os.tcsetpgrp(tty, os.getpid())
        for sig in (S.SIGTTOU, S.SIGHUP, S.SIGPIPE, S.SIGXFSZ, S.SIGINT):
            signal.signal(sig, signal.SIG_DFL)
        for sig in setup.get("ignore", []):
            signal.signal(sig, signal.SIG_IGN)
        if setup.get("thief") and os.fork() == 0:
            steal(*setup["thief"])
        for target, fd in zip(fds, range(3)):
            os.dup2(target, fd)
        os.closerange(3, 256)
        os.execvp(COMMAND[0], COMMAND)
    for command in os.fdopen(ctl):
        command = command.strip()
        if command in ("wait", "poll"):
            done, status = os.waitpid(pid, os.WUNTRACED | (os.WNOHANG if command == "poll" else 0))
            if done == 0:
                reply = "running"
            elif os.WIFSTOPPED(status):
                reply = f"stopped {int(termios.tcgetattr(tty) == mode)}"
                os.tcsetpgrp(tty, os.getpgrp())
                if not setup.get("keep_mode"):
                    termios.tcsetattr(tty, termios.TCSADRAIN, shell_mode(mode))
            else:
                reply = f"exited {os.waitstatus_to_exitcode(status)}"
        else:
            if command in ("fg", "give"):
                os.tcsetpgrp(tty, pid)
            if command in ("fg", "bg"):
                os.killpg(pid, S.SIGCONT)
            reply = f"{pid}"
        os.write(evt, reply.encode() + b"\n")
        if command == "exit":
            return


def shell_mode(mode):
    """The mode the shell sets at its prompt: not the job's, so that a job
    that sets the terminal from the background is seen."""
    return mode[:3] + [mode[3] ^ termios.ECHOCTL] + mode[4:]


def steal(go, loot):
    """A second reader in the job's group, on a descriptor of its own: told
    to, it takes the next key typed and hands it on."""
    tty = os.open("/dev/tty", os.O_RDONLY | os.O_NONBLOCK)
    if os.read(go, 1):
        os.write(loot, b"ready")
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline:
            try:
                os.write(loot, os.read(tty, 64))
                break
            except BlockingIOError:
                pass
    os._exit(0)


def contents(file):
    file.seek(0)
    return file.read()


class Retry(Exception):
    """The program took the key before the other reader could: it was its
    to take, but the case wants the other reader to win the race."""


class Session:
    def __init__(self, report, setup):
        self.master, self.tty = os.openpty()
        self.keyboard, self.report = self.master, report
        self.screen, self.done, self.paused, self.orphan = b"", False, False, False
        mode = termios.tcgetattr(self.tty)
        mode[6][termios.VMIN] = setup.get("min", 1)
        termios.tcsetattr(self.tty, termios.TCSANOW, mode)
        if setup.get("nonblock"):
            fcntl.fcntl(self.tty, fcntl.F_SETFL, fcntl.fcntl(self.tty, fcntl.F_GETFL) | os.O_NONBLOCK)
        self.before = self.expected = termios.tcgetattr(self.tty)
        self.err = tempfile.TemporaryFile()
        fds = [self.tty, self.tty, self.err.fileno()]
        self.output = self.input = None
        if "stdin" in setup:
            self.input = fds[0] = tempfile.TemporaryFile()
            self.input.write(setup["stdin"])
            self.input.seek(0)
        elif "pipe" in setup:
            fds[0], writer = os.pipe()
            os.write(writer, setup["pipe"])
            os.close(writer)
            fcntl.fcntl(fds[0], fcntl.F_SETFL, os.O_NONBLOCK)
        elif setup.get("other_tty"):
            self.keyboard, fds[0] = os.openpty()
        if setup.get("stdout") == "file":
            self.output = fds[1] = tempfile.TemporaryFile()
        elif setup.get("stdout") == "pipe":
            self.output, fds[1] = os.pipe()
        fds = [fd if isinstance(fd, int) else fd.fileno() for fd in fds]
        # Every descriptor the program is given keeps its status flags, and
        # every terminal its mode and an empty input queue.
        self.kept = {fd: (termios.tcgetattr(fd) if os.isatty(fd) else None,
                          fcntl.fcntl(fd, fcntl.F_GETFL)) for fd in fds[:2]}
        ctl, self.ctl = os.pipe()
        self.evt, evt = os.pipe()
        go, self.go = os.pipe()
        self.loot, loot = os.pipe()
        close = [self.master, self.ctl, self.evt, self.go, self.loot, self.keyboard]
        setup = {**setup, "close": set(close), "thief": setup.get("thief") and (go, loot)}
        self.keep_mode = setup.get("keep_mode")
        self.shell = os.fork()
        if self.shell == 0:
            try:
                shell(self.tty, ctl, evt, fds, setup)
            finally:
                os._exit(0)
        for fd in (ctl, evt, go, loot):
            os.close(fd)
        self.pid = int(self.ask("pid"))
        if setup.get("stdout") is None:
            self.read_until(PROMPT)

    def ask(self, command):
        os.write(self.ctl, command.encode() + b"\n")
        if not select.select([self.evt], [], [], 20)[0]:
            raise AssertionError(f"no answer to {command}")
        reply = os.read(self.evt, 100).decode().strip()
        self.done = self.done or reply.startswith("exited")
        if command in ("fg", "give"):
            self.expected = self.before  # the program restores it when it ends
        return reply

    def read_until(self, want, seconds=10):
        deadline = time.monotonic() + seconds
        while want not in self.screen:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                raise AssertionError(f"timed out waiting for {want!r}; saw {self.screen!r}")
            self.screen += os.read(self.master, 4096)
        seen, self.screen = self.screen.partition(want)[::2]
        return seen + want

    def rest(self):
        while select.select([self.master], [], [], 0.1)[0]:
            self.screen += os.read(self.master, 4096)
        return self.screen

    def running(self, one_key):
        time.sleep(0.3)
        assert (state := self.ask("poll")) == "running", f"not waiting: {state}"
        mode = termios.tcgetattr(self.tty)
        assert (mode[3] & ONE_KEY == 0) == one_key, f"one-key mode is {not one_key}"
        assert one_key or mode == self.expected, "terminal changed while not ours"

    def pauses(self):
        screen = self.read_until(PAUSE)
        assert self.rest() == b"", f"shown after the pause: {self.screen!r}"
        report = self.report.replace(b"\n", b"\r\n")
        assert report in screen or self.paused, f"no report before the pause: {screen!r}"
        self.paused = True
        self.running(True)

    def waits(self):
        self.running(False)

    def stopped(self):
        assert (state := self.ask("wait")).startswith("stopped"), f"not stopped: {state}"
        if not self.keep_mode:
            self.expected = shell_mode(self.before)
        return state.endswith("1")

    def given_back(self):
        assert self.stopped(), "stopped with the terminal still in one-key mode"
        assert self.rest() == b"\r\n", f"pause line not ended before the stop: {self.screen!r}"
        self.screen = b""

    def steal(self):
        """The other reader takes the next key. If the program wins the race
        instead, the key was its to take, and the case is run again."""
        os.write(self.go, b"!")
        assert select.select([self.loot], [], [], 5)[0] and os.read(self.loot, 5) == b"ready"
        os.write(self.master, b"x")
        if not select.select([self.loot], [], [], 1)[0]:
            self.ends(b"\r\n")
            raise Retry
        assert os.read(self.loot, 64) == b"x", "the other reader got something else"
        self.running(True)

    def exit(self):
        self.ask("exit")
        self.orphan = True  # the program is now this process's child

    def hang_up(self):
        os.close(self.master)
        self.master = self.keyboard = None

    def reap(self):
        """Waits for the orphaned program, once it has been handed to us."""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                done, status = os.waitpid(self.pid, os.WNOHANG)
                if done:
                    self.done = True
                    return f"exited {os.waitstatus_to_exitcode(status)}"
            except ChildProcessError:
                pass  # its shell is still on its way out
            time.sleep(0.05)
        return "running"

    def ends(self, rest):
        state = self.reap() if self.orphan else self.ask("wait")
        assert state == "exited 0", f"not ended with status 0: {state}"
        assert contents(self.err) == b"", "wrote to standard error"
        if self.master is None:
            return
        assert rest is None or self.rest() == rest, f"then showed {self.screen!r}, not {rest!r}"
        for fd, (mode, flags) in self.kept.items():
            assert fcntl.fcntl(fd, fcntl.F_GETFL) == flags, "file status flags changed"
            if mode is None:
                continue
            mode = self.expected if fd == self.tty else mode
            assert termios.tcgetattr(fd) == mode, f"settings of terminal {fd} not as they were"
            # Out of line mode, a partial line in the queue can be read too.
            raw = termios.tcgetattr(fd)
            raw[3] &= ~termios.ICANON
            raw[6][termios.VMIN], raw[6][termios.VTIME] = 0, 0
            termios.tcsetattr(fd, termios.TCSANOW, raw)
            try:
                left = os.read(fd, 4096)
            except BlockingIOError:
                left = b""
            termios.tcsetattr(fd, termios.TCSANOW, mode)
            assert left == b"", f"left for the next program: {left!r}"
        if self.output is not None:
            out = os.read(self.output, 4096) if isinstance(self.output, int) else contents(self.output)
            assert out == HEADER + self.report, f"output {out!r}, not the dialogue"

    def close(self):
        if not self.done:
            os.kill(self.pid, S.SIGKILL)
            self.reap() if self.orphan else self.ask("wait")
        os.close(self.ctl)
        os.waitpid(self.shell, 0)
        files = {file.fileno() for file in (self.err, self.input, self.output) if hasattr(file, "fileno")}
        for fd in {self.master, self.tty, self.keyboard, self.evt, self.go, self.loot, self.output,
                   *self.kept} - files:
            if isinstance(fd, int):
                os.close(fd)
        while True:  # orphans handed to this process: the other reader, say
            try:
                if os.waitpid(-1, os.WNOHANG)[0] == 0:
                    break
            except ChildProcessError:
                break


def run(report, steps, setup):
    session = Session(report, setup)
    try:
        for step in steps:
            if isinstance(step, bytes):
                os.write(session.keyboard, step)
            elif isinstance(step, float):
                time.sleep(step)
            elif isinstance(step, S):
                os.kill(session.pid, step)
            elif isinstance(step, tuple):
                getattr(session, step[0])(step[1])
            elif step in ("fg", "bg", "give"):
                session.ask(step)
            else:
                getattr(session, step)()
    finally:
        session.close()


parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
parser.add_argument("--only", metavar="NAME", help="run only the case of this name")
parser.add_argument("program")
parser.add_argument("launcher", nargs=argparse.REMAINDER, help="an emulator to run it under")
options = parser.parse_args()
if options.only and options.only not in (names := [case[0] for case in CASES]):
    parser.error(f"no case named {options.only!r}; the cases are:\n  " + "\n  ".join(names))
COMMAND = options.launcher + [options.program]

for fd in range(3):  # the descriptors the terminal must not take
    try:
        os.fstat(fd)
    except OSError:
        os.open(os.devnull, os.O_RDWR)
# Orphaned processes come to this one, to be waited for.
ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
failed = 0
for name, report, steps, *setup in CASES:
    if options.only and name != options.only:
        continue
    try:
        setup = setup[0] if setup else {}
        wins = 0
        for attempt in range(20):
            try:
                run(report, steps, setup)
                wins += 1
            except Retry:
                pass
            if wins == setup.get("wins", 1):
                break
        else:
            raise AssertionError(f"the other reader won only {wins} times in 20")
        print(f"ok   {name}")
    except AssertionError as fault:
        failed += 1
        print(f"FAIL {name}: {fault}")
sys.exit(1 if failed else 0)
