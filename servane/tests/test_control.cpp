// Service control against the Windows layer's service control manager: a
// real service process driven through start, pause, continue, user
// controls and stop, the status it reports, waits that succeed, time out or
// see the service die, and the error each failing step records.
#include "control.h"

#include <gtest/gtest.h>

#include <string>

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
        if (SC_HANDLE service = OpenServiceA(m_manager, m_name.c_str(), DELETE)) {
            ::DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(m_manager);
    }

    ServiceTarget target() const { return ServiceTarget{"", m_name}; }

    WaitResult Wait(DWORD state, DWORD ms = 15000) {
        WaitProgress progress;
        return WaitForState(target(), state, ms, nullptr, nullptr, progress);
    }

    SC_HANDLE m_manager = nullptr;
    std::string m_name;
};

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
    SendServiceControl(target(), 200); // the process kills itself
    WaitProgress progress;
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

TEST(ControlStation, TestsRunOnAnInteractiveWindowStation) {
    EXPECT_FALSE(IsServiceWindowStation());
}

} // namespace
