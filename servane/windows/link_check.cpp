// Links the core into a Windows program, so that every Windows function it
// calls must resolve against the real import libraries. Running it (under
// Windows) prints a few results of the core.
#include <windows.h>

#include <cstdio>

#include "admin.h"
#include "constants.h"
#include "control.h"
#include "identity.h"
#include "runtime.h"
#include "service.h"

int main() {
    servane::ConstantResult running = servane::LookupConstant("SERVICE_RUNNING");
    char sid[175] = "";
    BYTE buffer[128] = {};
    if (GetProcessUserSid(GetCurrentProcess(), buffer, sizeof buffer))
        SidToString(sid, buffer);
    std::printf("SERVICE_RUNNING=%lu user=%s\n", static_cast<unsigned long>(running.number), sid);
    std::printf("command line: %s\n",
                servane::BuildCommandLine(servane::QuotePathForCreate("C:\\Program Files\\x.exe"),
                                          "-a")
                    .c_str());
    // Outside the service control manager the dispatcher fails at once and
    // the service is reported stopped.
    HANDLE thread = StartServiceThread();
    StopService();
    std::printf("dispatcher thread %p, state %lu\n", thread,
                static_cast<unsigned long>(gdwCurrentState.load()));
    servane::ServiceStatusInfo status;
    BOOL found = servane::QueryStatus(servane::ServiceTarget{"", "NoSuchService"}, status);
    std::printf("NoSuchService: %d, error %lu; on a service window station: %d\n", found,
                static_cast<unsigned long>(servane::gdwControlError),
                servane::IsServiceWindowStation());
    return 0;
}
