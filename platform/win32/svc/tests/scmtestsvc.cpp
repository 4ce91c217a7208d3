// A small service program for the tests. The first command-line argument
// picks the behaviour:
//   normal       START_PENDING, then RUNNING; stops, pauses and continues
//   noconnect    never calls the dispatcher
//   exit-early   exits with status 3 without connecting
//   terminate    runs the dispatcher on a CreateThread thread; after a stop
//                control the main thread ends that thread with
//                TerminateThread (it waits for controls) and reports
//                SERVICE_STOPPED itself, as the service library does
// Start arguments (ServiceMain's argv after the name):
//   exit=N       report SERVICE_STOPPED with service-specific error N
//   pending=MS   stay START_PENDING for MS milliseconds first
// Controls: 200 crashes the process (SIGKILL to itself), 201 blocks the
// handler for a minute, other user controls are only logged. Every event
// is written to standard output (the service's log), and so is any service
// function that succeeds but changes the thread's last error ("last error
// changed by ...").
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

SERVICE_STATUS_HANDLE gHandle = nullptr;
std::mutex gMutex;
std::condition_variable gStopped;
bool gStopRequested = false;
DWORD gState = SERVICE_START_PENDING;
DWORD gExitCode = 0;
DWORD gCheckPoint = 0;
bool gTerminateMode = false;

void Log(const std::string& line) {
    std::string text = line + "\n";
    (void)!write(1, text.data(), text.size());
}

constexpr DWORD kSentinel = 0x2a2a2a;

// Calls f with a sentinel last error and logs when a success changed it; the
// thread's own last error is kept.
template <class F> bool KeepsLastError(const char* name, F f) {
    DWORD saved = GetLastError();
    SetLastError(kSentinel);
    bool ok = f();
    if (ok && GetLastError() != kSentinel)
        Log(std::string("last error changed by ") + name + ": " + std::to_string(GetLastError()));
    SetLastError(saved);
    return ok;
}

void Report(DWORD state, DWORD waitHint = 0) {
    SERVICE_STATUS st{};
    st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    st.dwCurrentState = state;
    st.dwControlsAccepted =
        (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING)
            ? 0
            : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
    if (state == SERVICE_STOPPED && gExitCode) {
        st.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        st.dwServiceSpecificExitCode = gExitCode;
    }
    st.dwCheckPoint = (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                       state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING)
                          ? ++gCheckPoint
                          : 0;
    st.dwWaitHint = waitHint;
    gState = state;
    if (!KeepsLastError("SetServiceStatus", [&] { return SetServiceStatus(gHandle, &st); }))
        Log("SetServiceStatus failed " + std::to_string(GetLastError()));
}

void WINAPI Handler(DWORD control) {
    Log("control " + std::to_string(control));
    std::lock_guard lock(gMutex);
    switch (control) {
    case SERVICE_CONTROL_STOP:
        Report(SERVICE_STOP_PENDING, 3000);
        gStopRequested = true;
        gStopped.notify_all();
        break;
    case SERVICE_CONTROL_PAUSE:
        Report(SERVICE_PAUSE_PENDING, 1000);
        Report(SERVICE_PAUSED);
        break;
    case SERVICE_CONTROL_CONTINUE:
        Report(SERVICE_CONTINUE_PENDING, 1000);
        Report(SERVICE_RUNNING);
        break;
    case 200:
        kill(getpid(), SIGKILL);
        break;
    case 201:
        std::this_thread::sleep_for(std::chrono::seconds(60));
        break;
    default:
        Report(gState);
        break;
    }
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
    std::string line = "main";
    int pendingMs = 0;
    for (DWORD i = 0; i < argc; ++i) {
        line += std::string(" [") + argv[i] + "]";
        if (strncmp(argv[i], "exit=", 5) == 0)
            gExitCode = static_cast<DWORD>(atoi(argv[i] + 5));
        if (strncmp(argv[i], "pending=", 8) == 0)
            pendingMs = atoi(argv[i] + 8);
    }
    Log(line);
    KeepsLastError("RegisterServiceCtrlHandlerA", [&] {
        return (gHandle = RegisterServiceCtrlHandlerA(argv[0], Handler)) != nullptr;
    });
    if (!gHandle) {
        Log("register failed " + std::to_string(GetLastError()));
        return;
    }
    {
        std::lock_guard lock(gMutex);
        Report(SERVICE_START_PENDING, 3000);
    }
    KeepsLastError("SetServiceBits", [] { return SetServiceBits(gHandle, 0x1000, TRUE, TRUE); });
    if (pendingMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(pendingMs));
    {
        std::lock_guard lock(gMutex);
        Report(SERVICE_RUNNING);
    }
    if (gTerminateMode)
        return;
    std::unique_lock lock(gMutex);
    gStopped.wait(lock, [] { return gStopRequested; });
    Report(SERVICE_STOPPED);
}

DWORD WINAPI DispatcherThread(LPVOID) {
    char name[] = "ignored";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 1 : 0;
}

int TerminateMode() {
    HANDLE thread = CreateThread(nullptr, 0, DispatcherThread, nullptr, 0, nullptr);
    if (!thread)
        return 1;
    {
        std::unique_lock lock(gMutex);
        gStopped.wait(lock, [] { return gStopRequested; });
    }
    // The dispatcher still waits for controls: the service has not stopped.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    BOOL ended = TerminateThread(thread, 0);
    DWORD code = 99;
    if (WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0)
        Log("dispatcher thread still running");
    GetExitCodeThread(thread, &code);
    Log("terminated " + std::to_string(ended) + " " + std::to_string(code));
    std::lock_guard lock(gMutex);
    Report(SERVICE_STOPPED);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "normal";
    if (mode == "noconnect") {
        std::this_thread::sleep_for(std::chrono::seconds(600));
        return 0;
    }
    if (mode == "exit-early")
        return 3;
    Log(std::string("winsta ") + (getenv("WIN32POSIX_WINSTA") ? getenv("WIN32POSIX_WINSTA") : ""));
    if (mode == "terminate") {
        gTerminateMode = true;
        return TerminateMode();
    }
    char name[] = "ignored";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!KeepsLastError("StartServiceCtrlDispatcherA",
                        [&] { return StartServiceCtrlDispatcherA(table); })) {
        Log("dispatcher failed " + std::to_string(GetLastError()));
        return 1;
    }
    Log("dispatcher returned");
    return 0;
}
