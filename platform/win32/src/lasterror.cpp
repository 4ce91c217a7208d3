// Per-thread last-error value (kernel32).
#include <windows.h>

namespace {
thread_local DWORD tLastError = 0;
}

extern "C" DWORD GetLastError(void) {
    return tLastError;
}
extern "C" void SetLastError(DWORD code) {
    tLastError = code;
}
