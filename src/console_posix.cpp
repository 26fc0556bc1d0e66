// The console on POSIX systems. The shell has no "Pause", so the program
// does its job itself: a few states, each a function that returns the next.
#include "console.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <string_view>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#if __has_include(<sys/prctl.h>)
#include <sys/prctl.h>
#endif
#if __has_include(<sys/procctl.h>)
#include <sys/procctl.h>
#endif

namespace {

using namespace std::chrono_literals;

constexpr std::string_view pause_text = "Press any key to continue . . . ";

// Bytes that follow the key within rest_of_key are the rest of it (an
// escape sequence, a UTF-8 character) or of a paste: ours to swallow, not
// the next program's; a steady stream is cut off after paste_limit. A wait
// looks this often whether the terminal is still ours, since a shell whose
// job lost its parent takes the terminal back without a word to us.
constexpr auto rest_of_key = 100ms;
constexpr auto paste_limit = 2s;
constexpr auto look_again = 1s;

// What each signal does to the wait. Every signal whose default action
// ends the process ends the wait instead, as a key does, so that the
// terminal is never left in one-key mode: the system's whole set, real-time
// signals included. Job control is followed, and SIGTTOU makes a change of
// the terminal from the background fail instead of stopping us. Left alone:
// what cannot be caught, what reports a fault of the program itself, and
// what is ignored by default.
enum class Does { ends, stops, continues, fails_a_call, nothing };

using Role = std::pair<int, Does>; // a signal, and what it does

constexpr Role roles[] = {
    {SIGTSTP, Does::stops},        {SIGTTIN, Does::stops},   {SIGCONT, Does::continues},
    {SIGTTOU, Does::fails_a_call}, {SIGKILL, Does::nothing}, {SIGSTOP, Does::nothing},
    {SIGSEGV, Does::nothing},      {SIGBUS, Does::nothing},  {SIGFPE, Does::nothing},
    {SIGILL, Does::nothing},       {SIGTRAP, Does::nothing}, {SIGABRT, Does::nothing},
    {SIGSYS, Does::nothing},       {SIGCHLD, Does::nothing}, {SIGURG, Does::nothing},
    {SIGWINCH, Does::nothing},
#ifdef SIGINFO
    {SIGINFO, Does::nothing},
#endif
#ifdef SIGTHR
    {SIGTHR, Does::nothing},
#endif
#ifdef SIGLIBRT
    {SIGLIBRT, Does::nothing},
#endif
};

Does what_it_does(int signo)
{
    const auto *const role = std::find_if(std::begin(roles), std::end(roles),
                                          [signo](const Role &one) { return one.first == signo; });
    return role == std::end(roles) ? Does::ends : role->second;
}

// Set by the handler, taken by noted() alone.
volatile std::sig_atomic_t ending = 0;      // a signal that ends the wait came
volatile std::sig_atomic_t stop_signal = 0; // a stop signal came: stop once given back
volatile std::sig_atomic_t continued = 0;   // SIGCONT came: the job was stopped, ours or not

extern "C" void on_signal(int signo)
{
    const Does does = what_it_does(signo);
    if (does == Does::ends)
        ending = 1;
    else if (does == Does::stops)
        stop_signal = signo;
    else if (does == Does::continues)
        continued = 1;
}

// The pause's states, each a function below that returns the next one;
// `none`: nothing noted, the state goes on.
enum class Next { foreground, background, stop, end, none };

struct Pause {
    int tty;            // a descriptor of our own: non-blocking, whatever stdin's flags
    bool held;          // the terminal has been ours: mode_found read, the text shown
    termios mode_found; // its mode when the pause first held it, to be given back
    termios mode_set;   // the one-key mode, as the terminal holds it
    int stop_by;        // the stop signal taken, to stop with
    sigset_t caught;    // the signals whose handler is ours
    sigset_t wait_mask; // the caller's mask: caught signals come in only while waiting
    struct sigaction previous[NSIG];
};

sigset_t just(int signo)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    return set;
}

// Output that cannot be written is no reason to stop waiting.
void say(std::string_view text)
{
    const ssize_t written = write(STDOUT_FILENO, text.data(), text.size());
    static_cast<void>(written);
}

