#pragma once
// Failure actions, decided as Windows' manager decides them. A run has
// failed when its process ended without reporting SERVICE_STOPPED, or, with
// the actions flag set, when it reported SERVICE_STOPPED with a non-zero
// dwWin32ExitCode. The failure count lives in the service's key
// ("FailureCount", and "FailureTime" in seconds since the epoch); a failure
// more than the reset period after the previous one counts as the first.
// The Nth failure takes the Nth action, the last action repeating.
#include "database.h"

#include <cstdint>
#include <string>

namespace w32p::scm {

enum class RunEnd {
    NotRun,    // no process ran, or the manager ended it (start timeout)
    Stopped,   // SERVICE_STOPPED with exit code 0
    ErrorStop, // SERVICE_STOPPED with a non-zero exit code
    Crashed,   // the process ended without reporting SERVICE_STOPPED
};

struct FailureStep {
    SC_ACTION action{};
    DWORD failureCount = 0;
    FailureActions config;
};

// The action for the n-th failure (n >= 1) under these settings.
SC_ACTION ActionForFailure(const FailureActions& fa, DWORD n);

// Whether the count restarts: the reset period has passed since the last
// failure (INFINITE never passes).
bool FailureCountExpired(DWORD resetPeriod, int64_t lastFailure, int64_t now);

// Counts the end of a run of the service when it is a failure with actions
// configured, and says what to do. False: nothing to do.
bool RecordFailure(const std::string& name, RunEnd end, int64_t now, FailureStep& step);

} // namespace w32p::scm
