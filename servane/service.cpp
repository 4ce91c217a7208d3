#include "service.h"

#include "identity.h"

#include <cstdint>

namespace {

CallbackHook gCallbackHook = nullptr;

// The dispatch table: the manager ignores the name of an own-process service.
char gszServiceName[] = "GROWL!";
SERVICE_TABLE_ENTRYA gDispatchTable[] = {{gszServiceName, ServiceMain}, {nullptr, nullptr}};

constexpr DWORD kStartTimeoutSeconds = 10;
constexpr int kQuitPosts = 5;
constexpr DWORD kQuitPostInterval = 100;
constexpr DWORD kStopGrace = 1000;
constexpr DWORD kUserServiceBits = 0x3FC0C000;

using SetServiceBitsProc = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, DWORD, BOOL, BOOL);

} // namespace

const CallbackEvent kCallbackEvents[kCallbackEventCount] = {
    {"running", kServiceControlRunning},
    {"timer", kServiceControlTimer},
    {"start", kServiceControlStart},
    {"stop", SERVICE_CONTROL_STOP},
    {"pause", SERVICE_CONTROL_PAUSE},
    {"continue", SERVICE_CONTROL_CONTINUE},
    {"interrogate", SERVICE_CONTROL_INTERROGATE},
    {"shutdown", SERVICE_CONTROL_SHUTDOWN},
    {"param_change", SERVICE_CONTROL_PARAMCHANGE},
    {"net_bind_add", SERVICE_CONTROL_NETBINDADD},
    {"net_bind_remove", SERVICE_CONTROL_NETBINDREMOVE},
    {"net_bind_enable", SERVICE_CONTROL_NETBINDENABLE},
    {"net_bind_disable", SERVICE_CONTROL_NETBINDDISABLE},
    {"device_event", SERVICE_CONTROL_DEVICEEVENT},
    {"hardware_profile_change", SERVICE_CONTROL_HARDWAREPROFILECHANGE},
    {"power_event", SERVICE_CONTROL_POWEREVENT},
    {"session_change", SERVICE_CONTROL_SESSIONCHANGE},
    {"user_defined", kServiceControlUserDefined},
};

void SetCallbackHook(CallbackHook hook) {
    gCallbackHook = hook;
}

void RegisterCallbackForAll(struct cv* callback) {
    gCallbackTable.SetCallback(kServiceControlTimer, callback);
    gCallbackTable.SetCallback(kServiceControlStart, callback);
    for (DWORD code = SERVICE_CONTROL_STOP; code <= SERVICE_CONTROL_SESSIONCHANGE; ++code)
        gCallbackTable.SetCallback(code, callback);
    gCallbackTable.SetCallback(kServiceControlUserDefined, callback);
    gCallbackTable.SetCallback(kServiceControlRunning, callback);
}

// --- The dispatcher thread and ServiceMain -----------------------------------

HANDLE StartServiceThread() {
    if (HANDLE running = ghServiceThread.load())
        return running;
    LoadProfileHiveOnce(gpProcessSid);
    GetDesktopWindow();
    GetWindow(nullptr, GW_HWNDFIRST);
    // ServiceMain raises the start event only in callback mode, and it may run
    // before the Perl thread reaches its loop: switch the mode on first.
    if (gCallbackTable.Count() != 0)
        gfCallbackMode = 1;
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, ServiceThreadProc, nullptr, 0, &threadId);
    if (!thread) {
        gfCallbackMode = 0;
        return nullptr;
    }
    gdwServiceThreadId = threadId;
    ghServiceThread = thread;
    return thread;
}

