// The benchmark's service: RUNNING at once; its handler only reports (and
// stops on SERVICE_CONTROL_STOP).
#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

SERVICE_STATUS_HANDLE gHandle;
std::atomic<bool> gStop{false};

void Report(DWORD state) {
    SERVICE_STATUS st{SERVICE_WIN32_OWN_PROCESS, state, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    SetServiceStatus(gHandle, &st);
}

void WINAPI Handler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOPPED);
        gStop = true;
        return;
    }
    Report(SERVICE_RUNNING);
}

void WINAPI Main(DWORD, LPSTR* argv) {
    gHandle = RegisterServiceCtrlHandlerA(argv[0], Handler);
    Report(SERVICE_RUNNING);
}

} // namespace

int main() {
    char name[] = "bench";
    SERVICE_TABLE_ENTRYA table[] = {{name, Main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
