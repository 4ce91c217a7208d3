// Failure actions carried out by the supervisor, the failure count, and the
// service logs' names and rotation.
#include "scmtest.h"

#include "svc/logfile.h"
#include "svc/recovery.h"

#include <sys/stat.h>
#include <vector>

using namespace w32p::scm;

namespace {

bool SetActions(SC_HANDLE svc, std::vector<SC_ACTION> actions, const char* command = nullptr,
                DWORD reset = 3600) {
    SERVICE_FAILURE_ACTIONSA fa{reset, nullptr, const_cast<char*>(command),
                                static_cast<DWORD>(actions.size()), actions.data()};
    return ChangeServiceConfig2A(svc, SERVICE_CONFIG_FAILURE_ACTIONS, &fa);
}

DWORD FailureCount(const char* name) {
    HKEY key;
    std::string path = std::string("System\\CurrentControlSet\\Services\\") + name;
    DWORD v = 0, size = sizeof v;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    RegQueryValueExA(key, "FailureCount", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size);
    RegCloseKey(key);
    return v;
}

// Waits for a run after the one whose process was `oldPid` to be RUNNING.
bool WaitForRestart(SC_HANDLE svc, DWORD oldPid) {
    for (int i = 0; i < 1500; ++i) {
        SERVICE_STATUS_PROCESS sp{};
        DWORD needed = 0;
        if (QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&sp),
                                 sizeof sp, &needed) &&
            sp.dwCurrentState == SERVICE_RUNNING && sp.dwProcessId != oldPid)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void Crash(SC_HANDLE svc) {
    SERVICE_STATUS st;
    ControlService(svc, 200, &st); // the test service kills itself
}

} // namespace

TEST(FailureRules, NthFailureTakesNthActionAndTheLastRepeats) {
    FailureActions fa;
    EXPECT_EQ(ActionForFailure(fa, 1).Type, SC_ACTION_NONE);
    fa.actions = {{SC_ACTION_RESTART, 10}, {SC_ACTION_RUN_COMMAND, 20}};
    EXPECT_EQ(ActionForFailure(fa, 1).Delay, 10u);
    EXPECT_EQ(ActionForFailure(fa, 2).Delay, 20u);
    EXPECT_EQ(ActionForFailure(fa, 7).Delay, 20u);
    EXPECT_TRUE(FailureCountExpired(60, 1000, 1060));
    EXPECT_FALSE(FailureCountExpired(60, 1000, 1059));
    EXPECT_FALSE(FailureCountExpired(INFINITE, 0, 1ll << 40));
}

TEST_F(ScmTest, FailureCountFollowsTheResetPeriodAndTheActionsFlag) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Counted"));
    ASSERT_NE(svc.h, nullptr);
    FailureStep step;
    // Without actions nothing is counted.
    EXPECT_FALSE(RecordFailure("Counted", RunEnd::Crashed, 1000, step));
    ASSERT_TRUE(SetActions(svc.h, {{SC_ACTION_RESTART, 1}, {SC_ACTION_NONE, 2}}, nullptr, 60));
    ASSERT_TRUE(RecordFailure("counted", RunEnd::Crashed, 1000, step));
    EXPECT_EQ(step.failureCount, 1u);
    EXPECT_EQ(step.action.Type, SC_ACTION_RESTART);
    ASSERT_TRUE(RecordFailure("Counted", RunEnd::Crashed, 1059, step));
    EXPECT_EQ(step.failureCount, 2u);
    EXPECT_EQ(step.action.Type, SC_ACTION_NONE);
    // A quiet reset period starts the count again.
    ASSERT_TRUE(RecordFailure("Counted", RunEnd::Crashed, 1119, step));
    EXPECT_EQ(step.failureCount, 1u);
    EXPECT_EQ(FailureCount("Counted"), 1u);
    // A stop with an error counts only with the flag; a clean stop never.
    EXPECT_FALSE(RecordFailure("Counted", RunEnd::ErrorStop, 1120, step));
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    ASSERT_TRUE(ChangeServiceConfig2A(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag));
    EXPECT_TRUE(RecordFailure("Counted", RunEnd::ErrorStop, 1121, step));
    EXPECT_FALSE(RecordFailure("Counted", RunEnd::Stopped, 1122, step));
    EXPECT_FALSE(RecordFailure("Counted", RunEnd::NotRun, 1123, step));
}

TEST_F(ScmTest, KilledServiceIsRestartedPerItsFailureActions) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Phoenix"));
    ASSERT_NE(svc.h, nullptr);
    ASSERT_TRUE(SetActions(svc.h, {{SC_ACTION_RESTART, 50}, {SC_ACTION_NONE, 0}}));
    ASSERT_TRUE(StartServiceA(svc.h, 0, nullptr));
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    DWORD first = PidOf(svc.h);
    Crash(svc.h);
    ASSERT_TRUE(WaitForRestart(svc.h, first));
    EXPECT_EQ(FailureCount("Phoenix"), 1u);
    EXPECT_TRUE(WaitForLog("Phoenix", "failure 1 of service \"Phoenix\" (ended without reporting "
                                      "SERVICE_STOPPED): restart in 50 ms"));

    // The second failure's action is none: it stays stopped with 1067.
    DWORD second = PidOf(svc.h);
    Crash(svc.h);
    ASSERT_TRUE(WaitForLog("Phoenix", "failure 2 of service \"Phoenix\""));
    SERVICE_STATUS st = Status(svc.h);
    EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(st.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    EXPECT_NE(PidOf(svc.h), second);

    // A stop the service reports is no failure.
    ASSERT_TRUE(SetActions(svc.h, {{SC_ACTION_RESTART, 0}}));
    ASSERT_TRUE(StartServiceA(svc.h, 0, nullptr));
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st));
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_STOPPED));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Status(svc.h).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(FailureCount("Phoenix"), 2u);
}

