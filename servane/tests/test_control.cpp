// Service control against the Windows layer's service control manager: a
// real service process driven through start, pause, continue, user
// controls and stop, the status it reports, waits that succeed, time out or
// see the service die, and the error each failing step records.
#include "control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "identity.h"

using namespace servane;

namespace {

#ifdef SCM_TEST_SERVICE
const char kTestService[] = SCM_TEST_SERVICE;
#else
const char kTestService[] = "";
#endif

// A demand-start service running the layer's test service program, stopped
// and deleted at the end of the test.
class ControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!*kTestService)
            GTEST_SKIP() << "no test service program in this build";
        m_manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (!m_manager)
            GTEST_SKIP() << "creating services needs LocalSystem (root on the layer)";
        m_name = std::string("Control") +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        const std::string image = std::string("\"") + kTestService + "\" normal";
        SC_HANDLE service =
            CreateServiceA(m_manager, m_name.c_str(), nullptr, SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(service, nullptr) << GetLastError();
        CloseServiceHandle(service);
        gdwControlError = 0;
    }

    void TearDown() override {
        if (!m_manager)
            return;
        WaitProgress progress;
        if (SendServiceControl(target(), SERVICE_CONTROL_STOP) &&
            WaitForState(target(), SERVICE_STOPPED, 15000, nullptr, nullptr, progress) !=
                WaitResult::Reached)
            SendServiceControl(target(), 200); // the test program ends itself
        m_extra.push_back(m_name);
        for (const std::string& name : m_extra) {
            if (SC_HANDLE service = OpenServiceA(m_manager, name.c_str(), DELETE)) {
                ::DeleteService(service);
                CloseServiceHandle(service);
            }
        }
        CloseServiceHandle(m_manager);
    }

    ServiceTarget target() const { return ServiceTarget{"", m_name}; }

    // Another demand-start service, deleted at the end of the test.
    void CreateExtra(const std::string& name, const char* dependencies = nullptr,
                     const std::string& display = "") {
        SC_HANDLE service =
            CreateServiceA(m_manager, name.c_str(), display.empty() ? nullptr : display.c_str(),
                           SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                           SERVICE_ERROR_NORMAL, "\"/bin/true\"", nullptr, nullptr, dependencies,
                           nullptr, nullptr);
        ASSERT_NE(service, nullptr) << name << ": " << GetLastError();
        CloseServiceHandle(service);
        m_extra.push_back(name);
    }

    WaitResult Wait(DWORD state, DWORD ms = 15000) {
        WaitProgress progress;
        return WaitForState(target(), state, ms, nullptr, nullptr, progress);
    }

    SC_HANDLE m_manager = nullptr;
    std::string m_name;
    std::vector<std::string> m_extra;
};

std::vector<std::string> Names(const std::vector<ServiceEntry>& entries) {
    std::vector<std::string> names;
    for (const ServiceEntry& e : entries)
        names.push_back(e.name);
    return names;
}