DWORD WINAPI ServiceThreadProc(LPVOID) {
    BOOL dispatched = StartServiceCtrlDispatcherA(gDispatchTable);
    UpdateServiceStatus(SERVICE_STOPPED, 0, 0xFFFFFFFF);
    // After a service run (ServiceMain had its status handle) the manager
    // has let go of the service: a callback loop still running has nothing
    // more to wait for. Outside the manager (no run) the loop goes on.
    if (ghServiceStatus.load() && gfCallbackMode)
        PostThreadMessageA(gdwPerlThreadId, kServiceEndedMessage, 0, 0);
    return dispatched ? 1 : 0;
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
    gdwServiceMainThreadId = GetCurrentThreadId();
    ArmStateTimer(kStartTimeoutSeconds);
    const char* name = (argc > 0 && argv && argv[0]) ? argv[0] : "";
    ghServiceStatus = RegisterServiceCtrlHandlerA(name, ServiceCtrlHandler);
    if (!ghServiceStatus.load()) {
        gdwCurrentState = SERVICE_STOPPED;
        return;
    }
    if (gdwCurrentState == kServiceNotReady) {
        gdwCurrentState = SERVICE_START_PENDING;
        if (gfCallbackMode)
            ServiceCtrlHandler(kServiceControlStart);
    }
    if (DWORD bits = gdwServiceBits)
        My_SetServiceBits(ghServiceStatus, bits, TRUE, TRUE);
    GetDesktopWindow();
    GetWindow(nullptr, GW_HWNDFIRST);
    RunServiceMainLoop();
    UpdateServiceStatus(gdwCurrentState, 0, 0xFFFFFFFF);
}

void RunServiceMainLoop() {
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) == 1) {
        switch (message.message) {
        case WM_TIMER:
            // A timer voided by a report since its arming, or one already
            // killed, ends here without reporting.
            if (!IsStateTimerLive(message.wParam)) {
                CancelStateTimer(0);
                break;
            }
            [[fallthrough]];
        case WM_QUERYENDSESSION:
        case WM_ENDSESSION:
            KillStateTimer();
            UpdateServiceStatus(gdwTargetState, 0, 0xFFFFFFFF);
            TranslateMessage(&message);
            DispatchMessageA(&message);
            break;
        case WM_USER:
            StartStateTimer(static_cast<UINT>(message.wParam), static_cast<DWORD>(message.lParam),
                            StateTimerProc);
            break;
        default:
            TranslateMessage(&message);
            DispatchMessageA(&message);
            break;
        }
    }
}

DWORD ArmStateTimer(LONG seconds) {
    KillStateTimer();
    DWORD ticket = ++gdwStateTimerTicket;
    // Milliseconds as a 32-bit value, as SetTimer takes them; values above
    // its maximum are clamped when the timer starts.
    auto milliseconds = static_cast<DWORD>(static_cast<int64_t>(seconds) * 1000);
    PostThreadMessageA(gdwServiceMainThreadId, WM_USER, milliseconds, static_cast<LPARAM>(ticket));
    return ticket;
}

void CALLBACK StateTimerProc(HWND, UINT, UINT_PTR, DWORD) {
    KillStateTimer();
    DWORD target = gdwTargetState;
    gdwCurrentState = target;
    UpdateServiceStatus(target, 0, 0xFFFFFFFF);
}

void WINAPI ServiceCtrlHandler(DWORD control) {
    DWORD state = gdwCurrentState;
    bool arm = true;
    switch (control) {
    case SERVICE_CONTROL_STOP:
        gdwTargetState = SERVICE_STOPPED;
        state = SERVICE_STOP_PENDING;
        break;
    case SERVICE_CONTROL_PAUSE:
        gdwTargetState = SERVICE_PAUSED;
        if (state != SERVICE_PAUSED)
            state = SERVICE_PAUSE_PENDING;
        break;
    case SERVICE_CONTROL_CONTINUE:
        gdwTargetState = SERVICE_RUNNING;
        if (state == SERVICE_PAUSED)
            state = SERVICE_CONTINUE_PENDING;
        break;
    case kServiceControlStart:
        gdwTargetState = SERVICE_RUNNING;
        state = SERVICE_START_PENDING;
        break;
    default:
        arm = false;
        break;
    }
    gdwLastMessage = static_cast<LONG>(control);
    if (arm) {
        DWORD ticket = ArmStateTimer(gdwTimeout);
        UpdateServiceStatusSparing(state, 0, 0xFFFFFFFF, ticket);
    } else {
        // A control that moves nothing (interrogate, shutdown, ...) only
        // repeats the state; it leaves a pending automatic report alone.
        UpdateServiceStatusSparing(state, 0, 0xFFFFFFFF, 1);
    }
    if (gfCallbackMode)
        PostThreadMessageA(gdwPerlThreadId, kControlMessage, control & 0xFFFF, 0);
}

