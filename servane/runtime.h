#pragma once
// The module state of the service library: module-wide variables that live
// from load to process end, the two small classes that live in it, and
// UpdateServiceStatus, the one place a SERVICE_STATUS is built and sent.
//
// Three threads share this state (the Perl thread, the dispatcher thread and
// the ServiceMain thread) without locks: every variable they share is one
// 32-bit word, read and written whole (std::atomic keeps that well defined).
#include <windows.h>

#include <atomic>

class CWinStation;

// Perl's code and hash values, passed through the runtime untouched. The
// runtime never looks inside them; the Perl glue does (see CallbackHook in
// service.h).
struct cv;
struct hv;

// The library's own event codes, beside the Windows SERVICE_CONTROL_* values.
constexpr DWORD kServiceNotReady = 0;
constexpr DWORD kServiceControlNone = 0xFFFFFFFF;
constexpr DWORD kServiceControlStart = 0x1010;
constexpr DWORD kServiceControlTimer = 0x1020;
constexpr DWORD kServiceControlUserDefined = 0x1030;
constexpr DWORD kServiceControlRunning = 0x1040;

// A thread timer without window or timer procedure: its WM_TIMER messages
// land in the queue of the thread that started it.
class CTimer {
public:
    CTimer() = default;
    ~CTimer();
    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

    // Kills a running timer; true when it no longer runs.
    bool Stop();
    // Starts the timer on the calling thread unless it runs already or its
    // period is 0; true when it runs afterwards.
    bool Start();
    // A negative period changes nothing. A running timer restarts with the
    // new period. Returns the period.
    LONG SetPeriod(LONG milliseconds);
    // The id asked of SetTimer; a running timer restarts with it.
    DWORD SetId(DWORD id);

    LONG Period() const { return m_lPeriod; }
    bool IsRunning() const { return m_uRunningId != 0; }
    UINT_PTR RunningId() const { return m_uRunningId; }

private:
    LONG m_lPeriod = 0;
    UINT_PTR m_uRunningId = 0;
    DWORD m_dwRequestedId = 0;
};

// The registered Perl callbacks, one slot per event code. The code values are
// not owned: the script keeps its subroutines alive.
class CCallbackTable {
public:
    static constexpr int kSlots = 19;

    // Slot of an event code, or -1 for a code without one.
    static int SlotOf(DWORD code);

    struct cv* GetCallback(DWORD code) const;
    // False for a code without a slot; otherwise stores cv (null clears).
    bool SetCallback(DWORD code, struct cv* callback);
    // Filled slots; non-zero means callback mode is wanted.
    LONG Count() const { return m_lCount; }

private:
    struct cv* m_apCallbacks[kSlots] = {};
    LONG m_lCount = 0;
};

// Module state (see the variable table of the service runtime).
extern OSVERSIONINFOA gOsVersion;
extern std::atomic<SERVICE_STATUS_HANDLE> ghServiceStatus;
extern std::atomic<DWORD> gdwServiceType;
extern std::atomic<DWORD> gdwCurrentState;
extern std::atomic<DWORD> gdwTargetState;
extern std::atomic<DWORD> gdwControlsAccepted;
extern std::atomic<LONG> gdwTimeout;
extern std::atomic<LONG> gdwLastMessage;
extern std::atomic<LONG> gdwServiceError;
extern std::atomic<DWORD> gdwServiceBits;
// Windows error code of the last failed administration call; returned to
// scripts by Win32::Servane::GetLastError.
extern DWORD gdwLastError;
extern std::atomic<HANDLE> ghServiceThread;
extern std::atomic<DWORD> gdwServiceThreadId;
extern std::atomic<DWORD> gdwServiceMainThreadId;
extern std::atomic<DWORD> gdwPerlThreadId;
extern std::atomic<BOOL> gfCallbackMode;
// Pending-state timer of the ServiceMain thread; only that thread touches it.
extern UINT_PTR gdwStateTimerId;
extern struct hv* ghvContext;
extern PSID gpProcessSid;
extern CWinStation gWinStation;
extern CCallbackTable gCallbackTable;
extern CTimer gCallbackTimer;

// Builds one SERVICE_STATUS from the module state and sends it. An error of
// -1 (0xFFFFFFFF) repeats the stored service-specific error. Cancels the
// pending-state timer.
BOOL UpdateServiceStatus(DWORD state, DWORD waitHint, DWORD error);

// The status report of the control handler: like UpdateServiceStatus, but it
// spares the arming the handler has just made (ticket from ArmStateTimer),
// which takes effect after this report.
BOOL UpdateServiceStatusSparing(DWORD state, DWORD waitHint, DWORD error, DWORD ticket);

// Voids every arming up to the ticket (0 voids none); on the ServiceMain
// thread also kills a running timer whose arming is void. KillTimer's result,
// or 0 if no timer was killed.
BOOL CancelStateTimer(DWORD ticket);

// Cancels the pending-state timer: every arming made so far is void. On the
// ServiceMain thread the timer is killed at once; returns KillTimer's result,
// or 0 if no timer was killed.
BOOL KillStateTimer();

// Pending-state timer bookkeeping (see service.cpp): tickets number the
// armings; every ticket up to gdwStateTimerCancelled is void.
extern std::atomic<DWORD> gdwStateTimerTicket;
extern std::atomic<DWORD> gdwStateTimerCancelled;

// Starts the pending-state timer of an arming (ServiceMain thread only): a
// running one is stopped first; an arming voided by a later report, or older
// than the running timer, starts nothing.
void StartStateTimer(UINT milliseconds, DWORD ticket, TIMERPROC proc);

// True when the timer id is the running pending-state timer and no report
// has voided its arming since (ServiceMain thread only).
bool IsStateTimerLive(UINT_PTR id);

// Sets every module-state variable to its value at load.
void InitializeModuleState();

#ifndef DLL_PROCESS_ATTACH
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
#endif

// The library entry point; always TRUE.
extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);
