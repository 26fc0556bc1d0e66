// The console on POSIX systems. The shell has no "Pause", so the program
// does its job itself: a few states, each a function that returns the next.
#include "console.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <optional>
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
// signals included. SIGHUP also tells of our parent's death. Job control is
// followed, and SIGTTOU makes a change of the terminal from the background
// fail instead of stopping us. Left alone: what cannot be caught, what
// reports a fault of the program itself, and what is ignored by default.
enum class Effect { ends, hangs_up, stops, continues, fails_a_call, none };

using SignalEffect = std::pair<int, Effect>; // a signal, and what it does

constexpr SignalEffect effects[] = {
    {SIGHUP, Effect::hangs_up},   {SIGTSTP, Effect::stops},        {SIGTTIN, Effect::stops},
    {SIGCONT, Effect::continues}, {SIGTTOU, Effect::fails_a_call}, {SIGKILL, Effect::none},
    {SIGSTOP, Effect::none},      {SIGSEGV, Effect::none},         {SIGBUS, Effect::none},
    {SIGFPE, Effect::none},       {SIGILL, Effect::none},          {SIGTRAP, Effect::none},
    {SIGABRT, Effect::none},      {SIGSYS, Effect::none},          {SIGCHLD, Effect::none},
    {SIGURG, Effect::none},       {SIGWINCH, Effect::none},
#ifdef SIGINFO
    {SIGINFO, Effect::none},
#endif
#ifdef SIGTHR
    {SIGTHR, Effect::none},
#endif
#ifdef SIGLIBRT
    {SIGLIBRT, Effect::none},
#endif
};

Effect effect_of(int signo)
{
    const auto *const found =
        std::find_if(std::begin(effects), std::end(effects),
                     [signo](const SignalEffect &one) { return one.first == signo; });
    return found == std::end(effects) ? Effect::ends : found->second;
}

// Set by the handler, which only records; read and cleared by noted() alone.
volatile std::sig_atomic_t ending = 0;      // a signal that ends the wait came
volatile std::sig_atomic_t hung_up = 0;     // SIGHUP came: an end, or our parent died
volatile std::sig_atomic_t stop_signal = 0; // a stop signal came: stop once given back
volatile std::sig_atomic_t continued = 0;   // SIGCONT came: the job was stopped, ours or not

extern "C" void on_signal(int signo)
{
    switch (effect_of(signo)) {
    case Effect::ends:
        ending = 1;
        break;
    case Effect::hangs_up:
        hung_up = 1;
        break;
    case Effect::stops:
        stop_signal = signo;
        break;
    case Effect::continues:
        continued = 1;
        break;
    case Effect::fails_a_call:
    case Effect::none:
        break;
    }
}

// The pause's states: in the foreground it waits for a key, in the
// background it stops for input; a stop, by its signal, gives the terminal
// back first. It ends by giving its mode back, the line end first, or the
// mode first when its parent died: a shell may then take the terminal and
// adopt its mode at any moment.
enum class Step { foreground, background, stop, end, orphaned };

struct State {
    Step step;
    int signo; // the stop's signal
};

struct Pause {
    int tty;            // a descriptor of our own: non-blocking, whatever stdin's flags
    bool held;          // the terminal has been ours: mode_found read, the text shown
    termios mode_found; // its mode when the pause first held it, to be given back
    termios mode_set;   // the one-key mode, as the terminal holds it
    pid_t parent;       // our parent when the pause began
    sigset_t caught;    // the signals whose handler is ours
    sigset_t wait_mask; // the caller's mask: caught signals come in only while waiting
    struct sigaction previous[NSIG];
};

sigset_t set_of(int signo)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    return set;
}

// Output that cannot be written is no reason to stop waiting.
void write_stdout(std::string_view text)
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
State where_now(const Pause &pause)
{
    if (terminal_ours(pause))
        return {Step::foreground, 0};
    return {tcgetpgrp(pause.tty) < 0 ? Step::end : Step::background, 0};
}

