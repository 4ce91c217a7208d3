// The service runtime end to end: the service program (service_main.cpp),
// built on the core, installed with the core's CreateService and started by
// the service manager, driven by controls; and the core outside a manager.
#include "admin.h"
#include "runtime.h"
#include "service.h"
#include "suite.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace suite {
namespace {

constexpr DWORD kUserControl = 200;

class Runtime : public SuiteTest {};

// Sends a control and checks the state ControlService reports, then the
// state the service settles in. ControlService gives the latest status: a
// script that answers at once may already have reported the settled state,
// unless `answered` is false.
void ExpectControl(const ServiceRun& run, DWORD control, DWORD reported, DWORD settled,
                   bool answered = true) {
    SERVICE_STATUS status = {};
    DWORD error = 0;
    ASSERT_TRUE(run.Control(control, &status, &error)) << "control " << control << ": " << error;
    if (!answered || status.dwCurrentState != settled) {
        EXPECT_EQ(status.dwCurrentState, reported) << "control " << control;
    }
    EXPECT_TRUE(run.WaitForState(settled))
        << "control " << control << " settles in " << settled << ", not " << run.Describe();
}

// Installs and starts the run, and waits until it is running.
::testing::AssertionResult Running(ServiceRun& run) {
    if (!run.installed())
        return ::testing::AssertionFailure() << "not installed: " << gdwLastError;
    DWORD error = 0;
    if (!run.Start(&error))
        return ::testing::AssertionFailure() << "not started: " << error;
    if (!run.WaitForState(SERVICE_RUNNING))
        return ::testing::AssertionFailure() << run.Describe();
    return ::testing::AssertionSuccess();
}

// The report line of the stop, and its values.
struct StopLine {
    int result = -1;
    long long ms = -1;
    unsigned long dispatcher = 0;
};

StopLine ParseStop(const std::string& line) {
    StopLine stop;
    unsigned long dispatcher = 0;
    int result = 0;
    long long ms = 0;
    if (std::sscanf(line.c_str(), "stopped result=%d ms=%lld dispatcher=%lu", &result, &ms,
                    &dispatcher) == 3)
        stop = {result, ms, dispatcher};
    return stop;
}

TEST_F(Runtime, APollingRunThroughEveryControl) {
    ServiceRun run("mode=poll");
    ASSERT_TRUE(Running(run));
    EXPECT_TRUE(run.WaitForLine("state 4"));
    SERVICE_STATUS status = run.Status();
    EXPECT_EQ(status.dwControlsAccepted, DWORD(31)); // Windows 6.x: stop to netbind change
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_EQ(status.dwCheckPoint, 0u);

    // Interrogate and a user-defined control change nothing but the last
    // message.
    ExpectControl(run, SERVICE_CONTROL_INTERROGATE, SERVICE_RUNNING, SERVICE_RUNNING);
    EXPECT_TRUE(run.WaitForLine("control 4"));
    ExpectControl(run, kUserControl, SERVICE_RUNNING, SERVICE_RUNNING);
    EXPECT_TRUE(run.WaitForLine("control 200"));

    ExpectControl(run, SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_PENDING, SERVICE_PAUSED);
    EXPECT_TRUE(run.WaitForLine("control 2"));
    // Paused already: the handler reports PAUSED again.
    ExpectControl(run, SERVICE_CONTROL_PAUSE, SERVICE_PAUSED, SERVICE_PAUSED);
    ExpectControl(run, SERVICE_CONTROL_CONTINUE, SERVICE_CONTINUE_PENDING, SERVICE_RUNNING);
    EXPECT_TRUE(run.WaitForLine("control 3"));

    ExpectControl(run, SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING, SERVICE_STOPPED);
    status = run.Status();
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
    ASSERT_TRUE(run.WaitForLine("end"));
    // Reported STOPPED first: the dispatcher returned by itself.
    StopLine stop = ParseStop(run.LineStartingWith("stopped"));
    EXPECT_EQ(stop.result, 1);
    EXPECT_EQ(stop.dispatcher, 1u);
    std::printf("clean StopService on %s: %lld ms\n", SideName(), stop.ms);
}

TEST_F(Runtime, PendingStatesMoveOnByThemselvesAfterTheTimeout) {
    ServiceRun run("answer=s timeout=2");
    ASSERT_TRUE(Running(run));
    struct Step {
        DWORD control, pending, target;
    };
    for (Step step : {Step{SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_PENDING, SERVICE_PAUSED},
                      Step{SERVICE_CONTROL_CONTINUE, SERVICE_CONTINUE_PENDING, SERVICE_RUNNING},
                      Step{SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING, SERVICE_STOPPED}}) {
        auto sent = std::chrono::steady_clock::now();
        ExpectControl(run, step.control, step.pending, step.target, false);
        // The timer starts after the control was handled: never earlier
        // than the timeout (a little slack for the clocks' granularity).
        EXPECT_GE(MillisecondsSince(sent), 1900) << "control " << step.control;
    }
    ASSERT_TRUE(run.WaitForLine("end"));
    EXPECT_EQ(ParseStop(run.LineStartingWith("stopped")).result, 1);
}

TEST_F(Runtime, AServiceSpecificExitCodeReachesTheManager) {
    ServiceRun run("stop=error");
    ASSERT_TRUE(Running(run));
    ExpectControl(run, SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING, SERVICE_STOPPED);
    SERVICE_STATUS status = run.Status();
    EXPECT_EQ(status.dwWin32ExitCode, DWORD(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(status.dwServiceSpecificExitCode, 42u);
}

TEST_F(Runtime, StopServiceEndsAHungDispatcher) {
    ServiceRun run("stop=hung");
    ASSERT_TRUE(Running(run));
    ExpectControl(run, SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING, SERVICE_STOPPED);
    ASSERT_TRUE(run.WaitForLine("end"));
    // Never told STOPPED, the manager kept the dispatcher waiting: it was
    // given a second and then terminated (exit code 0).
    StopLine stop = ParseStop(run.LineStartingWith("stopped"));
    EXPECT_EQ(stop.result, 1);
    EXPECT_GE(stop.ms, 1000);
    EXPECT_EQ(stop.dispatcher, 0u);
    EXPECT_EQ(run.Status().dwWin32ExitCode, 0u);
    std::printf("StopService with a hung dispatcher on %s: %lld ms\n", SideName(), stop.ms);
}

// The event lines of a report, in order.
std::vector<std::string> Events(const ServiceRun& run) {
    std::vector<std::string> events;
    for (const std::string& line : run.Report())
        if (line.rfind("event ", 0) == 0)
            events.push_back(line);
    return events;
}

size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

TEST_F(Runtime, CallbacksForEveryEvent) {
    ServiceRun run("mode=callback callbacks=all period=200");
    ASSERT_TRUE(Running(run));
    // With the "running" slot filled, timer ticks come as SERVICE_CONTROL_RUNNING.
    ASSERT_TRUE(WaitFor([&] { return CountOf(Events(run), "event 4160") >= 2; }, 30000));
    ExpectControl(run, SERVICE_CONTROL_INTERROGATE, SERVICE_RUNNING, SERVICE_RUNNING);
    ExpectControl(run, kUserControl, SERVICE_RUNNING, SERVICE_RUNNING);
    ExpectControl(run, SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_PENDING, SERVICE_PAUSED);
    ExpectControl(run, SERVICE_CONTROL_CONTINUE, SERVICE_CONTINUE_PENDING, SERVICE_RUNNING);
    ExpectControl(run, SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING, SERVICE_STOPPED);
    ASSERT_TRUE(run.WaitForLine("end"));

    std::vector<std::string> events = Events(run);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), "event 4112"); // SERVICE_CONTROL_START, from ServiceMain
    EXPECT_EQ(events.back(), "event 1");
    EXPECT_EQ(CountOf(events, "event 4"), 1u);
    EXPECT_EQ(CountOf(events, "event 2"), 1u);
    EXPECT_EQ(CountOf(events, "event 3"), 1u);
    EXPECT_EQ(CountOf(events, "event 4128"), 0u);
    EXPECT_EQ(CountOf(events, "event 200"), 0u); // user-defined controls have no slot
    EXPECT_TRUE(run.WaitForLine("loop ended"));
    StopLine stop = ParseStop(run.LineStartingWith("stopped"));
    EXPECT_EQ(stop.result, 1);
    EXPECT_EQ(stop.dispatcher, 1u);
}

TEST_F(Runtime, CallbacksForSomeEventsLeaveTheRestToTheTimer) {
    // The start callback answers nothing: the timer moves START_PENDING on.
    ServiceRun run("mode=callback callbacks=some period=200 startstate=0 timeout=2");
    ASSERT_TRUE(run.installed()) << gdwLastError;
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.WaitForLine("event 4112"));
    EXPECT_EQ(run.Status().dwCurrentState, DWORD(SERVICE_START_PENDING));
    ASSERT_TRUE(run.WaitForState(SERVICE_RUNNING));
    EXPECT_GE(MillisecondsSince(started), 1900);
    // Only the "timer" slot takes the ticks.
    ASSERT_TRUE(WaitFor([&] { return CountOf(Events(run), "event 4128") >= 2; }, 30000));
    ExpectControl(run, SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING, SERVICE_STOPPED);
    ASSERT_TRUE(run.WaitForLine("end"));
    EXPECT_EQ(CountOf(Events(run), "event 4160"), 0u);
}

