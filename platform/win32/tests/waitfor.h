#pragma once
// Polling helper of the win32posix tests.
#include <windows.h>

// Polls a condition for up to 10 s (the machine is shared and noisy).
template <class F> bool WaitFor(F cond) {
    for (int i = 0; i < 2000; ++i) {
        if (cond())
            return true;
        Sleep(5);
    }
    return cond();
}