bool Lists(const std::vector<ServiceEntry>& entries, const std::string& name) {
    const std::vector<std::string> names = Names(entries);
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST_F(ControlTest, StartPauseContinueStopWithStatus) {
    ASSERT_TRUE(StartNamedService(target(), {"pending=200"}));
    ASSERT_EQ(Wait(SERVICE_RUNNING), WaitResult::Reached);

    ServiceStatusInfo status;
    ASSERT_TRUE(QueryStatus(target(), status));
    EXPECT_EQ(status.state, DWORD(SERVICE_RUNNING));
    EXPECT_EQ(status.serviceType & SERVICE_WIN32_OWN_PROCESS, DWORD(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(status.controlsAccepted,
              DWORD(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN));
    EXPECT_NE(status.processId, 0u);
    EXPECT_EQ(status.win32ExitCode, 0u);

    ASSERT_TRUE(SendServiceControl(target(), SERVICE_CONTROL_PAUSE));
    EXPECT_EQ(Wait(SERVICE_PAUSED), WaitResult::Reached);
    ASSERT_TRUE(SendServiceControl(target(), SERVICE_CONTROL_CONTINUE));
    EXPECT_EQ(Wait(SERVICE_RUNNING), WaitResult::Reached);
    EXPECT_TRUE(SendServiceControl(target(), SERVICE_CONTROL_INTERROGATE));
    EXPECT_TRUE(SendServiceControl(target(), 150)) << gdwControlError;
    EXPECT_EQ(gdwControlError, 0u) << "success records nothing";

    ASSERT_TRUE(SendServiceControl(target(), SERVICE_CONTROL_STOP));
    EXPECT_EQ(Wait(SERVICE_STOPPED), WaitResult::Reached);
}

// Each failing step records the manager's error; success leaves it.
TEST_F(ControlTest, ErrorsOfEachStep) {
    const ServiceTarget missing{"", "NoSuchServiceHere"};
    ServiceStatusInfo status;
    EXPECT_FALSE(QueryStatus(missing, status));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_FALSE(StartNamedService(missing, {}));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_SERVICE_DOES_NOT_EXIST));

    // A stopped service takes no control.
    EXPECT_FALSE(SendServiceControl(target(), SERVICE_CONTROL_STOP));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_TRUE(QueryStatus(target(), status));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_SERVICE_NOT_ACTIVE)) << "success keeps the last error";

    ASSERT_TRUE(StartNamedService(target(), {}));
    ASSERT_EQ(Wait(SERVICE_RUNNING), WaitResult::Reached);
    EXPECT_FALSE(StartNamedService(target(), {}));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_SERVICE_ALREADY_RUNNING));
    // Codes outside the user-defined range are not the caller's to send.
    EXPECT_FALSE(SendServiceControl(target(), SERVICE_CONTROL_SHUTDOWN));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SendServiceControl(target(), 256));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_INVALID_PARAMETER));

    EXPECT_FALSE(QueryStatus(ServiceTarget{"elsewhere", m_name}, status));
    EXPECT_NE(gdwControlError, 0u) << "a remote machine is refused by the connection";
}

// A NUL would cut the name short and name another service: refused before
// the manager is asked.
TEST_F(ControlTest, EmbeddedNulIsRefused) {
    ServiceStatusInfo status;
    EXPECT_FALSE(QueryStatus(ServiceTarget{"", m_name + std::string("\0x", 2)}, status));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_INVALID_NAME));
    EXPECT_FALSE(QueryStatus(ServiceTarget{std::string("\0", 1), m_name}, status));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_INVALID_NAME));
    EXPECT_FALSE(StartNamedService(target(), {std::string("a\0b", 3)}));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(QueryStatus(target(), status));
    EXPECT_EQ(status.state, DWORD(SERVICE_STOPPED)) << "nothing was started";
}

TEST_F(ControlTest, WaitTimesOutAndRejectsBadStates) {
    EXPECT_EQ(Wait(SERVICE_RUNNING, 150), WaitResult::TimedOut);
    EXPECT_EQ(gdwControlError, DWORD(ERROR_SERVICE_REQUEST_TIMEOUT));
    EXPECT_EQ(Wait(SERVICE_STOPPED, 0), WaitResult::Reached) << "a state already held";
    EXPECT_EQ(Wait(0), WaitResult::Failed);
    EXPECT_EQ(gdwControlError, DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Wait(SERVICE_PAUSED + 1), WaitResult::Failed);
}

// A service that dies while another state is awaited ends the wait with its
// exit code instead of running into the timeout.
TEST_F(ControlTest, WaitEndsWhenTheServiceDies) {
    ASSERT_TRUE(StartNamedService(target(), {}));
    ASSERT_EQ(Wait(SERVICE_RUNNING), WaitResult::Reached);
    // The wait must have seen the service running before it dies: one poll
    // first (interrupted at once), then the crash, then the rest of the wait.
    auto once = [](void*) { return false; };
    WaitProgress progress;
    ASSERT_EQ(WaitForState(target(), SERVICE_PAUSED, 60000, once, nullptr, progress),
              WaitResult::Interrupted);
    SendServiceControl(target(), 200); // the process kills itself
    EXPECT_EQ(WaitForState(target(), SERVICE_PAUSED, 60000, nullptr, nullptr, progress),
              WaitResult::Stopped);
    EXPECT_EQ(progress.last.state, DWORD(SERVICE_STOPPED));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_PROCESS_ABORTED));
}

// An interrupted wait resumes with what it has seen and the time left.
TEST_F(ControlTest, InterruptedWaitResumes) {
    int polls = 0;
    auto stopAtOnce = [](void* count) { return ++*static_cast<int*>(count) > 1; };
    WaitProgress progress;
    EXPECT_EQ(WaitForState(target(), SERVICE_RUNNING, 60000, stopAtOnce, &polls, progress),
              WaitResult::Interrupted);
    EXPECT_TRUE(progress.started);
    Sleep(200);
    EXPECT_EQ(WaitForState(target(), SERVICE_RUNNING, 100, stopAtOnce, &polls, progress),
              WaitResult::TimedOut);
    EXPECT_EQ(polls, 1) << "the timeout counts from the first call: no second pause";
}