// What the handler recorded, taken: our parent's death, then an end, then a
// stop. A SIGHUP that the caller ignored (nohup) ends the pause only if our
// parent died. A continue, after a stop of ours or one we did not see
// (SIGSTOP), sends us wherever the shell put us, to take the terminal up
// again or to stop for it. Nothing recorded: nothing.
std::optional<State> noted(const Pause &pause)
{
    const bool hangup = hung_up != 0;
    hung_up = 0;
    if (hangup && getppid() != pause.parent)
        return State{Step::orphaned, 0};
    if (ending != 0 || (hangup && pause.previous[SIGHUP].sa_handler != SIG_IGN))
        return State{Step::end, 0};
    const bool was_continued = continued != 0;
    continued = 0;
    if (stop_signal != 0) {
        const State next = {Step::stop, stop_signal};
        stop_signal = 0;
        return next;
    }
    if (was_continued)
        return where_now(pause);
    return std::nullopt;
}

// Swallows what follows a key closely, until a pause in the input, a signal,
// or the cut-off.
void swallow_rest(const Pause &pause)
{
    const auto deadline = std::chrono::steady_clock::now() + paste_limit;
    char rest[256];
    while (std::chrono::steady_clock::now() < deadline && wait_for(pause, rest_of_key) > 0) {
        if (read(pause.tty, rest, sizeof rest) <= 0)
            break;
    }
}

// Reads what the wait saw, and says whether it ends the wait: a key,
// swallowed with the rest of it, or the end of the input (a terminal hung
// up). The descriptor is non-blocking: nothing to read means that another
// reader took the key, which was not ours then; a read that fails took
// nothing either, and the wait looks again where the terminal is.
bool read_key(const Pause &pause)
{
    char key[64];
    const ssize_t got = read(pause.tty, key, sizeof key);
    if (got > 0)
        swallow_rest(pause);
    return got >= 0;
}

// After a key, only our parent's death, if it came meanwhile, still counts.
State after_key(const Pause &pause)
{
    const std::optional<State> next = noted(pause);
    return next && next->step == Step::orphaned ? *next : State{Step::end, 0};
}

