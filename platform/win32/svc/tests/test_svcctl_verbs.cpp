// svcctl's verbs beyond the basic ones: optional configuration, names and
// dependents, the lock, query filters, boot, logs, and debug driven through
// a pseudo-terminal.
#include "svcctltest.h"

#include <csignal>
#include <poll.h>
#include <pty.h>

namespace {

std::string TestImageLine(const std::string& mode) {
    return std::string(SCM_TEST_SERVICE) + " " + mode;
}

// svcctl on a pseudo-terminal, as in an interactive shell.
struct Terminal {
    pid_t pid = -1;
    int fd = -1;
    std::string seen;

    explicit Terminal(const std::vector<std::string>& args) {
        pid = forkpty(&fd, nullptr, nullptr, nullptr);
        if (pid == 0)
            ExecSvcctl(args);
    }
    ~Terminal() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (fd >= 0)
            close(fd);
    }
    // Reads until the text has appeared (at or after `from`) or the time is
    // up.
    bool Expect(const std::string& text, int ms = 15000, size_t from = 0) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (seen.find(text, from) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0)
                return false;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(std::min<long>(left, 100))) > 0) {
                char buf[4096];
                ssize_t n = read(fd, buf, sizeof buf);
                if (n <= 0)
                    return seen.find(text, from) != std::string::npos;
                seen.append(buf, static_cast<size_t>(n));
            }
        }
        return true;
    }
    void Type(const char* keys) { (void)!write(fd, keys, strlen(keys)); }
    // The exit status, once the program has ended, with all it wrote.
    int Wait() {
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0)
            Expect("\x01", 100);
        pid = -1;
        Expect("\x01", 100); // what it wrote just before it ended
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

bool ServiceExists(const std::string& name) {
    SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE s = OpenServiceA(m, name.c_str(), SERVICE_QUERY_STATUS);
    bool exists = s != nullptr;
    if (s)
        CloseServiceHandle(s);
    CloseServiceHandle(m);
    return exists;
}

} // namespace