// Waits up to the limit for input on the terminal, letting signals in.
int wait_for(const Pause &pause, std::chrono::nanoseconds limit)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(pause.tty, &readable);
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(limit);
    const timespec wait = {static_cast<time_t>(whole.count()),
                           static_cast<long>((limit - whole).count())};
    return pselect(pause.tty + 1, &readable, nullptr, nullptr, &wait, &pause.wait_mask);
}

bool terminal_ours(const Pause &pause)
{
    return tcgetpgrp(pause.tty) == getpgrp();
}

// The state the terminal puts us in: its foreground is ours to wait in, its
// background the shell's, and a terminal that is gone (hung up, or no longer
// our session's) ends the pause.
Next where_now(const Pause &pause)
{
    if (terminal_ours(pause))
        return Next::foreground;
    return tcgetpgrp(pause.tty) < 0 ? Next::end : Next::background;
}

// What the handler noted, taken: an end before a stop. A continue, after a
// stop of ours or one we did not see (SIGSTOP), sends us wherever the shell
// put us, to take the terminal up again or to stop for it.
Next noted(Pause &pause)
{
    if (ending != 0)
        return Next::end;
    const bool was_continued = continued != 0;
    continued = 0;
    if (stop_signal != 0) {
        pause.stop_by = stop_signal;
        stop_signal = 0;
        return Next::stop;
    }
    return was_continued ? where_now(pause) : Next::none;
}

void swallow_rest(const Pause &pause)
{
    const auto deadline = std::chrono::steady_clock::now() + paste_limit;
    char rest[256];
    while (ending == 0 && std::chrono::steady_clock::now() < deadline &&
           wait_for(pause, rest_of_key) > 0) {
        if (read(pause.tty, rest, sizeof rest) <= 0)
            break;
    }
}

// Reads what the wait saw: a key, swallowed with the rest of it, or the
// end of the input (a terminal hung up) ends the wait. The descriptor is
// non-blocking: nothing to read means that another reader took the key,
// which was not ours then; a read that fails took nothing either, and the
// wait looks again where the terminal is.
bool input_ends_wait(const Pause &pause)
{
    char key[64];
    const ssize_t got = read(pause.tty, key, sizeof key);
    if (got > 0)
        swallow_rest(pause);
    return got >= 0;
}

// Waits in the foreground until a key, a signal, or the terminal changes hands.
Next wait_for_key(Pause &pause)
{
    for (;;) {
        const Next next = noted(pause);
        if (next != Next::none)
            return next;
        if (!terminal_ours(pause))
            return where_now(pause);
        const int ready = wait_for(pause, look_again);
        if ((ready < 0 && errno != EINTR) || (ready > 0 && input_ends_wait(pause)))
            return Next::end;
    }
}

bool same_mode(const termios &one, const termios &other)
{
    return one.c_iflag == other.c_iflag && one.c_oflag == other.c_oflag &&
           one.c_cflag == other.c_cflag && one.c_lflag == other.c_lflag &&
           std::equal(std::begin(one.c_cc), std::end(one.c_cc), std::begin(other.c_cc));
}

// Takes the terminal for one key and shows the text, in the foreground
// only: set from the background, the terminal would stop the whole job
// with SIGTTOU. The mode to give back is read the first time the terminal
// is ours, not before: in the background it is the shell's. TCSAFLUSH: what
// was typed before (the rest of the number's line, keys typed while we were
// stopped) is not a key. One key is enough whatever VMIN the terminal had,
// Ctrl-C, Ctrl-Z and Ctrl-S are keys too, and so is Enter under IGNCR.
bool take(Pause &pause)
{
    if (!terminal_ours(pause) || (!pause.held && tcgetattr(pause.tty, &pause.mode_found) != 0))
        return false;
    termios one_key = pause.mode_found;
    one_key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    one_key.c_iflag &= ~static_cast<tcflag_t>(IXON | IGNCR);
    one_key.c_cc[VMIN] = 1;
    one_key.c_cc[VTIME] = 0;
    // EINTR: SIGTTOU, the shell took the terminal in between.
    if (tcsetattr(pause.tty, TCSAFLUSH, &one_key) != 0 ||
        tcgetattr(pause.tty, &pause.mode_set) != 0)
        return false;
    if (pause.held)
        say("\r"); // over the text left by the last spell, or on the line the shell left
    say(pause_text);
    pause.held = true;
    return true;
}

