#include "runtime.h"

#include "identity.h"
#include "winstation.h"

#include <cstdlib>

namespace {

constexpr DWORD kSidBufferSize = 128;
constexpr DWORD kCallbackTimerId = 257;
constexpr LONG kCallbackTimerPeriod = 5000;

// Slot of each event code in the callback table: the library's timer and
// start events first, the Windows controls 1 to 14 after them, slot 16 unused.
constexpr int kTimerSlot = 0;
constexpr int kStartSlot = 1;
constexpr int kUserDefinedSlot = 17;
constexpr int kRunningSlot = 18;

// The ticket of the running pending-state timer (ServiceMain thread only).
DWORD gdwStateTimerRunningTicket = 0;

} // namespace

// Module state. The atomics are constant-initialised, before any code of the
// library runs; the attach step below gives them their values at load.
OSVERSIONINFOA gOsVersion = {};
std::atomic<SERVICE_STATUS_HANDLE> ghServiceStatus{nullptr};
std::atomic<DWORD> gdwServiceType{0x110};
std::atomic<DWORD> gdwCurrentState{kServiceNotReady};
std::atomic<DWORD> gdwTargetState{SERVICE_START_PENDING};
std::atomic<DWORD> gdwControlsAccepted{0};
std::atomic<LONG> gdwTimeout{5}; // set once when loaded; attach keeps it
std::atomic<LONG> gdwLastMessage{-1};
std::atomic<LONG> gdwServiceError{0};
std::atomic<DWORD> gdwServiceBits{0};
DWORD gdwLastError = 0;
std::atomic<HANDLE> ghServiceThread{nullptr};
std::atomic<DWORD> gdwServiceThreadId{0};
std::atomic<DWORD> gdwServiceMainThreadId{0};
std::atomic<DWORD> gdwPerlThreadId{0};
std::atomic<BOOL> gfCallbackMode{0};
UINT_PTR gdwStateTimerId = 0;
struct hv* ghvContext = nullptr;
PSID gpProcessSid = nullptr;
std::atomic<DWORD> gdwStateTimerTicket{0};
std::atomic<DWORD> gdwStateTimerCancelled{0};

// Constructed in this order when the library is loaded; the attach steps
// (end of file) run after them.
CWinStation gWinStation;
CCallbackTable gCallbackTable;
CTimer gCallbackTimer;

// --- CTimer -----------------------------------------------------------------

CTimer::~CTimer() {
    Stop();
}

bool CTimer::Stop() {
    if (!m_uRunningId)
        return true;
    if (!KillTimer(nullptr, m_uRunningId))
        return false;
    m_uRunningId = 0;
    return true;
}

bool CTimer::Start() {
    if (m_uRunningId || m_lPeriod == 0)
        return IsRunning();
    m_uRunningId = SetTimer(nullptr, m_dwRequestedId, static_cast<UINT>(m_lPeriod), nullptr);
    return m_uRunningId != 0;
}

LONG CTimer::SetPeriod(LONG milliseconds) {
    if (milliseconds < 0)
        return m_lPeriod;
    bool wasRunning = IsRunning();
    Stop();
    m_lPeriod = milliseconds;
    if (wasRunning)
        Start();
    return m_lPeriod;
}

DWORD CTimer::SetId(DWORD id) {
    bool wasRunning = IsRunning();
    Stop();
    m_dwRequestedId = id;
    if (wasRunning)
        Start();
    return m_dwRequestedId;
}

// --- CCallbackTable ---------------------------------------------------------

int CCallbackTable::SlotOf(DWORD code) {
    switch (code) {
    case kServiceControlTimer:
        return kTimerSlot;
    case kServiceControlStart:
        return kStartSlot;
    case kServiceControlUserDefined:
        return kUserDefinedSlot;
    case kServiceControlRunning:
        return kRunningSlot;
    default:
        if (code >= SERVICE_CONTROL_STOP && code <= SERVICE_CONTROL_SESSIONCHANGE)
            return static_cast<int>(code) + 1;
        return -1;
    }
}

struct cv* CCallbackTable::GetCallback(DWORD code) const {
    int slot = SlotOf(code);
    return slot < 0 ? nullptr : m_apCallbacks[slot];
}

bool CCallbackTable::SetCallback(DWORD code, struct cv* callback) {
    int slot = SlotOf(code);
    if (slot < 0)
        return false;
    if (!m_apCallbacks[slot] && callback && m_lCount < kSlots)
        ++m_lCount;
    else if (m_apCallbacks[slot] && !callback && m_lCount > 0)
        --m_lCount;
    m_apCallbacks[slot] = callback;
    return true;
}

// --- Status reports and the pending-state timer -----------------------------
//
// The pending-state timer is a thread timer of the ServiceMain thread, so only
// that thread can kill it. Every arming gets a ticket (ArmStateTimer), and a
// status report voids the armings made before it by raising
// gdwStateTimerCancelled; the ServiceMain thread kills a voided timer when it
// fires (or at once, when the report is made on that thread) instead of
// reporting. The control handler's own report spares the ticket it has just
// issued, whose timer starts only when the ServiceMain thread takes the
// arm-timer message.

namespace {

void CancelArmingsUpTo(DWORD ticket) {
    DWORD current = gdwStateTimerCancelled.load();
    while (current < ticket && !gdwStateTimerCancelled.compare_exchange_weak(current, ticket)) {
    }
}

} // namespace

