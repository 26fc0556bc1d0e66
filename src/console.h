#ifndef BINSEARCH_CONSOLE_H
#define BINSEARCH_CONSOLE_H

// Called first: makes output failures quiet, so they cannot end the program.
void prepare_console();

// Holds the console until a key is pressed, so that the report can be read
// before a window that was opened for the program closes.
void pause_console();

#endif
