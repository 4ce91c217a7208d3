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

// One service of a list: its key and display names and its status.
// Dependents come from the manager without a process id (hasProcessId
// false, status.processId 0).
struct ServiceEntry {
    std::string name;
    std::string display;
    ServiceStatusInfo status;
    bool hasProcessId = true;
};

// The services of the machine's manager ("" is the local one) whose type
// has a bit of `type` (SERVICE_WIN32, SERVICE_DRIVER, ...) and whose state
// is in `state` (SERVICE_ACTIVE, SERVICE_INACTIVE or SERVICE_STATE_ALL),
// in the manager's order.
BOOL ListServices(const std::string& machine, DWORD type, DWORD state,
                  std::vector<ServiceEntry>& out);

// Every service that depends on the target, directly or through others, in
// the order in which they would be stopped: each before those it needs.
BOOL ListDependents(const ServiceTarget& target, std::vector<ServiceEntry>& out);

// One recovery action: SC_ACTION_NONE, _RESTART, _REBOOT or _RUN_COMMAND,
// taken after delayMs milliseconds.
struct FailureAction {
    DWORD type = SC_ACTION_NONE;
    DWORD delayMs = 0;
};

// A service's recovery settings. When changing them an absent part stays
// as it is; an empty string or action list removes that part. When reading
// them the reset period and the action list are always there, the strings
// only when set, and nonCrashFailures only where the manager has it
// (SERVICE_CONFIG_FAILURE_ACTIONS_FLAG).
struct FailureSettings {
    std::optional<DWORD> resetPeriod; // seconds without failure; INFINITE: never
    std::optional<std::string> rebootMessage;
    std::optional<std::string> command;
    std::optional<std::vector<FailureAction>> actions;
    std::optional<bool> nonCrashFailures; // also act on a stop with an error
};

BOOL QueryFailureSettings(const ServiceTarget& target, FailureSettings& out);

// A reset period without actions keeps the present actions, and actions
// without a reset period the present period. Restart actions need
// SERVICE_START on the service; for reboot actions the shutdown privilege
// is switched on for the call.
BOOL ChangeFailureSettings(const ServiceTarget& target, const FailureSettings& settings);

// Whether an automatic service starts after the other automatic ones.
BOOL QueryDelayedStart(const ServiceTarget& target, bool& delayed);
BOOL ChangeDelayedStart(const ServiceTarget& target, bool delayed);

// Valid service states: SERVICE_STOPPED to SERVICE_PAUSED.
bool IsServiceState(DWORD state);

// True when the process runs on a service window station ("Service-0x..."),
// where the service control manager starts services; false on an
// interactive one.
bool IsServiceWindowStation();

} // namespace servane
