// The Windows console: the command interpreter does the waiting.
#include "console.h"

#include <cstdlib>

Console prepare_console()
{
    return Console{-1};
}

void pause_console(const Console & /*console*/)
{
    // It prints its own prompt and waits for a key.
    (void)std::system("Pause");
}
