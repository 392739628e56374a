#include "keywait.h"

#include <conio.h>
#include <cstdio>
#include <windows.h>

void waitForKey() {
    // A console takes the key alone; a pipe or a file is read like any other input.
    DWORD mode;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode))
        _getch();
    else
        std::getchar();
}
