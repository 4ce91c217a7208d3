// The service runtime driven from C++: the callback table, the callback
// timer, status bookkeeping, the control handler's state table, the
// pending-state timer and the callback loop, over the Windows layer's real
// threads, queues and timers (no service control manager: reports fail).
#include "runtime.h"
#include "service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct cv* FakeCv(int n) {
    return reinterpret_cast<struct cv*>(static_cast<uintptr_t>(0x1000 + n));
}

// Waits up to `ms` for the condition.
template <class F> bool WaitFor(F condition, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Takes every queued message of the calling thread; returns those of one kind.
std::vector<MSG> Drain(UINT kind) {
    std::vector<MSG> found;
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
        if (m.message == kind)
            found.push_back(m);
    return found;
}

class Runtime : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeModuleState();
        gdwTimeout = 5;
        for (DWORD code : {kServiceControlTimer, kServiceControlStart, kServiceControlUserDefined,
                           kServiceControlRunning})
            gCallbackTable.SetCallback(code, nullptr);
        for (DWORD code = 1; code <= 14; ++code)
            gCallbackTable.SetCallback(code, nullptr);
        SetCallbackHook(nullptr);
        Drain(0);
    }
};

// --- CCallbackTable -------------------------------------------------------------

TEST(CallbackTable, SlotsOfEventCodes) {
    EXPECT_EQ(CCallbackTable::SlotOf(0x1020), 0);
    EXPECT_EQ(CCallbackTable::SlotOf(0x1010), 1);
    for (DWORD code = 1; code <= 14; ++code)
        EXPECT_EQ(CCallbackTable::SlotOf(code), static_cast<int>(code) + 1);
    EXPECT_EQ(CCallbackTable::SlotOf(0x1030), 17);
    EXPECT_EQ(CCallbackTable::SlotOf(0x1040), 18);
    for (DWORD code : {0u, 15u, 16u, 128u, 255u, 0x1000u, 0x1050u, 0xFFFFFFFFu})
        EXPECT_EQ(CCallbackTable::SlotOf(code), -1) << code;
}

TEST(CallbackTable, CountFollowsFilledSlots) {
    CCallbackTable table;
    EXPECT_FALSE(table.SetCallback(15, FakeCv(1)));
    EXPECT_FALSE(table.SetCallback(0, FakeCv(1)));
    EXPECT_EQ(table.Count(), 0);

    EXPECT_TRUE(table.SetCallback(SERVICE_CONTROL_STOP, nullptr)); // clearing an empty slot
    EXPECT_EQ(table.Count(), 0);
    EXPECT_TRUE(table.SetCallback(SERVICE_CONTROL_STOP, FakeCv(1)));
    EXPECT_TRUE(table.SetCallback(kServiceControlRunning, FakeCv(2)));
    EXPECT_EQ(table.Count(), 2);
    EXPECT_TRUE(table.SetCallback(SERVICE_CONTROL_STOP, FakeCv(3))); // replacing
    EXPECT_EQ(table.Count(), 2);
    EXPECT_EQ(table.GetCallback(SERVICE_CONTROL_STOP), FakeCv(3));
    EXPECT_EQ(table.GetCallback(SERVICE_CONTROL_PAUSE), nullptr);
    EXPECT_EQ(table.GetCallback(0x4242), nullptr);

    table.SetCallback(SERVICE_CONTROL_STOP, nullptr);
    table.SetCallback(kServiceControlRunning, nullptr);
    table.SetCallback(kServiceControlRunning, nullptr);
    EXPECT_EQ(table.Count(), 0);
}

TEST_F(Runtime, RegisterForAllFillsEighteenSlots) {
    RegisterCallbackForAll(FakeCv(7));
    EXPECT_EQ(gCallbackTable.Count(), 18);
    for (const auto& event : kCallbackEvents)
        EXPECT_EQ(gCallbackTable.GetCallback(event.code), FakeCv(7)) << event.name;
}

// --- CTimer -----------------------------------------------------------------------

