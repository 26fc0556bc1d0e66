#ifndef BINSEARCH_CONSOLE_H
#define BINSEARCH_CONSOLE_H

// What prepare_console changed, for pause_console to put back.
struct Console {
    int input_flags;                // standard input's file status flags to set back, or -1
    bool pipe_ignored = false;      // SIGPIPE was ignored already (else: at its default)
    bool file_size_ignored = false; // SIGXFSZ likewise
};

// Called first: makes output failures quiet, so they cannot end the program,
// and makes the read of the number wait for the user.
Console prepare_console();

// Called last: waits for a key, so that the report can be read before a
// window that was opened for the program closes (on Windows always, through
// the command interpreter; elsewhere only at the session's terminal), and
// puts back what prepare_console changed.
void pause_console(const Console &console);

#endif