TEST_F(ScmTest, ErrorStopRestartsOnlyWithTheActionsFlag) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Strict"));
    ASSERT_NE(svc.h, nullptr);
    ASSERT_TRUE(SetActions(svc.h, {{SC_ACTION_RESTART, 0}}));
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    ASSERT_TRUE(ChangeServiceConfig2A(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag));
    const char* args[] = {"exit=7"};
    ASSERT_TRUE(StartServiceA(svc.h, 1, args));
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    DWORD first = PidOf(svc.h);
    SERVICE_STATUS st;
    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st));
    // The restart runs without the start arguments, so it stops cleanly.
    ASSERT_TRUE(WaitForRestart(svc.h, first));
    EXPECT_TRUE(WaitForLog("Strict", "(stopped with an error): restart in 0 ms"));
}

TEST_F(ScmTest, FailureCommandRunsAndRebootIsRefused) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Hooked", "exit-early"));
    ASSERT_NE(svc.h, nullptr);
    ASSERT_TRUE(SetShutdownPrivilege(true));
    ASSERT_TRUE(SetActions(svc.h, {{SC_ACTION_RUN_COMMAND, 0}, {SC_ACTION_REBOOT, 0}},
                           "/bin/sh -c \"echo hook saw failure %1%\""));
    // The process ends before it connects: a failure too.
    EXPECT_FALSE(StartServiceA(svc.h, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    EXPECT_TRUE(WaitForLog("Hooked", "hook saw failure 1"));
    EXPECT_TRUE(WaitForLog("Hooked", "failure command \"/bin/sh -c \"echo hook saw failure 1\"\" "
                                     "ended with status 0"));
    EXPECT_FALSE(StartServiceA(svc.h, 0, nullptr));
    EXPECT_TRUE(WaitForLog("Hooked", "failure 2 of service \"Hooked\" (ended without reporting "
                                     "SERVICE_STOPPED): reboot refused"));
}

TEST_F(ScmTest, LogsAreNamedByKeyNameAndRotatedBySize) {
    EXPECT_EQ(LogPath("Plain.Name-1_x"), root + "/logs/Plain.Name-1_x.log");
    std::string odd = LogPath("odd name");
    EXPECT_EQ(odd.substr(0, root.size() + 15), root + "/logs/odd_name-");
    EXPECT_EQ(odd.size(), root.size() + 15 + 8 + 4); // eight hex digits, ".log"
    EXPECT_NE(LogPath("odd name"), LogPath("odd_name"));

    // A program that writes 400 numbered lines and ends.
    std::string script = root + "/chatty.sh";
    {
        std::ofstream out(script);
        out << "i=0; while [ $i -lt 400 ]; do echo \"line $i of the log\"; i=$((i+1)); done\n";
    }
    setenv("WIN32POSIX_LOG_MAX_BYTES", "2048", 1);
    setenv("WIN32POSIX_LOG_FILES", "2", 1);
    Handle mgr(Manager());
    Handle svc(CreateServiceA(mgr.h, "Chatty", nullptr, SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              ("/bin/sh " + script).c_str(), nullptr, nullptr, nullptr, nullptr,
                              nullptr));
    ASSERT_NE(svc.h, nullptr);
    EXPECT_FALSE(StartServiceA(svc.h, 0, nullptr));
    unsetenv("WIN32POSIX_LOG_MAX_BYTES");
    unsetenv("WIN32POSIX_LOG_FILES");

    std::string log = root + "/logs/Chatty.log";
    std::vector<std::string> files = LogFiles(log);
    ASSERT_EQ(files, (std::vector<std::string>{log + ".2", log + ".1", log}));
    std::string kept;
    for (const std::string& f : files) {
        struct stat st;
        ASSERT_EQ(stat(f.c_str(), &st), 0);
        EXPECT_LE(st.st_size, 2048) << f;
        std::ifstream in(f);
        std::stringstream ss;
        ss << in.rdbuf();
        kept += ss.str();
    }
    // The newest lines survive, whole and in order.
    EXPECT_EQ(kept.substr(kept.size() - 20), "line 399 of the log\n");
    size_t first = kept.find("line ");
    ASSERT_NE(first, std::string::npos);
    int n = atoi(kept.c_str() + first + 5);
    std::string expected;
    for (int i = n; i < 400; ++i)
        expected += "line " + std::to_string(i) + " of the log\n";
    EXPECT_EQ(kept.substr(first), expected);
}