BOOL My_SetServiceBits(SERVICE_STATUS_HANDLE handle, DWORD bits, BOOL setBitsOn,
                       BOOL updateImmediately) {
    HMODULE advapi = LoadLibraryA("AdvApi32.dll");
    if (!advapi)
        return FALSE;
    auto setBits = reinterpret_cast<SetServiceBitsProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(advapi, "SetServiceBits")));
    if (!setBits)
        return FALSE;
    setBits(ghServiceStatus, 0xFFFFFFFF, FALSE, FALSE);
    return setBits(handle, bits & kUserServiceBits, setBitsOn, updateImmediately);
}

// --- The callback loop (Perl thread) -------------------------------------------

HANDLE RunCallbackLoop(LONG period) {
    if (gCallbackTable.Count() == 0)
        return ghServiceThread;
    gfCallbackMode = 1;
    gCallbackTimer.SetPeriod(period);
    gCallbackTimer.Start();
    // A Perl error in a callback unwinds through this frame with longjmp: it
    // holds nothing that needs a destructor.
    MSG message;
    while (gfCallbackMode) {
        BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        if (message.message == kServiceEndedMessage) {
            gfCallbackMode = 0;
            break;
        }
        TranslateMessage(&message);
        DispatchCallbackMessage(message);
    }
    gCallbackTimer.Stop();
    return ghServiceThread;
}

void DispatchCallbackMessage(const MSG& message) {
    DWORD event;
    if (message.message == WM_TIMER)
        event = kServiceControlTimer;
    else if (message.message == kControlMessage)
        event = static_cast<DWORD>(message.wParam);
    else
        return;
    // The timer pauses while a callback runs, so ticks never pile up.
    if (gCallbackTimer.IsRunning()) {
        gCallbackTimer.Stop();
        InvokeCallback(event, ghvContext);
        gCallbackTimer.Start();
    } else {
        InvokeCallback(event, ghvContext);
    }
}

bool InvokeCallback(DWORD event, struct hv* context) {
    struct cv* callback = gCallbackTable.GetCallback(event);
    if (event == kServiceControlTimer) {
        if (struct cv* running = gCallbackTable.GetCallback(kServiceControlRunning)) {
            callback = running;
            event = kServiceControlRunning;
        }
    }
    if (!callback || !gCallbackHook)
        return false;
    bool hasState = false;
    DWORD state = 0;
    if (!gCallbackHook(callback, event, context, &hasState, &state))
        return false;
    if (hasState)
        UpdateServiceStatus(state, 0, 0xFFFFFFFF);
    return true;
}

// --- Stopping -------------------------------------------------------------------

BOOL StopService() {
    for (int post = 0; post < kQuitPosts; ++post) {
        if (!PostThreadMessageA(gdwServiceMainThreadId, WM_QUIT, 0, 0))
            break;
        Sleep(kQuitPostInterval);
    }
    BOOL result = FALSE;
    HANDLE thread = ghServiceThread;
    DWORD exitCode = 0;
    if (GetExitCodeThread(thread, &exitCode)) {
        if (exitCode == STILL_ACTIVE) {
            UpdateServiceStatus(SERVICE_STOP_PENDING, 0, 0xFFFFFFFF);
            Sleep(kStopGrace);
            if (GetExitCodeThread(thread, &exitCode) && exitCode == STILL_ACTIVE)
                TerminateThread(thread, 0);
        }
        UpdateServiceStatus(SERVICE_STOPPED, 0, 0xFFFFFFFF);
        result = TRUE;
    }
    gfCallbackMode = 0;
    return result;
}