TEST_F(ScmTest, SvcctlOptionalConfigurationVerbs) {
    Result r =
        Svcctl({"CREATE", "Opt", "binPath=", "/bin/true", "TYPE=", "own", "type=", "interact",
                "start=", "delayed-auto", "DisplayName=", "Optional One"});
    ASSERT_EQ(r.status, 0) << r.out;
    r = Svcctl({"qc", "opt"});
    EXPECT_TRUE(Has(r.out, "TYPE               : 110  WIN32_OWN_PROCESS  (interactive)")) << r.out;
    EXPECT_TRUE(Has(r.out, "START_TYPE         : 2   AUTO_START  (DELAYED)")) << r.out;
    // start= auto clears the delayed flag.
    EXPECT_EQ(Svcctl({"config", "Opt", "start=", "auto"}).status, 0);
    EXPECT_TRUE(Has(Svcctl({"qc", "Opt"}).out, "2   AUTO_START\n"));

    r = Svcctl({"description", "Opt", "Does", "very", "little"});
    EXPECT_EQ(r.out, "[SC] ChangeServiceConfig2 SUCCESS\n");
    r = Svcctl({"qdescription", "Opt"});
    EXPECT_EQ(r.out, "[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: Opt\n"
                     "DESCRIPTION:  Does very little\n");
    r = Svcctl({"qdescription", "Opt", "10"});
    EXPECT_EQ(r.status, 122);
    EXPECT_TRUE(Has(r.out, "[SC] QueryServiceConfig2 FAILED 122:"));

    r = Svcctl({"failure", "Opt", "reset=", "3600", "actions=", "restart/5000/run/0/restart/100",
                "command=", "/bin/echo %1%"});
    ASSERT_EQ(r.status, 0) << r.out;
    r = Svcctl({"qfailure", "Opt"});
    EXPECT_EQ(r.out,
              "[SC] QueryServiceConfig2 SUCCESS\n\n"
              "SERVICE_NAME: Opt\n"
              "        RESET_PERIOD (in seconds)    : 3600\n"
              "        REBOOT_MESSAGE               : \n"
              "        COMMAND_LINE                 : /bin/echo %1%\n"
              "        FAILURE_ACTIONS              : RESTART -- Delay = 5000 milliseconds.\n"
              "                                       RUN PROCESS -- Delay = 0 "
              "milliseconds.\n"
              "                                       RESTART -- Delay = 100 "
              "milliseconds.\n");
    // A reboot action is accepted (svcctl enables the shutdown privilege);
    // actions= "" removes the actions.
    EXPECT_EQ(
        Svcctl({"failure", "Opt", "reset=", "0", "actions=", "reboot/0", "reboot=", "bye"}).status,
        0);
    EXPECT_TRUE(Has(Svcctl({"qfailure", "Opt"}).out, "REBOOT -- Delay = 0 milliseconds."));
    EXPECT_EQ(Svcctl({"failure", "Opt", "reset=", "0", "actions=", ""}).status, 0);
    EXPECT_FALSE(Has(Svcctl({"qfailure", "Opt"}).out, "FAILURE_ACTIONS"));

    EXPECT_TRUE(Has(Svcctl({"qfailureflag", "Opt"}).out,
                    "        FAILURE_ACTIONS_ON_NONCRASH_FAILURES: FALSE\n"));
    EXPECT_EQ(Svcctl({"failureflag", "Opt", "1"}).status, 0);
    EXPECT_TRUE(Has(Svcctl({"qfailureflag", "Opt"}).out, "NONCRASH_FAILURES: TRUE\n"));

    EXPECT_EQ(Svcctl({"getdisplayname", "OPT"}).out,
              "[SC] GetServiceDisplayName SUCCESS  Name = Optional One\n");
    EXPECT_EQ(Svcctl({"getkeyname", "optional one"}).out,
              "[SC] GetServiceKeyName SUCCESS  Name = Opt\n");
    r = Svcctl({"getkeyname", "Nobody"});
    EXPECT_EQ(r.status, 1060 & 0xFF);

    // sdset takes what sdshow gives; a bad text changes nothing.
    std::string dacl = "D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
                       "(D;;WP;;;IU)(A;;0x10000;;;S-1-5-21-1-2-3-1001)";
    r = Svcctl({"sdset", "Opt", dacl});
    ASSERT_EQ(r.out, "[SC] SetServiceObjectSecurity SUCCESS\n");
    r = Svcctl({"sdshow", "Opt"});
    EXPECT_TRUE(Has(r.out, "\nD:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
                           "(D;;WP;;;IU)(A;;SD;;;S-1-5-21-1-2-3-1001)"))
        << r.out;
    for (const char* bad :
         {"D:(A;;CC;;;XX)", "D:(A;;QQ;;;SY)", "D:(A;;CC;;SY)", "D:(A;;CC", "X:(A;;CC;;;SY)", ""}) {
        r = Svcctl({"sdset", "Opt", bad});
        EXPECT_EQ(r.status, 87) << bad;
    }
    EXPECT_TRUE(Has(Svcctl({"sdshow", "Opt"}).out, "(D;;WP;;;IU)"));
}

