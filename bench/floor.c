/*
 * The floor for binsearch's start-up cost: the same writes, the same read
 * and the same search in plain C stdio, linked statically: what the C
 * library alone costs, which binsearch's C++ streams sit on.
 */
#include <stdio.h>

int main(void)
{
    static const int table[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    int lower = 0;
    int upper = 9;
    int found = 0;
    int value = 0;
    int i;

    fputs("ARRAY: ", stdout);
    for (i = 0; i <= 9; i++)
        printf("%d;", table[i]);
    fputs(" \n", stdout);
    fputs("Number to find: ", stdout);
    fflush(stdout);
    if (scanf("%d", &value) != 1)
        value = 0;

    while (!found && lower <= upper) {
        int middle = (lower + upper) / 2;
        if (value == table[middle]) {
            found = 1;
            fputs("number found.\n", stdout);
        } else if (value < table[middle]) {
            upper = middle - 1;
        } else {
            lower = middle + 1;
        }
    }
    if (!found)
        fputs("number not found.\n", stdout);
    fflush(stdout);
    return 0;
}