// More services than the first answer buffer holds, each once; the state
// filter follows the service from stopped to running.
TEST_F(ControlTest, ListTakesEveryServiceAndFiltersByState) {
    const std::string display(200, 'd'); // display names are unique: a number after it
    for (int i = 0; i < 30; ++i)
        CreateExtra(m_name + "Many" + std::to_string(i), nullptr, display + std::to_string(i));
    std::vector<ServiceEntry> all;
    ASSERT_TRUE(ListServices("", SERVICE_WIN32, SERVICE_STATE_ALL, all)) << gdwControlError;
    std::vector<std::string> names = Names(all);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end()) << "no duplicates";
    EXPECT_EQ(std::count_if(all.begin(), all.end(),
                            [&](const ServiceEntry& e) {
                                return e.name.rfind(m_name + "Many", 0) == 0 &&
                                       e.display.rfind(display, 0) == 0 && e.hasProcessId;
                            }),
              30);

    std::vector<ServiceEntry> some;
    ASSERT_TRUE(ListServices("", SERVICE_WIN32, SERVICE_ACTIVE, some));
    EXPECT_FALSE(Lists(some, m_name));
    ASSERT_TRUE(StartNamedService(target(), {}));
    ASSERT_EQ(Wait(SERVICE_RUNNING), WaitResult::Reached);
    ASSERT_TRUE(ListServices("", SERVICE_WIN32, SERVICE_ACTIVE, some));
    auto running = std::find_if(some.begin(), some.end(),
                                [&](const ServiceEntry& e) { return e.name == m_name; });
    ASSERT_NE(running, some.end());
    EXPECT_EQ(running->status.state, DWORD(SERVICE_RUNNING));
    EXPECT_NE(running->status.processId, 0u);
    ASSERT_TRUE(ListServices("", SERVICE_WIN32, SERVICE_INACTIVE, some));
    EXPECT_FALSE(Lists(some, m_name));
    ASSERT_TRUE(ListServices("", SERVICE_KERNEL_DRIVER, SERVICE_STATE_ALL, some));
    EXPECT_FALSE(Lists(some, m_name)) << "the type filter applies";

    EXPECT_FALSE(ListServices("", 0, SERVICE_STATE_ALL, some));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ListServices(std::string("\0", 1), SERVICE_WIN32, SERVICE_STATE_ALL, some));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_INVALID_NAME));
}

// Dependents, direct and indirect, come in stop order: a service before
// those it needs.
TEST_F(ControlTest, DependentsInStopOrder) {
    const std::string middle = m_name + "Middle", top = m_name + "Top";
    CreateExtra(middle, (m_name + '\0').c_str());
    CreateExtra(top, (middle + '\0').c_str());
    std::vector<ServiceEntry> dependents;
    ASSERT_TRUE(ListDependents(target(), dependents)) << gdwControlError;
    EXPECT_EQ(Names(dependents), (std::vector<std::string>{top, middle}));
    EXPECT_FALSE(dependents[0].hasProcessId);
    EXPECT_EQ(dependents[0].status.state, DWORD(SERVICE_STOPPED));
    ASSERT_TRUE(ListDependents(ServiceTarget{"", top}, dependents));
    EXPECT_TRUE(dependents.empty());
    EXPECT_FALSE(ListDependents(ServiceTarget{"", "NoSuchServiceHere"}, dependents));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
}