TEST(Timer, StartsOnlyWithAPeriod) {
    CTimer timer;
    timer.SetId(257);
    EXPECT_FALSE(timer.Start());
    EXPECT_FALSE(timer.IsRunning());
    EXPECT_EQ(timer.SetPeriod(-5), 0);
    EXPECT_EQ(timer.SetPeriod(20), 20);
    EXPECT_FALSE(timer.IsRunning()); // a period alone does not start it
    EXPECT_TRUE(timer.Start());
    EXPECT_TRUE(timer.Start()); // already running
    MSG m;
    ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
    EXPECT_EQ(m.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(m.wParam, timer.RunningId());

    EXPECT_EQ(timer.SetPeriod(-1), 20);
    EXPECT_TRUE(timer.IsRunning());
    EXPECT_EQ(timer.SetPeriod(30), 30); // restarts
    EXPECT_TRUE(timer.IsRunning());
    EXPECT_TRUE(timer.Stop());
    EXPECT_FALSE(timer.IsRunning());
    EXPECT_TRUE(timer.Stop());
    EXPECT_EQ(timer.SetPeriod(0), 0);
    EXPECT_FALSE(timer.Start());
    Drain(0);
}

// --- UpdateServiceStatus bookkeeping ---------------------------------------------

TEST_F(Runtime, ReportKeepsOrClearsTheServiceError) {
    UpdateServiceStatus(SERVICE_STOPPED, 0, 42);
    EXPECT_EQ(gdwCurrentState.load(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(gdwServiceError.load(), 42);
    UpdateServiceStatus(SERVICE_RUNNING, 0, 0xFFFFFFFF);
    EXPECT_EQ(gdwServiceError.load(), 42);
    UpdateServiceStatus(SERVICE_RUNNING, 0, 0);
    EXPECT_EQ(gdwServiceError.load(), 0);
}

TEST_F(Runtime, DefaultsAtLoad) {
    EXPECT_EQ(gdwCurrentState.load(), 0u);
    EXPECT_EQ(gdwTargetState.load(), 2u);
    EXPECT_EQ(gdwLastMessage.load(), -1);
    EXPECT_EQ(gdwServiceType.load(), 0x110u);
    EXPECT_EQ(gCallbackTimer.Period(), 5000);
    EXPECT_FALSE(gCallbackTimer.IsRunning());
}

// The accepted controls at load follow the system's major version: 7 up to
// version 4, 31 for 5 and 6, none from 7 on.
TEST_F(Runtime, AcceptedControlsByMajorVersion) {
    const DWORD saved = gOsVersion.dwMajorVersion;
    const std::pair<DWORD, DWORD> rows[] = {{0, 7}, {4, 7}, {5, 31}, {6, 31}, {7, 0}, {10, 0}};
    for (auto [major, accepted] : rows) {
        gOsVersion.dwMajorVersion = major;
        InitializeModuleState();
        EXPECT_EQ(gdwControlsAccepted.load(), accepted) << "major version " << major;
    }
    gOsVersion.dwMajorVersion = saved;
    InitializeModuleState();
}

// --- The control handler ---------------------------------------------------------

struct HandlerRow {
    DWORD before;
    DWORD control;
    DWORD after;
    DWORD target; // 0: unchanged
    bool armed;
};

TEST_F(Runtime, HandlerStateTable) {
    const HandlerRow rows[] = {
        {SERVICE_RUNNING, SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING, SERVICE_STOPPED, true},
        {SERVICE_PAUSED, SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING, SERVICE_STOPPED, true},
        {SERVICE_RUNNING, SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_PENDING, SERVICE_PAUSED, true},
        {SERVICE_PAUSED, SERVICE_CONTROL_PAUSE, SERVICE_PAUSED, SERVICE_PAUSED, true},
        {SERVICE_PAUSED, SERVICE_CONTROL_CONTINUE, SERVICE_CONTINUE_PENDING, SERVICE_RUNNING, true},
        {SERVICE_RUNNING, SERVICE_CONTROL_CONTINUE, SERVICE_RUNNING, SERVICE_RUNNING, true},
        {SERVICE_START_PENDING, kServiceControlStart, SERVICE_START_PENDING, SERVICE_RUNNING, true},
        {SERVICE_PAUSE_PENDING, SERVICE_CONTROL_INTERROGATE, SERVICE_PAUSE_PENDING, 0, false},
        {SERVICE_RUNNING, SERVICE_CONTROL_SHUTDOWN, SERVICE_RUNNING, 0, false},
        {SERVICE_RUNNING, SERVICE_CONTROL_PARAMCHANGE, SERVICE_RUNNING, 0, false},
        {SERVICE_RUNNING, 200, SERVICE_RUNNING, 0, false},
    };
    // This thread plays the ServiceMain thread and the Perl thread.
    gdwServiceMainThreadId = GetCurrentThreadId();
    gdwPerlThreadId = GetCurrentThreadId();
    gdwTimeout = 3;
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "state " << row.before << " control " << row.control);
        gdwCurrentState = row.before;
        gdwTargetState = 99;
        ServiceCtrlHandler(row.control);
        EXPECT_EQ(gdwCurrentState.load(), row.after);
        EXPECT_EQ(gdwTargetState.load(), row.target ? row.target : 99u);
        EXPECT_EQ(gdwLastMessage.load(), static_cast<LONG>(row.control));
        auto arms = Drain(WM_USER);
        ASSERT_EQ(arms.size(), row.armed ? 1u : 0u);
        if (row.armed) {
            EXPECT_EQ(arms[0].wParam, 3000u);
        }
    }
}

TEST_F(Runtime, HandlerQueuesControlsForTheCallbackLoop) {
    gdwPerlThreadId = GetCurrentThreadId();
    gdwCurrentState = SERVICE_RUNNING;
    ServiceCtrlHandler(SERVICE_CONTROL_INTERROGATE); // not in callback mode: nothing queued
    EXPECT_TRUE(Drain(kControlMessage).empty());
    gfCallbackMode = 1;
    ServiceCtrlHandler(SERVICE_CONTROL_PAUSE);
    ServiceCtrlHandler(0x10005); // only the low 16 bits travel
    EXPECT_EQ(gdwLastMessage.load(), 0x10005);
    auto queued = Drain(kControlMessage);
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[0].wParam, 2u);
    EXPECT_EQ(queued[1].wParam, 5u);
}