BOOL CancelStateTimer(DWORD ticket) {
    CancelArmingsUpTo(ticket);
    if (GetCurrentThreadId() != gdwServiceMainThreadId.load() || gdwStateTimerId == 0)
        return FALSE;
    if (gdwStateTimerRunningTicket > gdwStateTimerCancelled.load())
        return FALSE;
    BOOL killed = KillTimer(nullptr, gdwStateTimerId);
    gdwStateTimerId = 0;
    return killed;
}

namespace {

BOOL SendStatus(DWORD state, DWORD waitHint, DWORD error, DWORD cancelUpTo) {
    SERVICE_STATUS status = {};
    status.dwServiceType = gdwServiceType;
    status.dwCurrentState = state;
    status.dwControlsAccepted = gdwControlsAccepted;
    status.dwCheckPoint = 0;
    status.dwWaitHint = waitHint;
    gdwCurrentState = state;
    CancelStateTimer(cancelUpTo);
    LONG serviceError;
    if (error == 0xFFFFFFFF) {
        serviceError = gdwServiceError;
    } else {
        serviceError = static_cast<LONG>(error);
        gdwServiceError = serviceError;
    }
    if (serviceError != 0) {
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = static_cast<DWORD>(serviceError);
    }
    BOOL sent = SetServiceStatus(ghServiceStatus, &status);
    // Reports made at the same moment on two threads (the control handler
    // and the script) can reach the manager in the other order than they
    // changed gdwCurrentState, leaving the manager with a state the service
    // has left. A report overtaken that way repeats the current state.
    for (int repeat = 0; repeat < 4; ++repeat) {
        DWORD current = gdwCurrentState;
        if (current == status.dwCurrentState)
            break;
        LONG currentError = gdwServiceError;
        status.dwCurrentState = current;
        status.dwWaitHint = 0;
        status.dwWin32ExitCode = currentError ? ERROR_SERVICE_SPECIFIC_ERROR : 0;
        status.dwServiceSpecificExitCode = static_cast<DWORD>(currentError);
        sent = SetServiceStatus(ghServiceStatus, &status);
    }
    return sent;
}

} // namespace

BOOL UpdateServiceStatus(DWORD state, DWORD waitHint, DWORD error) {
    return SendStatus(state, waitHint, error, gdwStateTimerTicket.load());
}

BOOL UpdateServiceStatusSparing(DWORD state, DWORD waitHint, DWORD error, DWORD ticket) {
    return SendStatus(state, waitHint, error, ticket ? ticket - 1 : 0);
}

BOOL KillStateTimer() {
    return CancelStateTimer(gdwStateTimerTicket.load());
}

void StartStateTimer(UINT milliseconds, DWORD ticket, TIMERPROC proc) {
    if (ticket <= gdwStateTimerCancelled.load() ||
        (gdwStateTimerId != 0 && ticket < gdwStateTimerRunningTicket)) {
        return; // voided before it took effect, or older than the running one
    }
    if (gdwStateTimerId != 0) {
        KillTimer(nullptr, gdwStateTimerId);
        gdwStateTimerId = 0;
    }
    if (milliseconds > USER_TIMER_MAXIMUM)
        milliseconds = USER_TIMER_MAXIMUM;
    gdwStateTimerRunningTicket = ticket;
    gdwStateTimerId = SetTimer(nullptr, 0x6502, milliseconds, proc);
}

bool IsStateTimerLive(UINT_PTR id) {
    return gdwStateTimerId != 0 && id == gdwStateTimerId &&
           gdwStateTimerRunningTicket > gdwStateTimerCancelled.load();
}

// --- Load ---------------------------------------------------------------------

void InitializeModuleState() {
    gfCallbackMode = 0;
    ghvContext = nullptr;
    gdwLastError = 0;
    gdwServiceError = 0;
    ghServiceStatus = nullptr;
    ghServiceThread = nullptr;
    gdwServiceThreadId = 0;
    gdwServiceMainThreadId = 0;

    gCallbackTimer.SetId(kCallbackTimerId);
    gCallbackTimer.SetPeriod(kCallbackTimerPeriod);

    gdwPerlThreadId = GetCurrentThreadId();
    gdwLastMessage = -1;
    gdwTargetState = SERVICE_START_PENDING;
    DWORD major = gOsVersion.dwMajorVersion;
    gdwControlsAccepted = major <= 4 ? 7 : major <= 6 ? 31 : 0;
    gdwServiceType = 0x110;
    gdwServiceBits = 0;
    gdwCurrentState = kServiceNotReady;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID) {
    gOsVersion = {};
    gOsVersion.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!GetVersionExA(&gOsVersion)) {
        gOsVersion = {};
        gOsVersion.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    }
    if (dwReason != DLL_PROCESS_ATTACH)
        return TRUE;

    InitializeModuleState();

    // The SID buffer lives until the process ends.
    gpProcessSid = std::calloc(1, kSidBufferSize);
    if (!gpProcessSid)
        return TRUE;
    if (GetProcessUserSid(GetCurrentProcess(), gpProcessSid, kSidBufferSize)) {
        // The user's hive is loaded when the registry is first needed
        // (LoadProfileHiveOnce), so that loading creates no file.
        gWinStation.SetSid(gpProcessSid);
    }
    return TRUE;
}

#ifndef _WIN32
namespace {
// The loader's process attach: runs after the three objects above, which are
// defined earlier in this file.
struct ProcessAttach {
    ProcessAttach() { DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr); }
} gProcessAttach;
} // namespace
#endif
