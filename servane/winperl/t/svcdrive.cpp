// svcdrive: starts, controls and watches a service for the Windows Perl
// tests, where no controller with every control verb is at hand.
//
//   svcdrive start NAME                  StartServiceA
//   svcdrive control NAME CODE           ControlService; prints the status it returns
//   svcdrive query NAME                  QueryServiceStatus
//   svcdrive wait NAME STATE SECONDS     prints every status seen until STATE
//
// A status prints as "status <state> <win32 exit> <specific exit> <accepted>"
// and a failure as "error <code>". Exit status: 0 done, 1 a failed call or a
// state not reached in time, 2 usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int Usage() {
    std::fprintf(stderr, "usage: svcdrive start|control|query|wait NAME [CODE | STATE SECONDS]\n");
    return 2;
}

int Failed() {
    std::printf("error %lu\n", GetLastError());
    return 1;
}

void Print(const SERVICE_STATUS& s) {
    std::printf("status %lu %lu %lu %lu\n", s.dwCurrentState, s.dwWin32ExitCode,
                s.dwServiceSpecificExitCode, s.dwControlsAccepted);
    std::fflush(stdout);
}

bool SameStatus(const SERVICE_STATUS& a, const SERVICE_STATUS& b) {
    return a.dwCurrentState == b.dwCurrentState && a.dwWin32ExitCode == b.dwWin32ExitCode &&
           a.dwServiceSpecificExitCode == b.dwServiceSpecificExitCode &&
           a.dwControlsAccepted == b.dwControlsAccepted;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return Usage();
    const char* verb = argv[1];
    const bool start = std::strcmp(verb, "start") == 0;
    const bool control = std::strcmp(verb, "control") == 0;
    const bool query = std::strcmp(verb, "query") == 0;
    const bool wait = std::strcmp(verb, "wait") == 0;
    if (!(start && argc == 3) && !(control && argc == 4) && !(query && argc == 3) &&
        !(wait && argc == 5))
        return Usage();

    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm)
        return Failed();
    SC_HANDLE service =
        OpenServiceA(scm, argv[2],
                     SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE |
                         SERVICE_USER_DEFINED_CONTROL | SERVICE_QUERY_STATUS);
    int rc = 0;
    SERVICE_STATUS status{};
    if (!service) {
        rc = Failed();
    } else if (start) {
        rc = StartServiceA(service, 0, nullptr) ? 0 : Failed();
    } else if (control) {
        const DWORD code = std::strtoul(argv[3], nullptr, 0);
        if (ControlService(service, code, &status))
            Print(status);
        else
            rc = Failed();
    } else if (query) {
        if (QueryServiceStatus(service, &status))
            Print(status);
        else
            rc = Failed();
    } else {
        const DWORD target = std::strtoul(argv[3], nullptr, 0);
        const DWORD deadline = GetTickCount() + 1000 * std::strtoul(argv[4], nullptr, 0);
        SERVICE_STATUS last{};
        last.dwCurrentState = 0xFFFFFFFF;
        rc = 1;
        while (static_cast<LONG>(deadline - GetTickCount()) > 0) {
            if (!QueryServiceStatus(service, &status)) {
                rc = Failed();
                break;
            }
            if (!SameStatus(status, last))
                Print(status);
            last = status;
            if (status.dwCurrentState == target) {
                rc = 0;
                break;
            }
            Sleep(20);
        }
    }
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(scm);
    return rc;
}