TEST_F(ScmTest, SvcctlNamesDependentsLockAndQueryFilters) {
    std::string image = TestImageLine("normal");
    ASSERT_EQ(Svcctl({"create", "Root", "binPath=", image}).status, 0);
    ASSERT_EQ(Svcctl({"create", "Leaf", "binPath=", image, "depend=", "Root"}).status, 0);
    ASSERT_EQ(Svcctl({"create", "Grouped", "binPath=", image, "group=", "G1"}).status, 0);
    Result r = Svcctl({"enumdepend", "Root"});
    EXPECT_TRUE(Has(r.out, "Enum: entriesRead = 1\n\nSERVICE_NAME: Leaf\nDISPLAY_NAME: Leaf\n"))
        << r.out;
    r = Svcctl({"enumdepend", "Root", "8"});
    EXPECT_EQ(r.status, ERROR_MORE_DATA);
    EXPECT_TRUE(Has(r.out, "[SC] EnumDependentServices: more data, need "));
    EXPECT_EQ(Svcctl({"enumdepend", "Leaf"}).out, "Enum: entriesRead = 0\n");

    r = Svcctl({"querylock"});
    EXPECT_TRUE(Has(r.out, "[SC] QueryServiceLockStatus - Success\n        IsLocked      : FALSE"));
    {
        Handle mgr(Manager());
        SC_LOCK lock = LockServiceDatabase(mgr.h);
        ASSERT_NE(lock, nullptr);
        r = Svcctl({"querylock"});
        EXPECT_TRUE(Has(r.out, "IsLocked      : TRUE")) << r.out;
        EXPECT_TRUE(Has(r.out, "(seconds since acquired)"));
        UnlockServiceDatabase(lock);
    }

    ASSERT_EQ(Svcctl({"start", "Root"}).status, 0);
    Handle mgr(Manager());
    Handle root(OpenServiceA(mgr.h, "Root", SERVICE_QUERY_STATUS | SERVICE_STOP));
    ASSERT_TRUE(WaitForState(root.h, SERVICE_RUNNING));
    // Running services only by default; the others with state=.
    r = Svcctl({"query"});
    EXPECT_TRUE(Has(r.out, "SERVICE_NAME: Root"));
    EXPECT_FALSE(Has(r.out, "SERVICE_NAME: Leaf"));
    r = Svcctl({"query", "state=", "inactive"});
    EXPECT_TRUE(Has(r.out, "SERVICE_NAME: Leaf"));
    EXPECT_FALSE(Has(r.out, "SERVICE_NAME: Root"));
    EXPECT_FALSE(Has(r.out, "NOT_STOPPABLE")) << "stopped services show no control line";
    r = Svcctl({"query", "state=", "all", "group=", "G1"});
    EXPECT_TRUE(Has(r.out, "SERVICE_NAME: Grouped"));
    EXPECT_FALSE(Has(r.out, "SERVICE_NAME: Root"));
    EXPECT_EQ(Svcctl({"query", "type=", "driver", "state=", "all"}).out, "");
    r = Svcctl({"queryex", "state=", "all", "bufsize=", "100"});
    EXPECT_EQ(r.status, ERROR_MORE_DATA);
    EXPECT_TRUE(Has(r.out, "SERVICE_NAME: Grouped")) << r.out;
    EXPECT_TRUE(Has(r.out, "[SC] EnumQueryServicesStatus: more data, need ")) << r.out;
    EXPECT_TRUE(Has(r.out, "start resume at index 1\n")) << r.out;
    r = Svcctl({"queryex", "state=", "all", "ri=", "1"});
    EXPECT_FALSE(Has(r.out, "SERVICE_NAME: Grouped"));
    EXPECT_TRUE(Has(r.out, "SERVICE_NAME: Root"));
    // The process id, in queryex of one service as in the list.
    r = Svcctl({"queryex", "Root"});
    SERVICE_STATUS_PROCESS sp{};
    DWORD needed = 0;
    QueryServiceStatusEx(root.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&sp), sizeof sp,
                         &needed);
    EXPECT_TRUE(Has(r.out, "        PID                : " + std::to_string(sp.dwProcessId) +
                               "\n        FLAGS              : \n"))
        << r.out;
    SERVICE_STATUS st;
    ASSERT_TRUE(ControlService(root.h, SERVICE_CONTROL_STOP, &st));
    ASSERT_TRUE(WaitForState(root.h, SERVICE_STOPPED));
}