// Waits in the foreground until a key, a signal, or the terminal changes hands.
State wait_for_key(const Pause &pause)
{
    for (;;) {
        if (const std::optional<State> next = noted(pause))
            return *next;
        if (!terminal_ours(pause))
            return where_now(pause);
        const int ready = wait_for(pause, look_again);
        if (ready < 0 && errno != EINTR)
            return {Step::end, 0};
        if (ready > 0 && read_key(pause))
            return after_key(pause);
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
// VTIME 1 changes nothing with VMIN 1 (a read returns with the first byte)
// but tells our mode from a line editor's, which is otherwise the same.
bool take(Pause &pause)
{
    if (!terminal_ours(pause) || (!pause.held && tcgetattr(pause.tty, &pause.mode_found) != 0))
        return false;
    termios one_key = pause.mode_found;
    one_key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    one_key.c_iflag &= ~static_cast<tcflag_t>(IXON | IGNCR);
    one_key.c_cc[VMIN] = 1;
    one_key.c_cc[VTIME] = 1;
    // EINTR: SIGTTOU, the shell took the terminal in between.
    if (tcsetattr(pause.tty, TCSAFLUSH, &one_key) != 0 ||
        tcgetattr(pause.tty, &pause.mode_set) != 0)
        return false;
    if (pause.held)
        write_stdout("\r"); // over the text an earlier wait left, or on the line the shell left
    write_stdout(pause_text);
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

// From the background (dash takes the terminal without setting a mode) the
// mode is looked at again and put back with SIGTTOU blocked, so that it
// cannot stop the job.
void give_back_from_background(const Pause &pause)
{
    const sigset_t ttou = set_of(SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, nullptr);
    if (mode_still_ours(pause))
        tcsetattr(pause.tty, TCSANOW, &pause.mode_found);
    sigprocmask(SIG_UNBLOCK, &ttou, nullptr);
}

// Undoes the pause's change wherever it ends or stops, if the terminal
// still holds our mode. In the foreground the line is ended first, and
// SIGTTOU stays caught: should the shell take the terminal in between, the
// call fails rather than undo the mode the shell sets.
void give_back(const Pause &pause)
{
    if (!mode_still_ours(pause))
        return;
    if (terminal_ours(pause)) {
        write_stdout("\n"); // still in one-key mode, so Ctrl-S cannot hold it
        if (tcsetattr(pause.tty, TCSAFLUSH, &pause.mode_found) == 0)
            return;
    }
    give_back_from_background(pause);
}

// Our parent died: the shell, told at once too, takes the terminal back and
// may adopt its mode. Nothing but the check that the mode is ours comes
// before the call that sets it; the line end comes after, while the
// terminal is still ours.
void give_back_first(const Pause &pause)
{
    if (!mode_still_ours(pause))
        return;
    if (tcsetattr(pause.tty, TCSANOW, &pause.mode_found) != 0)
        give_back_from_background(pause);
    else if (terminal_ours(pause))
        write_stdout("\n");
}

// Takes the terminal and waits at the keyboard.
State wait_in_foreground(Pause &pause)
{
    if (!take(pause)) {
        const State where = where_now(pause);
        return where.step == Step::foreground ? State{Step::end, 0} : where; // cannot be set
    }
    return wait_for_key(pause);
}

// Stops `whom` (ourselves, or with 0 our whole job) as the signal would, the
// terminal given back, and comes back on SIGCONT to wherever the shell put
// us. The kernel does not stop a group that no shell can bring back (an
// orphaned one: its shell has exited, or we lead a session of our own) and
// discards the signal: then no SIGCONT comes, and the pause ends. What else
// came meanwhile (kill %1 sends TERM, then CONT) is let in.
State stop(const Pause &pause, int signo, pid_t whom)
{
    give_back(pause);
    struct sigaction fallback = {};
    struct sigaction ours = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signo, &fallback, &ours);
    const sigset_t only = set_of(signo);
    (void)kill(whom, signo); // held pending until unblocked here
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    sigprocmask(SIG_BLOCK, &only, nullptr);
    sigaction(signo, &ours, nullptr);
    sigset_t blocked; // what came meanwhile, let in for the handler to record
    sigprocmask(SIG_SETMASK, &pause.wait_mask, &blocked);
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
    return noted(pause).value_or(State{Step::end, 0});
}

// In the background the terminal is the shell's: nothing is read, written
// or set there but our own mode given back. The job stops for input as a
// read would make it, so that fg brings it back; where SIGTTIN is ignored,
// such a read fails at once, and so does the pause.
State wait_in_background(const Pause &pause)
{
    if (sigismember(&pause.caught, SIGTTIN) != 1)
        return {Step::end, 0};
    return stop(pause, SIGTTIN, 0);
}

void run(Pause &pause)
{
    State state = where_now(pause);
    for (;;) {
        switch (state.step) {
        case Step::foreground:
            state = wait_in_foreground(pause);
            break;
        case Step::background:
            state = wait_in_background(pause);
            break;
        case Step::stop:
            state = stop(pause, state.signo, getpid());
            break;
        case Step::end:
            give_back(pause);
            return;
        case Step::orphaned:
            give_back_first(pause);
            return;
        }
    }
}

// Whether we catch a signal that the caller ignored: not one that would
// end or stop the wait (nohup), but SIGHUP, for our parent's death, and
// those that only tell us something.
bool caught_if_ignored(Effect effect)
{
    return effect != Effect::ends && effect != Effect::stops;
}

// The signals to catch: those that do something to the wait, but not those
// the system keeps for itself (sigaction refuses them).
void choose_signals(Pause &pause)
{
    sigemptyset(&pause.caught);
    for (int signo = 1; signo < NSIG; signo++) {
        const Effect effect = effect_of(signo);
        if (effect == Effect::none || sigaction(signo, nullptr, &pause.previous[signo]) != 0)
            continue;
        if (pause.previous[signo].sa_handler != SIG_IGN || caught_if_ignored(effect))
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
    const sigset_t ttou = set_of(SIGTTOU);
    sigprocmask(SIG_UNBLOCK, &ttou, nullptr);
    struct sigaction ours = {};
    ours.sa_handler = on_signal;
    sigemptyset(&ours.sa_mask);
    for (int signo = 1; signo < NSIG; signo++) {
        if (sigismember(&pause.caught, signo) == 1)
            sigaction(signo, &ours, nullptr);
    }
    pause.parent = getppid();
    if (sigismember(&pause.caught, SIGHUP) == 1) {
        signal_parent_death(SIGHUP);
        if (getppid() != pause.parent)
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