TEST_F(Runtime, ReportsFromTwoThreadsLeaveTheManagerWithTheCurrentState) {
    ServiceRun run("race=100");
    ASSERT_TRUE(run.installed()) << gdwLastError;
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(WaitFor([&] { return !run.LineStartingWith("race").empty(); }, 60000))
        << run.Describe();
    EXPECT_EQ(run.LineStartingWith("race"), "race mismatches 0");
}

TEST_F(Runtime, AServiceMarkedForDeletionDoesNotStart) {
    ServiceRun run("mode=poll");
    ASSERT_TRUE(run.installed()) << gdwLastError;
    // The run's own handle keeps the marked service in the database.
    ASSERT_EQ(servane::DeleteService("", run.name()), 1u) << gdwLastError;
    DWORD error = 0;
    bool started = run.Start(&error);
    if (WineDefect("StartServiceA starts a service that is marked for deletion")) {
        EXPECT_TRUE(started);
    } else {
        EXPECT_FALSE(started);
        EXPECT_EQ(error, DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
    }
}

// This process is no service: the dispatcher fails, and the core reports the
// run stopped.
TEST(OutsideTheManager, TheDispatcherFailsAndTheRunEnds) {
    static char name[] = "Suite";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    long long ms = MillisecondsSince(start);
    if (WineDefect("StartServiceCtrlDispatcherA outside the manager fails only after about 10 s")) {
        EXPECT_GE(ms, 5000);
    } else {
        EXPECT_LT(ms, 5000);
    }

    // StopService posts to gdwServiceMainThreadId, which stays 0 here.
    BOOL posted = PostThreadMessageA(0, WM_NULL, 0, 0);
    if (WineDefect("PostThreadMessageA to thread id 0 succeeds")) {
        EXPECT_TRUE(posted);
    } else {
        EXPECT_FALSE(posted);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_THREAD_ID));
    }
    MSG stray;
    while (PeekMessageA(&stray, nullptr, 0, 0, PM_REMOVE)) {
    }

    HANDLE thread = StartServiceThread();
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(StartServiceThread(), thread); // once per process
    ASSERT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
    DWORD code = STILL_ACTIVE;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(gdwCurrentState.load(), DWORD(SERVICE_STOPPED));
    EXPECT_EQ(StopService(), TRUE);
    EXPECT_EQ(gdwCurrentState.load(), DWORD(SERVICE_STOPPED));
    EXPECT_EQ(gfCallbackMode.load(), FALSE);
}

} // namespace
} // namespace suite
