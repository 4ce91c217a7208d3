// kernel32 console: whether the process is attached to a console. A process
// starts attached when one of its standard streams is a terminal. Nothing is
// drawn: the console is the process's standard streams.
#include <windows.h>

#include <mutex>
#include <unistd.h>

namespace {
std::mutex gConsoleMutex;

bool& Attached(std::unique_lock<std::mutex>&) {
    static bool attached = isatty(0) || isatty(1) || isatty(2);
    return attached;
}
} // namespace

extern "C" BOOL WINAPI AllocConsole(void) {
    std::unique_lock lock(gConsoleMutex);
    bool& attached = Attached(lock);
    if (attached) {
        SetLastError(ERROR_ACCESS_DENIED); // one console per process
        return FALSE;
    }
    attached = true;
    return TRUE;
}

extern "C" BOOL WINAPI FreeConsole(void) {
    std::unique_lock lock(gConsoleMutex);
    bool& attached = Attached(lock);
    if (!attached) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    attached = false;
    return TRUE;
}
