#!/usr/bin/env python3
"""The pause in a real pseudo-terminal. A minimal job-control shell leads the
terminal's session and runs the program as its foreground job, as an
interactive shell does; the test types at the terminal and steers the shell.

usage: pause.py [--only NAME] PROGRAM [LAUNCHER ...]
"""
import fcntl
import os
import select
import signal
import sys
import tempfile
import termios
import time

ARGS = sys.argv[1:]
ONLY, ARGS = (ARGS[1], ARGS[2:]) if ARGS[:1] == ["--only"] else (None, ARGS)
COMMAND = ARGS[1:] + ARGS[:1]
PROMPT = b"ARRAY: 1;2;3;4;5;6;7;8;9;10; \r\nNumber to find: "
HEADER = PROMPT.replace(b"\r\n", b"\n")
PAUSE = b"Press any key to continue . . . "
ONE_KEY = termios.ICANON | termios.ECHO | termios.ISIG
S = signal.Signals
ENDED = ("ends", b"\r\n")

# name, steps, setup. Steps: bytes are typed, a number is a pause in seconds,
# a signal is sent to the program, the words are Session's methods.
CASES = [
    # Any key ends the pause; what was typed before it is not a key.
    ("key", [b"7\n", "pauses", b"x", ENDED]),
    ("rest-of-line", [b"7 and more\n", "pauses", b"x", ENDED]),
    ("type-ahead", [b"7\nahead\n", "pauses", b"x", ENDED]),
    # Keys that mean something else to a terminal are keys here.
    ("ctrl-c", [b"4\n", "pauses", b"\x03", ENDED]),
    ("ctrl-z", [b"4\n", "pauses", b"\x1a", ENDED]),
    ("ctrl-backslash", [b"4\n", "pauses", b"\x1c", ENDED]),
    ("ctrl-s", [b"4\n", "pauses", b"\x13", ENDED]),
    # A key or a paste in pieces is swallowed whole: nothing is left queued.
    ("escape sequence split 50 ms", [b"4\n", "pauses", b"\x1b", 0.05, b"[A", ENDED]),
    ("UTF-8 character split 50 ms", [b"4\n", "pauses", b"\xc3", 0.05, b"\xa9", ENDED]),
    ("two pasted lines 20 ms apart", [b"4\n", "pauses", b"rm x\r", 0.02, b"ls\r", ENDED]),
    ("paste ending mid-line", [b"4\n", "pauses", b"rm x\r", 0.02, b"ls", ENDED]),
    # Every signal that would end the program ends the wait as a key does.
    *[(sig.name, [b"11\n", "pauses", sig, ENDED])
      for sig in (S.SIGTERM, S.SIGHUP, S.SIGINT, S.SIGQUIT, S.SIGUSR1, S.SIGUSR2, S.SIGALRM,
                  S.SIGVTALRM, S.SIGPROF, S.SIGXCPU)],
    # Job control: the terminal is given back before a stop, taken up again
    # in the foreground, and left alone in the background.
    ("TSTP, fg", [b"7\n", "pauses", S.SIGTSTP, "given_back", "fg", "pauses", b"x", ENDED]),
    ("STOP, fg", [b"7\n", "pauses", S.SIGSTOP, "stopped", "fg", "pauses", b"x", ENDED]),
    ("TSTP, bg, TERM", [b"7\n", "pauses", S.SIGTSTP, "given_back", "bg", "waits", S.SIGTERM,
                        ("ends", b"")]),
    ("STOP, bg, INT", [b"7\n", "pauses", S.SIGSTOP, "stopped", "bg", "waits", S.SIGINT,
                       ("ends", b"")]),
    ("TSTP, bg, fg without CONT",
     [b"7\n", "pauses", S.SIGTSTP, "given_back", "bg", "waits", "give", "pauses", b"x", ENDED]),
    ("started in background, TTIN ignored",
     ["waits", "give", "pauses", b"x", ENDED], {"fg": False, "ignore": [S.SIGTTIN]}),
    # Whatever state an earlier program left the terminal in.
    ("stty min 5", [b"7\n", "pauses", b"x", ENDED], {"min": 5}),
    ("O_NONBLOCK", ["waits", b"7\n", "pauses", b"x", ENDED], {"nonblock": True}),
    ("terminal hung up, nohup", [b"7\n", "pauses", "hang_up", ("ends", None)],
     {"ignore": [S.SIGHUP]}),
    # Nothing on screen to keep readable, or no keyboard: no pause.
    ("stdout a file", [b"7\n", ("ends", b"7\r\n")], {"stdout": "file"}),
    ("stdout a pipe", [b"7\n", ("ends", b"7\r\n")], {"stdout": "pipe"}),
    ("stdin not a terminal", [("ends", b"number found.\r\n")], {"stdin": b"5\n"}),
]


def shell(tty, ctl, evt, fds, setup):
    """Leads the terminal's session and runs the program as a job, taking
    the terminal back when it stops, as bash does. Answers commands on ctl."""
    for fd in setup["close"]:
        os.close(fd)
    os.setsid()
    fcntl.ioctl(tty, termios.TIOCSCTTY, 0)
    for sig in (S.SIGTTOU, S.SIGHUP):
        signal.signal(sig, signal.SIG_IGN)
    mode = termios.tcgetattr(tty)
    pid = os.fork()
    if pid == 0:
        os.setpgid(0, 0)
        if setup.get("fg", True):
            os.tcsetpgrp(tty, os.getpid())
        for sig in (S.SIGTTOU, S.SIGHUP, S.SIGPIPE, S.SIGXFSZ, S.SIGINT):
            signal.signal(sig, signal.SIG_DFL)
        for sig in setup.get("ignore", []):
            signal.signal(sig, signal.SIG_IGN)
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
                termios.tcsetattr(tty, termios.TCSADRAIN, mode)
            else:
                reply = f"exited {os.waitstatus_to_exitcode(status)}"
        else:
            if command in ("fg", "give"):
                os.tcsetpgrp(tty, pid)
            if command in ("fg", "bg"):
                os.killpg(pid, S.SIGCONT)
            reply = f"{pid}"
        os.write(evt, reply.encode() + b"\n")


