#pragma once
// Service control: starting, stopping, pausing and continuing services,
// sending them controls, reading and waiting for their status, listing
// services and their dependents, and their recovery settings, all through
// the service control manager. No Perl here: the glue of
// Win32::Servane::Control reads the script's arguments into these plain
// values and turns the results back into Perl values.
//
// Every function records the Windows error of the step that failed (the
// connection to the manager included) in gdwControlError, leaves it alone on
// success, and closes every handle it opened on every path.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace servane {

// Windows error code of the last failed control call.
extern DWORD gdwControlError;

// A service on a machine ("" is the local one).
struct ServiceTarget {
    std::string machine;
    std::string name;
};

// One service's status, as QueryServiceStatusEx reports it.
struct ServiceStatusInfo {
    DWORD serviceType = 0;
    DWORD state = 0;
    DWORD controlsAccepted = 0;
    DWORD win32ExitCode = 0;
    DWORD serviceExitCode = 0;
    DWORD checkPoint = 0;
    DWORD waitHint = 0;
    DWORD processId = 0;
};

// Starts the service with these arguments (after the service name, which
// the manager passes first).
BOOL StartNamedService(const ServiceTarget& target, const std::vector<std::string>& args);

// Sends a control code (stop, pause, continue, interrogate, a user-defined
// code 128..255, ...), asking for the right that the code needs.
BOOL SendServiceControl(const ServiceTarget& target, DWORD control);

BOOL QueryStatus(const ServiceTarget& target, ServiceStatusInfo& out);

// How a wait ended.
enum class WaitResult {
    Reached,     // the service is in the state
    TimedOut,    // ERROR_SERVICE_REQUEST_TIMEOUT recorded
    Stopped,     // it stopped while another state was awaited; its exit
                 // code (or ERROR_SERVICE_NOT_ACTIVE) recorded
    Failed,      // a manager call failed; its error recorded
    Interrupted, // keepWaiting said no
};

// Asked between polls; false ends the wait with Interrupted.
using KeepWaiting = bool (*)(void* context);

// What a wait has seen so far; kept by the caller when it resumes an
// interrupted wait.
struct WaitProgress {
    bool started = false;    // startTick is set
    DWORD startTick = 0;     // GetTickCount() when the wait began
    bool seenActive = false; // a state other than STOPPED was read
    ServiceStatusInfo last;  // the status last read
};

// Polls the service's status until it is in the state or the timeout (in
// milliseconds, counted from the first call with this progress) has passed. A service that was seen
// running or pending and then stops, while another state is awaited, ends the wait at once.
WaitResult WaitForState(const ServiceTarget& target, DWORD state, DWORD timeoutMs,
                        KeepWaiting keepWaiting, void* context, WaitProgress& progress);

// Valid service states: SERVICE_STOPPED to SERVICE_PAUSED.
bool IsServiceState(DWORD state);

// True when the process runs on a service window station ("Service-0x..."),
// where the service control manager starts services; false on an
// interactive one.
bool IsServiceWindowStation();

} // namespace servane
