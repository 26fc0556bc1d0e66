// The console on POSIX systems. The shell has no "Pause", so the program
// does its job itself: a few states, each a function that returns the next.
#include "console.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <string_view>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

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

// Set by the handler, acted on by the states.
volatile std::sig_atomic_t ending = 0;      // a signal whose default would end us
volatile std::sig_atomic_t stop_signal = 0; // SIGTSTP or SIGTTIN: stop once given back
volatile std::sig_atomic_t continued = 0;   // SIGCONT after a stop we did not see

extern "C" void on_signal(int signo)
{
    if (signo == SIGTSTP || signo == SIGTTIN)
        stop_signal = signo;
    else if (signo == SIGCONT)
        continued = 1;
    else if (signo != SIGTTOU)
        ending = 1;
}

// Job control is caught and followed.
bool job_control(int signo)
{
    return signo == SIGTSTP || signo == SIGTTIN || signo == SIGTTOU || signo == SIGCONT;
}

// Every other signal whose default action ends the process ends the wait
// instead, as a key does, so that the terminal is never left in one-key
// mode; the set is the system's, real-time signals included. Left alone:
// what cannot be caught, what reports a fault of the program itself, and
// what is ignored by default.
bool ends_the_wait(int signo)
{
    switch (signo) {
    case SIGKILL:
    case SIGSTOP:
    case SIGSEGV:
    case SIGBUS:
    case SIGFPE:
    case SIGILL:
    case SIGTRAP:
    case SIGABRT:
    case SIGSYS:
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH:
        return false;
    default:
        return !job_control(signo);
    }
}

// The pause's states; each is a function below that returns the next one.
enum class Next { foreground, background, stop, end };

struct Pause {
    int tty;            // a descriptor of our own: non-blocking, whatever stdin's flags
    bool held;          // the terminal has been ours: `found` is read, the text shown
    termios found;      // its mode when the pause first held it, to be given back
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

// The state the terminal puts us in: its foreground is ours to wait in, its
// background the shell's, and a terminal that is gone (hung up, or no longer
// our session's) ends the pause.
Next where_now(const Pause &pause)
{
    const pid_t group = tcgetpgrp(pause.tty);
    if (group < 0)
        return Next::end;
    return group == getpgrp() ? Next::foreground : Next::background;
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

// Reads what the wait saw: a key, swallowed with the rest of it, or a
// terminal that is gone. The descriptor is non-blocking: nothing to read
// means that another reader took the key, which was not ours then.
bool key_came(const Pause &pause)
{
    char key[64];
    const ssize_t got = read(pause.tty, key, sizeof key);
    if (got > 0)
        swallow_rest(pause);
    return got >= 0 || (errno != EAGAIN && errno != EINTR && where_now(pause) == Next::foreground);
}

// Waits in the foreground until a key, a signal, or the terminal changing
// hands.
Next wait_for_key(const Pause &pause)
{
    for (;;) {
        if (ending != 0)
            return Next::end;
        if (stop_signal != 0)
            return Next::stop;
        if (continued != 0) {
            continued = 0;
            return Next::foreground; // the shell had the terminal: take it up again
        }
        const Next where = where_now(pause);
        if (where != Next::foreground)
            return where;
        const int ready = wait_for(pause, look_again);
        if ((ready < 0 && errno != EINTR) || (ready > 0 && key_came(pause)))
            return Next::end;
    }
}

// Takes the terminal for one key and shows the text, in the foreground
// only: set from the background, the terminal would stop the whole job
// with SIGTTOU. The mode to give back is read the first time the terminal
// is ours, not before: in the background it is the shell's. TCSAFLUSH: what
// was typed before (the rest of the number's line, keys typed while we were
// stopped) is not a key. One key is enough whatever VMIN the terminal had,
// and Ctrl-C, Ctrl-Z and Ctrl-S are keys too.
bool take(Pause &pause)
{
    if (where_now(pause) != Next::foreground)
        return false;
    if (!pause.held && tcgetattr(pause.tty, &pause.found) != 0)
        return false;
    termios one_key = pause.found;
    one_key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    one_key.c_iflag &= ~static_cast<tcflag_t>(IXON);
    one_key.c_cc[VMIN] = 1;
    one_key.c_cc[VTIME] = 0;
    // EINTR: SIGTTOU, the shell took the terminal in between.
    if (tcsetattr(pause.tty, TCSAFLUSH, &one_key) != 0)
        return false;
    if (pause.held)
        say("\r"); // over the text left by the last spell, or on the line the shell left
    say(pause_text);
    pause.held = true;
    return true;
}

// Ends the line and gives the mode back, if the terminal is still ours: once
// the shell holds it, its mode and its screen are the shell's.
void give_back(const Pause &pause)
{
    if (where_now(pause) != Next::foreground)
        return;
    say("\n"); // still in one-key mode, so Ctrl-S cannot hold it
    tcsetattr(pause.tty, TCSAFLUSH, &pause.found);
}

// One spell at the keyboard, in one block: take the terminal, wait, and
// give it back before an end or a stop.
Next foreground_spell(Pause &pause)
{
    if (!take(pause)) {
        const Next where = where_now(pause);
        return where == Next::foreground ? Next::end : where; // a terminal we cannot set
    }
    const Next next = wait_for_key(pause);
    if (next == Next::end || next == Next::stop)
        give_back(pause);
    return next;
}

// Whether the signal is pending; if so it is taken, never to be handled.
bool take_pending(int signo)
{
    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, signo) != 1)
        return false;
    const sigset_t only = just(signo);
    int taken = 0;
    sigwait(&only, &taken);
    return true;
}