// Whether the terminal still holds exactly the mode we set: any other was
// set since by someone else, and is theirs.
bool mode_still_ours(const Pause &pause)
{
    termios now = {};
    return pause.held && tcgetattr(pause.tty, &now) == 0 && same_mode(now, pause.mode_set);
}

// Undoes the pause's change wherever it ends or stops, if the terminal
// still holds our mode. In the foreground the line is ended first, and
// SIGTTOU stays caught: should the shell take the terminal in between, the
// call fails rather than undo the mode the shell sets. From the background
// (dash takes the terminal without setting a mode) the mode is looked at
// again and put back with SIGTTOU blocked, so that it cannot stop the job.
void give_back(const Pause &pause)
{
    if (!mode_still_ours(pause))
        return;
    if (terminal_ours(pause)) {
        say("\n"); // still in one-key mode, so Ctrl-S cannot hold it
        if (tcsetattr(pause.tty, TCSAFLUSH, &pause.mode_found) == 0)
            return;
    }
    const sigset_t ttou = just(SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, nullptr);
    if (mode_still_ours(pause))
        tcsetattr(pause.tty, TCSANOW, &pause.mode_found);
    sigprocmask(SIG_UNBLOCK, &ttou, nullptr);
}

// One spell at the keyboard: take the terminal and wait.
Next foreground_spell(Pause &pause)
{
    if (!take(pause)) {
        const Next where = where_now(pause);
        return where == Next::foreground ? Next::end : where; // a terminal we cannot set
    }
    return wait_for_key(pause);
}

// Stops `whom` (ourselves, or with 0 our whole job) as the signal would, the
// terminal given back, and comes back on SIGCONT to wherever the shell put
// us. The kernel does not stop a group that no shell can bring back (an
// orphaned one: its shell has exited, or we lead a session of our own) and
// discards the signal: then no SIGCONT comes, and the pause ends. What else
// came meanwhile (kill %1 sends TERM, then CONT) is let in.
Next stop(Pause &pause, int signo, pid_t whom)
{
    give_back(pause);
    struct sigaction fallback = {};
    struct sigaction ours = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signo, &fallback, &ours);
    const sigset_t only = just(signo);
    (void)kill(whom, signo); // held pending until unblocked here
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    sigprocmask(SIG_BLOCK, &only, nullptr);
    sigaction(signo, &ours, nullptr);
    sigset_t blocked; // what came meanwhile, let in for the handler to note
    sigprocmask(SIG_SETMASK, &pause.wait_mask, &blocked);
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
    const Next next = noted(pause);
    return next == Next::none ? Next::end : next;
}

// In the background the terminal is the shell's: nothing is read, written
// or set there but our own mode given back. The job stops for input as a
// read would make it, so that fg brings it back; where SIGTTIN is ignored,
// such a read fails at once, and so does the pause.
Next background(Pause &pause)
{
    if (sigismember(&pause.caught, SIGTTIN) != 1)
        return Next::end;
    return stop(pause, SIGTTIN, 0);
}

void run(Pause &pause)
{
    Next next = where_now(pause);
    while (next != Next::end) {
        if (next == Next::foreground)
            next = foreground_spell(pause);
        else if (next == Next::background)
            next = background(pause);
        else
            next = stop(pause, pause.stop_by, getpid());
    }
    give_back(pause);
}

// The signals to catch: those that do something to the wait, but not those
// the caller ignored (nohup), and not those the system keeps for itself
// (sigaction refuses them). SIGCONT and SIGTTOU are caught always.
void choose_signals(Pause &pause)
{
    sigemptyset(&pause.caught);
    for (int signo = 1; signo < NSIG; signo++) {
        const Does does = what_it_does(signo);
        if (does == Does::nothing || sigaction(signo, nullptr, &pause.previous[signo]) != 0)
            continue;
        if (pause.previous[signo].sa_handler != SIG_IGN || does == Does::continues ||
            does == Does::fails_a_call)
            sigaddset(&pause.caught, signo);
    }
}

