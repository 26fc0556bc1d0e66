#include "console.h"

#ifdef _WIN32

#include <cstdlib>

void prepare_console() {}

void pause_console()
{
    // The command interpreter prints its own prompt and waits for a key.
    (void)std::system("Pause");
}

#else

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <string_view>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Set by the handler, acted on by the states. stop_asked holds the stop
// signal to take once the terminal is given back.
volatile std::sig_atomic_t ending = 0;
volatile std::sig_atomic_t stop_asked = 0;
volatile std::sig_atomic_t continued = 0;

extern "C" void on_signal(int signo)
{
    if (signo == SIGTSTP || signo == SIGTTIN)
        stop_asked = signo;
    else if (signo == SIGCONT)
        continued = 1;
    else if (signo != SIGTTOU)
        ending = 1;
}

// Every signal that would end the process ends the wait instead, as a key
// does, so that the terminal is never left in one-key mode. Job control
// follows. SIGTTOU comes last and is never blocked: caught, it makes a
// tcsetattr from the background fail instead of stopping us; blocked, it
// would let that call change the shell's terminal.
const int handled_signals[] = {SIGINT,    SIGTERM, SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                               SIGVTALRM, SIGPROF, SIGXCPU, SIGTSTP, SIGTTIN, SIGCONT, SIGTTOU};
constexpr std::size_t handled_count = std::size(handled_signals);

constexpr std::string_view pause_text = "Press any key to continue . . . ";

int restore_flags = -1; // stdin's status flags, when we had to clear O_NONBLOCK

// The pause's states; each is a function below that returns the next one.
enum class Next { foreground, background, stop, end };

struct Pause {
    int tty;            // a descriptor of our own: non-blocking, whatever stdin's flags
    termios saved;      // the terminal's mode when the pause began
    termios one_key;    // the mode we wait in
    sigset_t wait_mask; // the handled signals are let through only while waiting
    bool shown;         // the text is on the screen from an earlier spell
};

// Output that cannot be written is no reason to stop waiting.
void say(std::string_view text)
{
    const ssize_t written = write(STDOUT_FILENO, text.data(), text.size());
    static_cast<void>(written);
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

// Re-parented, we have lost the shell that could bring us to the foreground,
// and the kernel ends a read from such an orphaned group with EIO: a parent
// outside our session means that shell has gone.
bool orphaned()
{
    return getsid(getppid()) != getsid(0);
}

// Waits for input on fd (or, with fd -1, for a signal alone) for up to the
// given time; 0 means no limit.
int wait_for(int fd, long nanoseconds, const sigset_t &wait_mask)
{
    fd_set readable;
    FD_ZERO(&readable);
    if (fd >= 0)
        FD_SET(fd, &readable);
    const timespec limit = {0, nanoseconds};
    return pselect(fd + 1, &readable, nullptr, nullptr, nanoseconds > 0 ? &limit : nullptr,
                   &wait_mask);
}

// Bytes that follow the key within 100 ms are the rest of it (an escape
// sequence, a UTF-8 character) or of a paste: ours to swallow, not the next
// program's. A steady stream is cut off after 2 seconds.
void swallow_rest(const Pause &pause)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    char rest[256];
    while (ending == 0 && std::chrono::steady_clock::now() < deadline &&
           wait_for(pause.tty, 100'000'000, pause.wait_mask) > 0) {
        if (read(pause.tty, rest, sizeof rest) <= 0)
            break;
    }
}

// Waits in the foreground until a key, a signal, or the terminal changing
// hands. The descriptor is non-blocking: a key that another reader takes
// between the wait and the read is not ours, and we wait on.
Next wait_for_key(const Pause &pause)
{
    for (;;) {
        if (ending != 0)
            return Next::end;
        if (stop_asked != 0)
            return Next::stop;
        if (continued != 0) {
            continued = 0;
            return Next::foreground; // to be taken up and shown again
        }
        const Next where = where_now(pause);
        if (where != Next::foreground)
            return where;
        if (wait_for(pause.tty, 0, pause.wait_mask) < 0) {
            if (errno != EINTR)
                return Next::end;
            continue;
        }
        char key[64];
        const ssize_t got = read(pause.tty, key, sizeof key);
        if (got > 0) {
            swallow_rest(pause);
            return Next::end;
        }
        if (got == 0 || (errno != EAGAIN && errno != EINTR && where_now(pause) == Next::foreground))
            return Next::end; // the terminal is gone
    }
}

