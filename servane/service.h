#pragma once
// The service run: the dispatcher thread, ServiceMain and its message loop,
// the control handler's state machine, the pending-state timer, the callback
// loop of the Perl thread and the stop sequence. Plain values only; Perl is
// reached through the one hook below.
#include "runtime.h"

// Message of a control for the callback loop (wParam = control or event code).
constexpr UINT kControlMessage = 0xFFFF;
// Message to the callback loop from the dispatcher thread as it ends after
// a service run: the manager has let go of the service, the loop ends.
constexpr UINT kServiceEndedMessage = 0xFFFE;
// Id asked of SetTimer for the pending-state timer.
constexpr UINT_PTR kStateTimerId = 0x6502;

// Calls one Perl callback with the event code and the context hash (null:
// the hook makes a fresh hash). Returns false when it could not call
// (no interpreter on this thread); sets *hasState and *state when the
// callback returned an integer.
using CallbackHook = bool (*)(struct cv* callback, DWORD event, struct hv* context, bool* hasState,
                              DWORD* state);
void SetCallbackHook(CallbackHook hook);

// The event names a hash registration reads, in the order it reads them.
struct CallbackEvent {
    const char* name;
    DWORD code;
};
constexpr int kCallbackEventCount = 18;
extern const CallbackEvent kCallbackEvents[kCallbackEventCount];

// Stores one callback in every slot.
void RegisterCallbackForAll(struct cv* callback);

// Starts the dispatcher thread once per process and returns its handle (the
// old one on later calls; null when CreateThread fails). When callbacks are
// registered, callback mode is switched on before the thread starts, so that
// ServiceMain sees it.
HANDLE StartServiceThread();

// The callback loop on the Perl thread: returns at once without registered
// callbacks, else runs until StopService clears callback mode, the
// dispatcher thread ends after a service run, or the queue ends. Returns
// ghServiceThread.
HANDLE RunCallbackLoop(LONG period);

void DispatchCallbackMessage(const MSG& message);
bool InvokeCallback(DWORD event, struct hv* context);

// Ends the service run: quits ServiceMain's loop, ends the dispatcher thread
// (by force after about a second), reports SERVICE_STOPPED and ends the
// callback loop. 1 when the dispatcher thread existed, else 0.
BOOL StopService();

DWORD WINAPI ServiceThreadProc(LPVOID);
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI ServiceCtrlHandler(DWORD control);
void CALLBACK StateTimerProc(HWND, UINT, UINT_PTR, DWORD);

// Asks the ServiceMain thread to start the pending-state timer; returns the
// arming's ticket.
DWORD ArmStateTimer(LONG seconds);

// Announces the service bits (user-definable bits only) after clearing all.
BOOL My_SetServiceBits(SERVICE_STATUS_HANDLE handle, DWORD bits, BOOL setBitsOn,
                       BOOL updateImmediately);

// The message loop of ServiceMain, from its first message to WM_QUIT or a
// failing GetMessageA.
void RunServiceMainLoop();
