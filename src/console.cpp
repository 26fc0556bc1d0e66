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
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <iterator>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t ending = 0;
volatile std::sig_atomic_t stop_asked = 0;
volatile std::sig_atomic_t continued = 0;

extern "C" void on_signal(int signo)
{
    if (signo == SIGTSTP)
        stop_asked = 1;
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
                               SIGVTALRM, SIGPROF, SIGXCPU, SIGTSTP, SIGCONT, SIGTTOU};
constexpr std::size_t handled_count = std::size(handled_signals);

int restore_flags = -1; // stdin's status flags, when we had to clear O_NONBLOCK

enum class Owner { us, others, nobody };

Owner terminal_owner()
{
    const pid_t group = tcgetpgrp(STDIN_FILENO);
    if (group == getpgrp())
        return Owner::us;
    if (group < 0)
        // A terminal that is not our session's has no job control.
        return errno == ENOTTY ? Owner::us : Owner::nobody;
    return Owner::others;
}

bool in_one_key_mode(const termios &mode)
{
    termios now{};
    return tcgetattr(STDIN_FILENO, &now) == 0 && now.c_lflag == mode.c_lflag &&
           now.c_iflag == mode.c_iflag && now.c_cc[VMIN] == mode.c_cc[VMIN] &&
           now.c_cc[VTIME] == mode.c_cc[VTIME];
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

// Bytes that follow the first within a moment are the rest of the same key
// (an escape sequence, a UTF-8 character) or of a paste: they are ours to
// swallow, not the next program's. A steady stream ends it after 2 seconds.
void swallow_rest(const sigset_t &wait_mask)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const time_t deadline = now.tv_sec + 2;
    while (ending == 0 && now.tv_sec < deadline &&
           wait_for(STDIN_FILENO, 100'000'000, wait_mask) > 0) {
        char rest[256];
        if (read(STDIN_FILENO, rest, sizeof rest) <= 0)
            return;
        clock_gettime(CLOCK_MONOTONIC, &now);
    }
}

// Stops the way SIGTSTP would have, and comes back here on SIGCONT.
void stop_now()
{
    struct sigaction fallback = {};
    struct sigaction ours = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGTSTP, &fallback, &ours);
    sigset_t only_tstp;
    sigemptyset(&only_tstp);
    sigaddset(&only_tstp, SIGTSTP);
    (void)kill(getpid(), SIGTSTP); // held pending until unblocked below
    sigprocmask(SIG_UNBLOCK, &only_tstp, nullptr);
    sigprocmask(SIG_BLOCK, &only_tstp, nullptr);
    sigaction(SIGTSTP, &ours, nullptr);
}

// One key, unechoed, from a terminal we hold only while it is ours: given
// back before we stop, taken up again when we continue in the foreground,
// never touched from the background.
void hold(const termios &saved, const sigset_t &wait_mask)
{
    // Ctrl-C, Ctrl-Z, Ctrl-S are keys too, and one key is enough whatever
    // VMIN the terminal had.
    termios one_key = saved;
    one_key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    one_key.c_iflag &= ~static_cast<tcflag_t>(IXON);
    one_key.c_cc[VMIN] = 1;
    one_key.c_cc[VTIME] = 0;

    bool holding = false;
    while (ending == 0) {
        if (stop_asked != 0) {
            stop_asked = 0;
            if (holding)
                tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
            holding = false;
            stop_now();
        }
        const Owner owner = terminal_owner();
        if (owner == Owner::nobody)
            return;
        if (owner == Owner::others) {
            holding = false; // the shell has the terminal and sets its mode
        } else if (!holding || (continued != 0 && !in_one_key_mode(one_key))) {
            // TCSAFLUSH: type-ahead, such as the rest of the line that held
            // the number, is not a key.
            if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &one_key) == 0) {
                holding = true;
                std::cout << "Press any key to continue . . . " << std::flush;
            } else if (errno != EINTR) {
                return;
            }
        }
        continued = 0;

        // In the background, look again now and then: a shell's fg need not
        // send SIGCONT to a job that is running.
        const int ready =
            holding ? wait_for(STDIN_FILENO, 0, wait_mask) : wait_for(-1, 200'000'000, wait_mask);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        char key[64];
        const ssize_t got = read(STDIN_FILENO, key, sizeof key);
        if (got > 0)
            swallow_rest(wait_mask);
        else if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        break; // a key, or a terminal that is gone
    }
    if (holding) {
        // Ended while one-key mode is ours, so output cannot be held by Ctrl-S.
        std::cout << "\n" << std::flush;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    }
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
// only where it helps: with the keyboard as input and the screen as output.
// Scripts and pipes never hang, and their output stays exactly the dialogue.
void pause_console()
{
    termios saved{};
    if (isatty(STDOUT_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved) == 0) {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int signo : handled_signals)
            sigaddset(&blocked, signo);
        sigdelset(&blocked, SIGTTOU);
        sigset_t wait_mask;
        sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
        sigset_t ttou;
        sigemptyset(&ttou);
        sigaddset(&ttou, SIGTTOU);
        sigprocmask(SIG_UNBLOCK, &ttou, nullptr);

        // No SA_RESTART, so a signal ends the wait. Signals ignored when we
        // started (nohup) stay ignored.
        struct sigaction ours = {};
        struct sigaction previous[handled_count] = {};
        ours.sa_handler = on_signal;
        sigemptyset(&ours.sa_mask);
        for (std::size_t i = 0; i < handled_count; i++) {
            sigaction(handled_signals[i], nullptr, &previous[i]);
            const int signo = handled_signals[i];
            if (previous[i].sa_handler != SIG_IGN || signo == SIGCONT || signo == SIGTTOU)
                sigaction(signo, &ours, nullptr);
        }

        hold(saved, wait_mask);

        // Unblock while our handlers are still in place, so that a signal
        // that came after the wait is absorbed rather than fatal.
        sigprocmask(SIG_SETMASK, &wait_mask, nullptr);
        for (std::size_t i = 0; i < handled_count; i++)
            sigaction(handled_signals[i], &previous[i], nullptr);
    }
    if (restore_flags >= 0)
        (void)fcntl(STDIN_FILENO, F_SETFL, restore_flags);
}

#endif