// --- The pending-state timer, with a real ServiceMain loop --------------------------

class StateTimer : public Runtime {
protected:
    std::thread loop;
    void SetUp() override {
        Runtime::SetUp();
        gdwServiceMainThreadId = 0;
        loop = std::thread([] {
            gdwServiceMainThreadId = GetCurrentThreadId();
            RunServiceMainLoop();
        });
        ASSERT_TRUE(WaitFor([] { return gdwServiceMainThreadId.load() != 0; }, 2000));
        gdwCurrentState = SERVICE_RUNNING;
    }
    void TearDown() override {
        WaitFor([] { return PostThreadMessageA(gdwServiceMainThreadId, WM_QUIT, 0, 0) != 0; },
                2000);
        loop.join();
    }
};

TEST_F(StateTimer, HandlersOwnReportKeepsItsArming) {
    gdwTimeout = 0;
    ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(WaitFor([] { return gdwCurrentState.load() == SERVICE_STOPPED; }, 3000));
}

TEST_F(StateTimer, MovesToTargetAfterTimeout) {
    gdwTimeout = 1;
    auto start = std::chrono::steady_clock::now();
    ServiceCtrlHandler(SERVICE_CONTROL_PAUSE);
    EXPECT_EQ(gdwCurrentState.load(), static_cast<DWORD>(SERVICE_PAUSE_PENDING));
    ASSERT_TRUE(WaitFor([] { return gdwCurrentState.load() == SERVICE_PAUSED; }, 5000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

TEST_F(StateTimer, LaterReportCancelsIt) {
    gdwTimeout = 2;
    ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    UpdateServiceStatus(SERVICE_RUNNING, 0, 0xFFFFFFFF); // the script answers
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
    EXPECT_EQ(gdwCurrentState.load(), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(Runtime, ReportBeforeTheArmingTakesEffectCancelsIt) {
    // This thread is the ServiceMain thread; its loop is not running yet, so
    // the arm-timer message waits in the queue while the script reports.
    gdwServiceMainThreadId = GetCurrentThreadId();
    gdwCurrentState = SERVICE_STOP_PENDING;
    gdwTargetState = SERVICE_STOPPED;
    DWORD ticket = ArmStateTimer(0);
    UpdateServiceStatus(SERVICE_RUNNING, 0, 0xFFFFFFFF);
    EXPECT_LE(ticket, gdwStateTimerCancelled.load());
    std::thread quit([id = GetCurrentThreadId()] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        PostThreadMessageA(id, WM_QUIT, 0, 0);
    });
    RunServiceMainLoop();
    quit.join();
    EXPECT_EQ(gdwCurrentState.load(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(gdwStateTimerId, 0u);
}

// The manager refuses controls in START_PENDING and STOP_PENDING, but lets
// INTERROGATE through in PAUSE_PENDING (and CONTINUE_PENDING): its re-report
// must not cancel the pending move.
TEST_F(StateTimer, InterrogateLeavesThePendingMoveAlone) {
    gdwTimeout = 1;
    ServiceCtrlHandler(SERVICE_CONTROL_PAUSE);
    ServiceCtrlHandler(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(gdwCurrentState.load(), static_cast<DWORD>(SERVICE_PAUSE_PENDING));
    EXPECT_TRUE(WaitFor([] { return gdwCurrentState.load() == SERVICE_PAUSED; }, 5000));
}

TEST_F(StateTimer, LaterOfTwoArmingsWins) {
    gdwTargetState = SERVICE_RUNNING;
    ArmStateTimer(30);
    gdwTimeout = 0;
    ServiceCtrlHandler(kServiceControlStart);
    EXPECT_TRUE(WaitFor([] { return gdwCurrentState.load() == SERVICE_RUNNING; }, 3000));

    // And the other way round: a long arming after a short one keeps it from firing.
    gdwCurrentState = SERVICE_RUNNING;
    gdwTimeout = 1;
    ServiceCtrlHandler(SERVICE_CONTROL_PAUSE);
    gdwTimeout = 30;
    ServiceCtrlHandler(SERVICE_CONTROL_PAUSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    EXPECT_EQ(gdwCurrentState.load(), static_cast<DWORD>(SERVICE_PAUSE_PENDING));
}

// --- The callback loop ----------------------------------------------------------------

struct Call {
    struct cv* callback;
    DWORD event;
};
std::vector<Call> gCalls;
std::vector<DWORD> gAnswers; // state to return per call; 0 = none
bool (*gDuringCall)(DWORD event) = nullptr;

bool RecordingHook(struct cv* callback, DWORD event, struct hv*, bool* hasState, DWORD* state) {
    size_t n = gCalls.size();
    gCalls.push_back({callback, event});
    if (n < gAnswers.size() && gAnswers[n]) {
        *hasState = true;
        *state = gAnswers[n];
    }
    if (gDuringCall)
        gDuringCall(event);
    return true;
}

class CallbackLoop : public Runtime {
protected:
    void SetUp() override {
        Runtime::SetUp();
        gCalls.clear();
        gAnswers.clear();
        gDuringCall = nullptr;
        gdwPerlThreadId = GetCurrentThreadId();
        SetCallbackHook(RecordingHook);
    }
    void TearDown() override { gCallbackTimer.Stop(); }
};

TEST_F(CallbackLoop, WithoutCallbacksReturnsAtOnce) {
    PostThreadMessageA(GetCurrentThreadId(), kControlMessage, 1, 0);
    RunCallbackLoop(10);
    EXPECT_TRUE(gCalls.empty());
    EXPECT_FALSE(gfCallbackMode.load());
}

TEST_F(CallbackLoop, TicksReachRunningWhenItIsRegistered) {
    RegisterCallbackForAll(FakeCv(1));
    gDuringCall = [](DWORD) {
        if (gCalls.size() == 2)
            gfCallbackMode = 0;
        return true;
    };
    RunCallbackLoop(20);
    ASSERT_EQ(gCalls.size(), 2u);
    EXPECT_EQ(gCalls[0].event, kServiceControlRunning);
    EXPECT_FALSE(gCallbackTimer.IsRunning());
}

TEST_F(CallbackLoop, TicksReachTimerAlone) {
    gCallbackTable.SetCallback(kServiceControlTimer, FakeCv(2));
    gDuringCall = [](DWORD) {
        gfCallbackMode = 0;
        return true;
    };
    RunCallbackLoop(20);
    ASSERT_EQ(gCalls.size(), 1u);
    EXPECT_EQ(gCalls[0].event, kServiceControlTimer);
    EXPECT_EQ(gCalls[0].callback, FakeCv(2));
}

TEST_F(CallbackLoop, ControlsDuringACallbackFollowInOrder) {
    gCallbackTable.SetCallback(kServiceControlStart, FakeCv(1));
    gCallbackTable.SetCallback(SERVICE_CONTROL_PAUSE, FakeCv(2));
    gCallbackTable.SetCallback(SERVICE_CONTROL_CONTINUE, FakeCv(3));
    gCallbackTable.SetCallback(SERVICE_CONTROL_STOP, FakeCv(4));
    gAnswers = {SERVICE_RUNNING, 0, SERVICE_RUNNING, SERVICE_STOPPED};
    gDuringCall = [](DWORD event) {
        if (event == kServiceControlStart) {
            // Controls arrive while the start callback runs.
            gfCallbackMode = 1;
            ServiceCtrlHandler(SERVICE_CONTROL_PAUSE);
            ServiceCtrlHandler(SERVICE_CONTROL_CONTINUE);
            ServiceCtrlHandler(SERVICE_CONTROL_STOP);
        }
        if (event == SERVICE_CONTROL_STOP)
            gfCallbackMode = 0;
        return true;
    };
    gdwCurrentState = SERVICE_START_PENDING;
    PostThreadMessageA(GetCurrentThreadId(), kControlMessage, kServiceControlStart, 0);
    RunCallbackLoop(0);
    ASSERT_EQ(gCalls.size(), 4u);
    EXPECT_EQ(gCalls[1].event, static_cast<DWORD>(SERVICE_CONTROL_PAUSE));
    EXPECT_EQ(gCalls[2].event, static_cast<DWORD>(SERVICE_CONTROL_CONTINUE));
    EXPECT_EQ(gCalls[3].event, static_cast<DWORD>(SERVICE_CONTROL_STOP));
    EXPECT_EQ(gdwCurrentState.load(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(CallbackLoop, ZeroPeriodInsideACallbackStopsTicks) {
    RegisterCallbackForAll(FakeCv(1));
    // A control after 300 ms ends the loop; only the first tick came before.
    std::thread later([id = GetCurrentThreadId()] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        PostThreadMessageA(id, kControlMessage, SERVICE_CONTROL_STOP, 0);
    });
    gDuringCall = [](DWORD event) {
        gCallbackTimer.SetPeriod(0);
        if (event == SERVICE_CONTROL_STOP)
            gfCallbackMode = 0;
        return true;
    };
    RunCallbackLoop(20);
    later.join();
    ASSERT_EQ(gCalls.size(), 2u);
    EXPECT_EQ(gCalls[0].event, kServiceControlRunning);
    EXPECT_EQ(gCalls[1].event, static_cast<DWORD>(SERVICE_CONTROL_STOP));
}

TEST_F(CallbackLoop, EndsWhenTheDispatcherHasEnded) {
    RegisterCallbackForAll(FakeCv(1));
    PostThreadMessageA(GetCurrentThreadId(), kServiceEndedMessage, 0, 0);
    PostThreadMessageA(GetCurrentThreadId(), kControlMessage, SERVICE_CONTROL_STOP, 0);
    PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, 0, 0); // ends a loop that went on
    RunCallbackLoop(0);
    EXPECT_TRUE(gCalls.empty());
    Drain(0);
    EXPECT_FALSE(gfCallbackMode.load());
    EXPECT_FALSE(gCallbackTimer.IsRunning());
}

// The dispatcher thread tells the callback loop it has ended only after a
// service run; outside the manager the dispatcher fails at once and the
// loop goes on with its timer.
TEST_F(Runtime, DispatcherEndReachesTheCallbackLoopAfterARun) {
    gdwPerlThreadId = GetCurrentThreadId();
    gfCallbackMode = 1;
    EXPECT_EQ(ServiceThreadProc(nullptr), 0u); // not started by the manager
    EXPECT_TRUE(Drain(kServiceEndedMessage).empty());
    ghServiceStatus = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x4242); // ServiceMain ran
    ServiceThreadProc(nullptr);
    EXPECT_EQ(Drain(kServiceEndedMessage).size(), 1u);
    gfCallbackMode = 0; // a polling run: nothing to tell
    ServiceThreadProc(nullptr);
    EXPECT_TRUE(Drain(kServiceEndedMessage).empty());
    ghServiceStatus = nullptr;
}

TEST_F(CallbackLoop, NoHookMeansNoCall) {
    SetCallbackHook(nullptr);
    RegisterCallbackForAll(FakeCv(1));
    EXPECT_FALSE(InvokeCallback(SERVICE_CONTROL_STOP, nullptr));
    SetCallbackHook(RecordingHook);
    EXPECT_FALSE(InvokeCallback(200, nullptr)); // no slot
    EXPECT_TRUE(InvokeCallback(SERVICE_CONTROL_STOP, nullptr));
}

// --- StopService ------------------------------------------------------------------------

TEST_F(Runtime, StopBeforeStartReportsNothing) {
    gfCallbackMode = 1;
    gdwCurrentState = SERVICE_RUNNING;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StopService(), FALSE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_FALSE(gfCallbackMode.load());
    EXPECT_EQ(gdwCurrentState.load(), static_cast<DWORD>(SERVICE_RUNNING));
}

} // namespace