// Each part of the recovery settings changes alone; the reset period and
// the action list, which the manager takes together, keep each other.
TEST_F(ControlTest, FailureSettingsChangePartByPart) {
    FailureSettings read;
    ASSERT_TRUE(QueryFailureSettings(target(), read)) << gdwControlError;
    EXPECT_TRUE(read.actions && read.actions->empty());
    EXPECT_FALSE(read.command);

    FailureSettings change;
    change.resetPeriod = 3600;
    change.actions =
        std::vector<FailureAction>{{SC_ACTION_RESTART, 1000}, {SC_ACTION_RUN_COMMAND, 2000}};
    change.command = "notify.cmd " + std::string(6000, 'x'); // more than the first buffer
    change.nonCrashFailures = true;
    ASSERT_TRUE(ChangeFailureSettings(target(), change)) << gdwControlError;
    ASSERT_TRUE(QueryFailureSettings(target(), read));
    EXPECT_EQ(read.resetPeriod, 3600u);
    ASSERT_EQ(read.actions->size(), 2u);
    EXPECT_EQ((*read.actions)[1].type, DWORD(SC_ACTION_RUN_COMMAND));
    EXPECT_EQ((*read.actions)[1].delayMs, 2000u);
    EXPECT_EQ(read.command, change.command);
    EXPECT_FALSE(read.rebootMessage);
    EXPECT_EQ(read.nonCrashFailures, true);

    FailureSettings periodOnly;
    periodOnly.resetPeriod = INFINITE;
    ASSERT_TRUE(ChangeFailureSettings(target(), periodOnly));
    ASSERT_TRUE(QueryFailureSettings(target(), read));
    EXPECT_EQ(read.resetPeriod, DWORD(INFINITE));
    EXPECT_EQ(read.actions->size(), 2u) << "the actions stay";

    FailureSettings actionsOnly;
    actionsOnly.actions = std::vector<FailureAction>{{SC_ACTION_NONE, 0}};
    actionsOnly.command = "";
    ASSERT_TRUE(ChangeFailureSettings(target(), actionsOnly));
    ASSERT_TRUE(QueryFailureSettings(target(), read));
    EXPECT_EQ(read.resetPeriod, DWORD(INFINITE)) << "the period stays";
    EXPECT_EQ(read.actions->size(), 1u);
    EXPECT_FALSE(read.command) << "\"\" removes the command";
    EXPECT_EQ(read.nonCrashFailures, true) << "the flag was not named";

    FailureSettings bad;
    bad.rebootMessage = std::string("a\0b", 3);
    bad.actions = std::vector<FailureAction>{};
    EXPECT_FALSE(ChangeFailureSettings(target(), bad));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(QueryFailureSettings(target(), read));
    EXPECT_EQ(read.actions->size(), 1u) << "a refused change changes nothing";
    bad.rebootMessage.reset();
    bad.actions = std::vector<FailureAction>{{7, 0}};
    EXPECT_FALSE(ChangeFailureSettings(target(), bad));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_INVALID_PARAMETER)) << "an unknown action type";

    FailureSettings none;
    none.actions = std::vector<FailureAction>{};
    ASSERT_TRUE(ChangeFailureSettings(target(), none));
    ASSERT_TRUE(QueryFailureSettings(target(), read));
    EXPECT_TRUE(read.actions->empty()) << "an empty list removes the actions";
}

// A reboot action needs the shutdown privilege on: switched on for the
// call and back off after it.
TEST_F(ControlTest, RebootActionTakesTheShutdownPrivilegeForTheCall) {
    FailureSettings reboot;
    reboot.actions = std::vector<FailureAction>{{SC_ACTION_REBOOT, 60000}};
    reboot.rebootMessage = "restarting";
    ASSERT_TRUE(ChangeFailureSettings(target(), reboot)) << gdwControlError;
    bool changed = true;
    ASSERT_TRUE(EnablePrivilege(nullptr, SE_SHUTDOWN_NAME, FALSE, &changed));
    EXPECT_FALSE(changed) << "the privilege was left on";
    FailureSettings read;
    ASSERT_TRUE(QueryFailureSettings(target(), read));
    EXPECT_EQ(read.rebootMessage, "restarting");
    EXPECT_EQ((*read.actions)[0].type, DWORD(SC_ACTION_REBOOT));
}

TEST_F(ControlTest, DelayedStart) {
    bool delayed = true;
    ASSERT_TRUE(QueryDelayedStart(target(), delayed)) << gdwControlError;
    EXPECT_FALSE(delayed);
    ASSERT_TRUE(ChangeDelayedStart(target(), true));
    ASSERT_TRUE(QueryDelayedStart(target(), delayed));
    EXPECT_TRUE(delayed);
    ASSERT_TRUE(ChangeDelayedStart(target(), false));
    ASSERT_TRUE(QueryDelayedStart(target(), delayed));
    EXPECT_FALSE(delayed);
    EXPECT_FALSE(ChangeDelayedStart(ServiceTarget{"", "NoSuchServiceHere"}, true));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST(ControlStation, TestsRunOnAnInteractiveWindowStation) {
    EXPECT_FALSE(IsServiceWindowStation());
}

} // namespace