// One spell at the keyboard, in one block: take the terminal, show the text,
// wait, end the line and give the terminal back. TCSAFLUSH: what was typed
// before (the rest of the number's line, keys typed while we were stopped)
// is not a key. One key is enough whatever VMIN the terminal had, and
// Ctrl-C, Ctrl-Z and Ctrl-S are keys too.
Next foreground_spell(Pause &pause)
{
    if (tcsetattr(pause.tty, TCSAFLUSH, &pause.one_key) != 0)
        // EINTR: SIGTTOU, the shell took the terminal first.
        return errno == EINTR ? Next::background : Next::end;
    if (pause.shown)
        say("\r"); // over the text left by the last spell, or on the line the shell left
    say(pause_text);
    pause.shown = true;

    const Next next = wait_for_key(pause);

    // Give back only what is still ours: once the shell holds the terminal,
    // its mode and its screen are the shell's.
    if (where_now(pause) == Next::foreground) {
        if (next != Next::foreground)
            say("\n"); // still in one-key mode, so Ctrl-S cannot hold it
        tcsetattr(pause.tty, TCSAFLUSH, &pause.saved);
    }
    return next;
}

// In the background the terminal is the shell's: nothing is read, written or
// set. A shell's fg need not send SIGCONT to a running job, so look now and
// then, and give up when no shell is left to bring us back.
Next background_wait(const Pause &pause)
{
    for (;;) {
        if (ending != 0)
            return Next::end;
        if (stop_asked != 0)
            return Next::stop;
        continued = 0;
        const Next where = where_now(pause);
        if (where != Next::background)
            return where;
        if (orphaned())
            return Next::end;
        (void)wait_for(-1, 200'000'000, pause.wait_mask);
    }
}

// Stops the way the signal would have, the terminal already given back, and
// comes back on SIGCONT to wherever the shell put us. That SIGCONT, held
// pending, belongs to this stop: taken now, it is not seen as a later one.
Next stop(const Pause &pause)
{
    const int signo = stop_asked;
    stop_asked = 0;
    struct sigaction fallback = {};
    struct sigaction ours = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signo, &fallback, &ours);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signo);
    (void)kill(getpid(), signo); // held pending until unblocked below
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    sigprocmask(SIG_BLOCK, &only, nullptr);
    sigaction(signo, &ours, nullptr);

    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, SIGCONT) != 0) {
        sigset_t cont;
        sigemptyset(&cont);
        sigaddset(&cont, SIGCONT);
        int taken = 0;
        sigwait(&cont, &taken);
    }
    return where_now(pause);
}

void run(Pause &pause)
{
    Next next = where_now(pause);
    while (next != Next::end) {
        if (next == Next::foreground)
            next = foreground_spell(pause);
        else if (next == Next::background)
            next = background_wait(pause);
        else
            next = stop(pause);
    }
}

// Blocks the handled signals, to be let through only while waiting, and
// catches them without SA_RESTART, so that a signal ends the wait. Signals
// ignored when we started (nohup) stay ignored.
void catch_signals(Pause &pause, struct sigaction (&previous)[handled_count])
{
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signo : handled_signals)
        sigaddset(&blocked, signo);
    sigdelset(&blocked, SIGTTOU);
    sigprocmask(SIG_BLOCK, &blocked, &pause.wait_mask);
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_UNBLOCK, &ttou, nullptr);

    struct sigaction ours = {};
    ours.sa_handler = on_signal;
    sigemptyset(&ours.sa_mask);
    for (std::size_t i = 0; i < handled_count; i++) {
        const int signo = handled_signals[i];
        sigaction(signo, nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN || signo == SIGCONT || signo == SIGTTOU)
            sigaction(signo, &ours, nullptr);
    }
}

// Unblocks while our handlers are still in place, so that a signal that came
// after the wait is absorbed rather than fatal, then puts everything back.
void release_signals(const Pause &pause, const struct sigaction (&previous)[handled_count])
{
    sigprocmask(SIG_SETMASK, &pause.wait_mask, nullptr);
    for (std::size_t i = 0; i < handled_count; i++)
        sigaction(handled_signals[i], &previous[i], nullptr);
}

} // namespace

void prepare_console()
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
        restore_flags = flags;
}

// The host shell has no "Pause", so do its job here, without a shell, and
// only where it helps: with our own session's terminal as input (anyone
// else's keyboard is not ours to take) and a screen as output. Scripts and
// pipes never hang, and their output stays exactly the dialogue.
void pause_console()
{
    if (isatty(STDOUT_FILENO) != 0 && tcgetpgrp(STDIN_FILENO) >= 0) {
        Pause pause = {open("/dev/tty", O_RDONLY | O_NONBLOCK), {}, {}, {}, false};
        if (pause.tty >= 0 && tcgetattr(pause.tty, &pause.saved) == 0) {
            pause.one_key = pause.saved;
            pause.one_key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
            pause.one_key.c_iflag &= ~static_cast<tcflag_t>(IXON);
            pause.one_key.c_cc[VMIN] = 1;
            pause.one_key.c_cc[VTIME] = 0;
            struct sigaction previous[handled_count] = {};
            catch_signals(pause, previous);
            run(pause);
            release_signals(pause, previous);
        }
        if (pause.tty >= 0)
            close(pause.tty);
    }
    if (restore_flags >= 0)
        (void)fcntl(STDIN_FILENO, F_SETFL, restore_flags);
}

#endif