def contents(file):
    file.seek(0)
    return file.read()


class Session:
    def __init__(self, setup):
        self.master, self.tty = os.openpty()
        self.screen, self.typed, self.done, self.paused = b"", b"", False, False
        mode = termios.tcgetattr(self.tty)
        mode[6][termios.VMIN] = setup.get("min", 1)
        termios.tcsetattr(self.tty, termios.TCSANOW, mode)
        if setup.get("nonblock"):
            fcntl.fcntl(self.tty, fcntl.F_SETFL, fcntl.fcntl(self.tty, fcntl.F_GETFL) | os.O_NONBLOCK)
        self.before, self.flags = termios.tcgetattr(self.tty), fcntl.fcntl(self.tty, fcntl.F_GETFL)
        self.err = tempfile.TemporaryFile()
        fds = [self.tty, self.tty, self.err.fileno()]
        self.output = None
        if "stdin" in setup:
            self.input = fds[0] = tempfile.TemporaryFile()
            self.input.write(setup["stdin"])
            self.input.seek(0)
        if setup.get("stdout") == "file":
            self.output = fds[1] = tempfile.TemporaryFile()
        elif setup.get("stdout") == "pipe":
            self.output, fds[1] = os.pipe()
        fds = [fd if isinstance(fd, int) else fd.fileno() for fd in fds]
        ctl, self.ctl = os.pipe()
        self.evt, evt = os.pipe()
        self.shell = os.fork()
        if self.shell == 0:
            try:
                shell(self.tty, ctl, evt, fds, {**setup, "close": [self.master, self.ctl, self.evt]})
            finally:
                os._exit(0)
        os.close(ctl)
        os.close(evt)
        self.pid = int(self.ask("pid"))
        if setup.get("stdout") is None:
            self.read_until(PROMPT)

    def ask(self, command):
        os.write(self.ctl, command.encode() + b"\n")
        if not select.select([self.evt], [], [], 20)[0]:
            raise AssertionError(f"no answer to {command}")
        reply = os.read(self.evt, 100).decode().strip()
        self.done = self.done or reply.startswith("exited")
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
        assert one_key or mode == self.before, "terminal changed while not ours"

    def report(self):
        return b"number found.\n" if self.typed[:1] in (b"4", b"7") else b"number not found.\n"

    def pauses(self):
        screen = self.read_until(PAUSE)
        assert self.rest() == b"", f"shown after the pause: {self.screen!r}"
        report = self.report().replace(b"\n", b"\r\n")
        assert report in screen or self.paused, f"no report before the pause: {screen!r}"
        self.paused = True
        self.running(True)

    def waits(self):
        self.running(False)

    def stopped(self):
        assert (state := self.ask("wait")).startswith("stopped"), f"not stopped: {state}"
        return state.endswith("1")

    def given_back(self):
        assert self.stopped(), "stopped with the terminal still in one-key mode"

    def hang_up(self):
        os.close(self.master)
        self.master = None

    def ends(self, rest):
        assert (state := self.ask("wait")) == "exited 0", f"not ended with status 0: {state}"
        assert contents(self.err) == b"", "wrote to standard error"
        if self.master is None:
            return
        assert rest is None or self.rest() == rest, f"then showed {self.screen!r}, not {rest!r}"
        assert termios.tcgetattr(self.tty) == self.before, "terminal settings not restored"
        assert fcntl.fcntl(self.tty, fcntl.F_GETFL) == self.flags, "file status flags changed"
        if self.output is not None:
            out = os.read(self.output, 4096) if isinstance(self.output, int) else contents(self.output)
            assert out == HEADER + self.report(), f"output {out!r}, not the dialogue"
        # Out of line mode, a partial line in the queue can be read too.
        mode = termios.tcgetattr(self.tty)
        mode[3] &= ~termios.ICANON
        mode[6][termios.VMIN], mode[6][termios.VTIME] = 0, 0
        termios.tcsetattr(self.tty, termios.TCSANOW, mode)
        try:
            left = os.read(self.tty, 4096)
        except BlockingIOError:
            left = b""
        termios.tcsetattr(self.tty, termios.TCSANOW, self.before)
        assert left == b"", f"left for the next program: {left!r}"

    def close(self):
        if not self.done:
            os.kill(self.pid, S.SIGKILL)
            self.ask("wait")
        os.close(self.ctl)
        os.waitpid(self.shell, 0)
        for fd in (self.master, self.tty, self.evt, self.output):
            if isinstance(fd, int):
                os.close(fd)


def run(steps, setup):
    session = Session(setup)
    try:
        for step in steps:
            if isinstance(step, bytes):
                session.typed = session.typed or step
                os.write(session.master, step)
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


for fd in range(3):  # the descriptors the terminal must not take
    try:
        os.fstat(fd)
    except OSError:
        os.open(os.devnull, os.O_RDWR)
failed = 0
for name, steps, *setup in CASES:
    if ONLY and name != ONLY:
        continue
    try:
        run(steps, setup[0] if setup else {})
        print(f"ok   {name}")
    except AssertionError as fault:
        failed += 1
        print(f"FAIL {name}: {fault}")
sys.exit(1 if failed else 0)