// Asks for `signo` when our parent dies (0: no longer), where the system
// can tell at once; elsewhere the wait's look at the terminal notices.
void signal_parent_death(int signo)
{
#ifdef PR_SET_PDEATHSIG
    (void)prctl(PR_SET_PDEATHSIG, signo);
#endif
#ifdef PROC_PDEATHSIG_CTL
    (void)procctl(P_PID, 0, PROC_PDEATHSIG_CTL, &signo);
#endif
}

// Blocks the caught signals, to be let in only while waiting, and catches
// them without SA_RESTART, so that a signal ends the wait. SIGTTOU is never
// blocked but to give our mode back: caught, it makes a tcsetattr from the
// background fail instead of stopping us. A parent's death hangs us up: a
// shell that does not see the program go takes the terminal back at once.
void catch_signals(Pause &pause)
{
    choose_signals(pause);
    sigset_t blocked = pause.caught;
    sigdelset(&blocked, SIGTTOU);
    sigprocmask(SIG_BLOCK, &blocked, &pause.wait_mask);
    const sigset_t ttou = just(SIGTTOU);
    sigprocmask(SIG_UNBLOCK, &ttou, nullptr);
    struct sigaction ours = {};
    ours.sa_handler = on_signal;
    sigemptyset(&ours.sa_mask);
    for (int signo = 1; signo < NSIG; signo++) {
        if (sigismember(&pause.caught, signo) == 1)
            sigaction(signo, &ours, nullptr);
    }
    if (sigismember(&pause.caught, SIGHUP) == 1) {
        const pid_t parent = getppid();
        signal_parent_death(SIGHUP);
        if (getppid() != parent)
            (void)raise(SIGHUP);
    }
}

// Unblocks while our handlers are still in place, so that a signal that came
// after the wait is absorbed rather than fatal, then puts everything back.
void release_signals(const Pause &pause)
{
    signal_parent_death(0);
    sigprocmask(SIG_SETMASK, &pause.wait_mask, nullptr);
    for (int signo = 1; signo < NSIG; signo++) {
        if (sigismember(&pause.caught, signo) == 1)
            sigaction(signo, &pause.previous[signo], nullptr);
    }
}

} // namespace

Console prepare_console()
{
    // A write that cannot be done (a reader gone, a file size limit) fails
    // instead of killing us.
    Console console{-1};
    console.pipe_ignored = std::signal(SIGPIPE, SIG_IGN) == SIG_IGN;
    console.file_size_ignored = std::signal(SIGXFSZ, SIG_IGN) == SIG_IGN;

    // A terminal left non-blocking by an earlier program would fail our read
    // at once, before anything is typed.
    const int flags = fcntl(STDIN_FILENO, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0 && isatty(STDIN_FILENO) != 0 &&
        fcntl(STDIN_FILENO, F_SETFL, flags & ~O_NONBLOCK) == 0)
        console.input_flags = flags;
    return console;
}

// The pause helps only with our own session's terminal, however it was
// opened (/dev/tty too; tcgetpgrp fails on any other), as input (anyone else's keyboard is not ours
// to take) and as output (a text shown elsewhere would leave this keyboard held with nothing said).
// Anywhere else nothing waits, and the output stays exactly the dialogue.
void pause_console(const Console &console)
{
    // Our writes are done, but for the pause's to the terminal, which raises
    // neither signal: they end the pause as the caller left them.
    if (!console.pipe_ignored)
        (void)std::signal(SIGPIPE, SIG_DFL);
    if (!console.file_size_ignored)
        (void)std::signal(SIGXFSZ, SIG_DFL);
    if (tcgetpgrp(STDIN_FILENO) >= 0 && tcgetpgrp(STDOUT_FILENO) >= 0) {
        Pause pause = {};
        pause.tty = open("/dev/tty", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (pause.tty >= 0) {
            catch_signals(pause);
            run(pause);
            release_signals(pause);
            close(pause.tty);
        }
    }
    if (console.input_flags >= 0)
        (void)fcntl(STDIN_FILENO, F_SETFL, console.input_flags);
}
