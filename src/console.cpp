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
#include <iostream>
#include <iterator>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stop_waiting = 0;

extern "C" void on_stop_signal(int /*signo*/)
{
    stop_waiting = 1;
}

const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Waits for one byte on standard input. The stop signals are blocked except
// inside pselect, so one that arrives just before the wait still ends it.
void wait_for_key(const sigset_t &wait_mask)
{
    while (stop_waiting == 0) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(STDIN_FILENO, &readable);
        if (pselect(STDIN_FILENO + 1, &readable, nullptr, nullptr, nullptr, &wait_mask) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        char key = 0;
        if (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR)
            continue;
        return; // a key, end of input or an error: stop waiting either way
    }
}

} // namespace

void prepare_console()
{
    // A reader that has gone away makes writes fail instead of killing us.
    (void)std::signal(SIGPIPE, SIG_IGN);
}

// The host shell has no "Pause", so do its job here, without a shell. Only a
// terminal can wait for a key; scripts and pipes must never hang, and their
// output stays exactly the dialogue.
void pause_console()
{
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0)
        return; // not a terminal

    sigset_t blocked;
    sigset_t wait_mask;
    sigemptyset(&blocked);
    for (int signo : stop_signals)
        sigaddset(&blocked, signo);
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);

    // No SA_RESTART: a stop signal must end the wait, then we restore the
    // terminal and exit normally.
    struct sigaction on_stop = {};
    struct sigaction previous[std::size(stop_signals)] = {};
    on_stop.sa_handler = on_stop_signal;
    sigemptyset(&on_stop.sa_mask);
    for (std::size_t i = 0; i < std::size(stop_signals); i++)
        sigaction(stop_signals[i], &on_stop, &previous[i]);

    // One key, unechoed; Ctrl-C and Ctrl-Z are keys too. TCSAFLUSH drops
    // type-ahead still in the terminal; the rest of the line that held the
    // number sits in stdio's buffer, which reading the descriptor bypasses.
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0) {
        std::cout << "Press any key to continue . . . " << std::flush;
        wait_for_key(wait_mask);
        // Flushing drops what is left of a key that sent several bytes.
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cout << "\n" << std::flush;
    }

    // Unblock while our handler is still in place, so that a stop signal
    // that came after the wait is absorbed rather than fatal.
    sigprocmask(SIG_SETMASK, &wait_mask, nullptr);
    for (std::size_t i = 0; i < std::size(stop_signals); i++)
        sigaction(stop_signals[i], &previous[i], nullptr);
}

#endif
