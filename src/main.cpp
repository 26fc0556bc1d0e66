// binsearch: list the table 1 to 10, ask for a number and look it up by
// halving the index range.
#include <iostream>

#include "console.h"

int main()
{
    const int table[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    int lower = 0;
    int upper = 9;
    bool found = false;
    // With no number in the input 0 is searched: a read that finds no digits
    // stores 0, and input that ends before anything but blanks leaves this 0.
    int value = 0;

    const Console console = prepare_console();

    std::cout << "ARRAY: ";
    for (int i = 0; i <= 9; i++)
        std::cout << table[i] << ";";
    std::cout << " \n";
    std::cout << "Number to find: ";
    std::cin >> value;

    while (!found && lower <= upper) {
        int middle = (lower + upper) / 2;
        if (value == table[middle]) {
            found = true;
            std::cout << "number found.\n";
        } else {
            if (value < table[middle])
                upper = middle - 1;
            if (value > table[middle])
                lower = middle + 1;
        }
    }
    if (!found)
        std::cout << "number not found.\n";

    // The pause writes past the C library (the Windows interpreter into the
    // same file or pipe, the POSIX pause straight to the terminal): the
    // report must be out of its buffer first.
    std::cout.flush();
    pause_console(console);
    return 0;
}