// Stops `whom` (ourselves, or with 0 our whole job) as the signal would, the
// terminal given back or not ours, and comes back on SIGCONT to wherever the
// shell put us. The kernel does not stop a group that no shell can bring
// back (an orphaned one: its shell has exited, or we lead a session of our
// own) and discards the signal: then nothing will continue us, and the
// pause ends. A stop that happened ends with a SIGCONT, held pending: taken
// here, it is not seen as a later continue. What else came meanwhile (kill
// %1 sends TERM, then CONT) is let in.
Next stop(const Pause &pause, int signo, pid_t whom)
{
    stop_signal = 0;
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
    if (!take_pending(SIGCONT))
        return Next::end;
    sigset_t blocked;
    sigprocmask(SIG_SETMASK, &pause.wait_mask, &blocked);
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
    return ending != 0 ? Next::end : where_now(pause);
}

// In the background the terminal is the shell's: nothing is read, written
// or set there. The job stops for input as a read would make it, so the
// shell shows it stopped and fg brings it back; where SIGTTIN is ignored,
// such a read fails at once, and so does the pause.
Next background(const Pause &pause)
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
            next = stop(pause, stop_signal, getpid());
    }
}

// The signals to catch: those that end the wait and job control, but not
// those ignored when we started (nohup), and not those the system keeps for
// itself (sigaction refuses them). SIGCONT and SIGTTOU are caught always.
void choose_signals(Pause &pause)
{
    sigemptyset(&pause.caught);
    for (int signo = 1; signo < NSIG; signo++) {
        if ((!ends_the_wait(signo) && !job_control(signo)) ||
            sigaction(signo, nullptr, &pause.previous[signo]) != 0)
            continue;
        if (pause.previous[signo].sa_handler != SIG_IGN || signo == SIGCONT || signo == SIGTTOU)
            sigaddset(&pause.caught, signo);
    }
}

// Blocks the caught signals, to be let in only while waiting, and catches
// them without SA_RESTART, so that a signal ends the wait. SIGTTOU is never
// blocked: caught, it makes a tcsetattr from the background fail instead of
// stopping us; blocked, it would let that call change the shell's terminal.
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
}

// Unblocks while our handlers are still in place, so that a signal that came
// after the wait is absorbed rather than fatal, then puts everything back.
void release_signals(const Pause &pause)
{
    sigprocmask(SIG_SETMASK, &pause.wait_mask, nullptr);
    for (int signo = 1; signo < NSIG; signo++) {
        if (sigismember(&pause.caught, signo) == 1)
            sigaction(signo, &pause.previous[signo], nullptr);
    }
}

// The pause helps only with our own session's terminal as input (anyone
// else's keyboard is not ours to take) and that same terminal as output (a
// text shown elsewhere would leave this keyboard held with nothing said).
// Scripts and pipes never hang, and their output stays exactly the dialogue.
bool pause_helps()
{
    struct stat in = {};
    struct stat out = {};
    return tcgetpgrp(STDIN_FILENO) >= 0 && isatty(STDOUT_FILENO) != 0 &&
           fstat(STDIN_FILENO, &in) == 0 && fstat(STDOUT_FILENO, &out) == 0 &&
           in.st_rdev == out.st_rdev;
}

} // namespace

Console prepare_console()
{
    // A write that cannot be done (a reader gone, a file size limit) fails
    // instead of killing us.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);

    // A terminal left non-blocking by an earlier program would fail our read
    // at once, before anything is typed.
    const int flags = fcntl(STDIN_FILENO, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0 && isatty(STDIN_FILENO) != 0 &&
        fcntl(STDIN_FILENO, F_SETFL, flags & ~O_NONBLOCK) == 0)
        return Console{flags};
    return Console{-1};
}

void pause_console(const Console &console)
{
    if (pause_helps()) {
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
