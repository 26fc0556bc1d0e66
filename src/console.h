#ifndef BINSEARCH_CONSOLE_H
#define BINSEARCH_CONSOLE_H

// Called first: makes output failures quiet, so they cannot end the program,
// and makes the read of the number wait for the user.
void prepare_console();

// Called last: holds the console until a key is pressed, so that the report
// can be read before a window that was opened for the program closes, then
// leaves standard input as the program found it.
void pause_console();

#endif