TEST_F(ScmTest, SvcctlBootStartsAutomaticServicesInDependencyOrder) {
    std::string image = TestImageLine("normal");
    ASSERT_EQ(Svcctl({"create", "Zeta", "binPath=", image, "start=", "auto"}).status, 0);
    ASSERT_EQ(
        Svcctl({"create", "Alpha", "binPath=", image, "start=", "auto", "depend=", "Zeta"}).status,
        0);
    ASSERT_EQ(Svcctl({"create", "Later", "binPath=", image, "start=", "delayed-auto"}).status, 0);
    ASSERT_EQ(Svcctl({"create", "Manual", "binPath=", image}).status, 0);
    ASSERT_EQ(
        Svcctl({"create", "Broken", "binPath=", TestImageLine("exit-early"), "start=", "auto"})
            .status,
        0);
    ASSERT_EQ(
        Svcctl({"create", "NeedsBroken", "binPath=", image, "start=", "auto", "depend=", "Broken"})
            .status,
        0);
    // Failure counts start again at boot.
    Handle mgr(Manager());
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Zeta", 0,
                            KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    DWORD count = 3;
    RegSetValueExA(key, "FailureCount", 0, REG_DWORD, reinterpret_cast<BYTE*>(&count), 4);

    Result r = Svcctl({"boot", "delay=", "1"});
    EXPECT_EQ(r.status, 1067 & 0xFF) << r.out;
    EXPECT_TRUE(Has(r.out, "[SC] Boot: 5 automatic services, 1 of them delayed\n")) << r.out;
    size_t zeta = r.out.find("StartService SUCCESS  Name = Zeta");
    size_t alpha = r.out.find("StartService SUCCESS  Name = Alpha");
    size_t delay = r.out.find("the delayed services start in 1 seconds");
    size_t later = r.out.find("StartService SUCCESS  Name = Later");
    ASSERT_NE(zeta, std::string::npos) << r.out;
    ASSERT_NE(alpha, std::string::npos) << r.out;
    EXPECT_LT(zeta, alpha);
    EXPECT_LT(alpha, delay);
    EXPECT_LT(delay, later);
    EXPECT_TRUE(Has(r.out, "StartService FAILED 1067  Name = Broken"));
    EXPECT_TRUE(Has(r.out, "StartService FAILED 1068  Name = NeedsBroken"));
    for (const char* running : {"Zeta", "Alpha", "Later"}) {
        Handle s(OpenServiceA(mgr.h, running, SERVICE_QUERY_STATUS));
        EXPECT_TRUE(WaitForState(s.h, SERVICE_RUNNING)) << running;
    }
    Handle manual(OpenServiceA(mgr.h, "Manual", SERVICE_QUERY_STATUS));
    EXPECT_EQ(Status(manual.h).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    DWORD size = sizeof count;
    EXPECT_NE(RegQueryValueExA(key, "FailureCount", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(&count), &size),
              ERROR_SUCCESS);
    RegCloseKey(key);
    // A second boot leaves the running services alone.
    r = Svcctl({"boot", "delay=", "0"});
    EXPECT_TRUE(Has(r.out, "StartService SUCCESS  Name = Zeta"));
    EXPECT_EQ(Svcctl({"boot", "ok"}).status, ERROR_NOT_SUPPORTED);
}

TEST_F(ScmTest, SvcctlLogsShowsAndFollowsTheLog) {
    ASSERT_EQ(Svcctl({"create", "Talker", "binPath=", TestImageLine("normal")}).status, 0);
    EXPECT_EQ(Svcctl({"logs", "Talker"}).out, "");
    EXPECT_EQ(Svcctl({"logs", "Nobody"}).status, 1060 & 0xFF);
    ASSERT_EQ(Svcctl({"start", "Talker", "hello"}).status, 0);
    ASSERT_TRUE(WaitForLog("Talker", "main [Talker] [hello]"));
    Result r = Svcctl({"logs", "talker"});
    EXPECT_TRUE(Has(r.out, "winsta Service-0x0-3e7$\nmain [Talker] [hello]\n")) << r.out;
    EXPECT_EQ(Svcctl({"logs", "Talker", "-n", "1"}).out, "main [Talker] [hello]\n");

    // A follower sees what comes next.
    std::string outPath = root + "/follow.out";
    pid_t follower = fork();
    if (follower == 0) {
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        execl(SCM_SVCCTL, SCM_SVCCTL, "logs", "Talker", "-f", static_cast<char*>(nullptr));
        _exit(98);
    }
    auto followed = [&](const std::string& text) {
        for (int i = 0; i < 1000; ++i) {
            std::ifstream in(outPath);
            std::stringstream ss;
            ss << in.rdbuf();
            if (ss.str().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    EXPECT_TRUE(followed("main [Talker] [hello]"));
    EXPECT_EQ(Svcctl({"pause", "Talker"}).status, 0);
    EXPECT_TRUE(followed("control 2"));
    EXPECT_EQ(Svcctl({"stop", "Talker"}).status, 0);
    EXPECT_TRUE(followed("dispatcher returned"));
    kill(follower, SIGTERM);
    waitpid(follower, nullptr, 0);
}

TEST_F(ScmTest, SvcctlDebugRunsAProgramInTheTerminal) {
    Terminal t({"debug", "--", SCM_TEST_SERVICE, "normal"});
    ASSERT_GT(t.pid, 0);
    std::string name = "svcctl-debug-" + std::to_string(t.pid);
    ASSERT_TRUE(t.Expect("RUNNING (pid ")) << t.seen;
    // The program's own output reaches the terminal.
    EXPECT_TRUE(t.Expect("main [" + name + "]")) << t.seen;
    EXPECT_TRUE(ServiceExists(name));

    // Ctrl-Z pauses the service and suspends svcctl; SIGCONT (fg) continues.
    t.Type("\x1a");
    ASSERT_TRUE(t.Expect("PAUSED")) << t.seen;
    ASSERT_TRUE(t.Expect("suspended")) << t.seen;
    int status = 0;
    ASSERT_EQ(waitpid(t.pid, &status, WUNTRACED), t.pid);
    EXPECT_TRUE(WIFSTOPPED(status));
    kill(t.pid, SIGCONT);
    size_t mark = t.seen.size();
    ASSERT_TRUE(t.Expect("control 3", 15000, mark)) << t.seen;
    ASSERT_TRUE(t.Expect("RUNNING", 15000, mark)) << t.seen;

    // Ctrl-C stops it; the program's status is svcctl's; the service goes.
    t.Type("\x03");
    ASSERT_TRUE(t.Expect("STOPPED")) << t.seen;
    EXPECT_EQ(t.Wait(), 0) << t.seen;
    EXPECT_FALSE(ServiceExists(name));
}

TEST_F(ScmTest, SvcctlDebugPassesTheExitStatusAndEndsOnSecondInterrupt) {
    {
        // What a killed svcctl debug left behind goes with the next session;
        // another running session's service and other names stay.
        pid_t gone = fork();
        if (gone == 0)
            _exit(0);
        waitpid(gone, nullptr, 0);
        std::string stale = "svcctl-debug-" + std::to_string(gone);
        std::string live = "svcctl-debug-" + std::to_string(getpid());
        Handle mgr(Manager());
        for (const std::string& n : {stale, live, std::string("svcctl-debug-7x")})
            Handle(CreateTestService(mgr.h, n.c_str()));
        ASSERT_TRUE(ServiceExists(stale));

        Terminal t({"debug", SCM_TEST_SERVICE, "exit-early"});
        EXPECT_EQ(t.Wait(), 3) << t.seen;
        EXPECT_TRUE(Has(t.seen, "StartService failed 1067")) << t.seen;
        EXPECT_FALSE(ServiceExists(stale));
        EXPECT_TRUE(ServiceExists(live));
        EXPECT_TRUE(ServiceExists("svcctl-debug-7x"));
    }
    // A program that never reaches the dispatcher cannot take STOP; the
    // second Ctrl-C kills it.
    Terminal t({"debug", SCM_TEST_SERVICE, "noconnect"});
    ASSERT_TRUE(t.Expect("START_PENDING")) << t.seen;
    t.Type("\x03");
    ASSERT_TRUE(t.Expect("Ctrl-C again ends the program")) << t.seen;
    t.Type("\x03");
    EXPECT_EQ(t.Wait(), 128 + SIGKILL) << t.seen;
    EXPECT_TRUE(Has(t.seen, "ending the program"));
    // Killed at once, not left to the manager's start time limit.
    EXPECT_FALSE(Has(t.seen, "1053")) << t.seen;

    Result r = Svcctl({"debug", "/no/such/program"});
    EXPECT_EQ(r.status, ERROR_FILE_NOT_FOUND);
}
