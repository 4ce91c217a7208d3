// Failure counting and the choice of a failure action.
#include "recovery.h"

#include <algorithm>

namespace w32p::scm {

SC_ACTION ActionForFailure(const FailureActions& fa, DWORD n) {
    if (fa.actions.empty() || n == 0)
        return SC_ACTION{SC_ACTION_NONE, 0};
    return fa.actions[std::min<size_t>(n, fa.actions.size()) - 1];
}

bool FailureCountExpired(DWORD resetPeriod, int64_t lastFailure, int64_t now) {
    if (resetPeriod == INFINITE)
        return false;
    return now - lastFailure >= static_cast<int64_t>(resetPeriod);
}

bool RecordFailure(const std::string& name, RunEnd end, int64_t now, FailureStep& step) {
    if (end != RunEnd::Crashed && end != RunEnd::ErrorStop)
        return false;
    RegKey key;
    if (OpenServiceKey(name, KEY_ALL_ACCESS, key))
        return false;
    step.config = ReadFailureActions(key.get());
    if (step.config.actions.empty())
        return false;
    if (end == RunEnd::ErrorStop && !step.config.onNonCrashFailures)
        return false;
    DWORD count = 0;
    int64_t last = 0;
    DWORD type = 0, size = sizeof last;
    GetDword(key.get(), "FailureCount", count);
    if (RegQueryValueExA(key.get(), "FailureTime", nullptr, &type, reinterpret_cast<BYTE*>(&last),
                         &size) != ERROR_SUCCESS ||
        type != REG_QWORD)
        last = 0;
    if (count && FailureCountExpired(step.config.resetPeriod, last, now))
        count = 0;
    if (count < 0xFFFFFFFFu)
        ++count;
    SetDword(key.get(), "FailureCount", count);
    RegSetValueExA(key.get(), "FailureTime", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&now),
                   sizeof now);
    step.failureCount = count;
    step.action = ActionForFailure(step.config, count);
    return true;
}

} // namespace w32p::scm
