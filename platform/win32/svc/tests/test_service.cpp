// End to end: real service processes under their supervisor, driven
// through the manager calls.
#include "scmtest.h"

#include <sys/wait.h>

TEST_F(ScmTest, ServiceRunsItsWholeLife) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Life"));
    ASSERT_NE(svc.h, nullptr);
    SERVICE_STATUS st = Status(svc.h);
    EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(st.dwWin32ExitCode, 1077u); // never started

    const char* args[] = {"first", "second arg"};
    ASSERT_TRUE(StartServiceA(svc.h, 2, args)) << GetLastError();
    st = Status(svc.h);
    EXPECT_TRUE(st.dwCurrentState == SERVICE_START_PENDING || st.dwCurrentState == SERVICE_RUNNING);
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    EXPECT_FALSE(StartServiceA(svc.h, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    DWORD pid = PidOf(svc.h);
    EXPECT_TRUE(ProcessAlive(pid));
    // ServiceMain's argv[0] is the service name, then the start arguments;
    // the process starts on the service window station.
    EXPECT_TRUE(WaitForLog("Life", "main [Life] [first] [second arg]"));
    EXPECT_NE(ReadLog("Life").find("winsta Service-0x0-3e7$"), std::string::npos);

    // ControlService answers with the status the handler reported.
    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_PAUSE, &st)) << GetLastError();
    EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_PAUSED));
    EXPECT_EQ(Status(svc.h).dwCurrentState, static_cast<DWORD>(SERVICE_PAUSED));
    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_CONTINUE, &st));
    EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_INTERROGATE, &st));
    EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(st.dwControlsAccepted,
              static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE |
                                 SERVICE_ACCEPT_SHUTDOWN));
    // User controls reach the handler one at a time, in order.
    for (DWORD c = 128; c < 136; ++c)
        ASSERT_TRUE(ControlService(svc.h, c, &st));
    std::string log = ReadLog("Life");
    size_t at = 0;
    for (DWORD c = 128; c < 136; ++c) {
        at = log.find("control " + std::to_string(c), at);
        ASSERT_NE(at, std::string::npos) << c;
    }
    EXPECT_FALSE(ControlService(svc.h, SERVICE_CONTROL_SHUTDOWN, &st));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st));
    EXPECT_TRUE(st.dwCurrentState == SERVICE_STOP_PENDING || st.dwCurrentState == SERVICE_STOPPED);
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_STOPPED));
    st = Status(svc.h);
    EXPECT_EQ(st.dwWin32ExitCode, 0u);
    EXPECT_TRUE(WaitForLog("Life", "dispatcher returned"));
    EXPECT_TRUE(WaitGone(pid));
    EXPECT_FALSE(ControlService(svc.h, SERVICE_CONTROL_INTERROGATE, &st));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

    // Another process sees the same status, and a second run works.
    ASSERT_TRUE(StartServiceA(svc.h, 0, nullptr));
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    pid_t child = fork();
    if (child == 0) {
        SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE s = OpenServiceA(m, "life", SERVICE_QUERY_STATUS);
        SERVICE_STATUS cs{};
        _exit(s && QueryServiceStatus(s, &cs) && cs.dwCurrentState == SERVICE_RUNNING ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st));
    EXPECT_TRUE(WaitForState(svc.h, SERVICE_STOPPED));
}

TEST_F(ScmTest, ServiceSpecificExitCodeIsReported) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Exiter"));
    const char* args[] = {"exit=42"};
    ASSERT_TRUE(StartServiceA(svc.h, 1, args));
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    SERVICE_STATUS st;
    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st));
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_STOPPED));
    st = Status(svc.h);
    EXPECT_EQ(st.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(st.dwServiceSpecificExitCode, 42u);
}

TEST_F(ScmTest, PendingServiceCannotAcceptControls) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Slow"));
    const char* args[] = {"pending=1500"};
    ASSERT_TRUE(StartServiceA(svc.h, 1, args));
    ASSERT_TRUE(WaitForLog("Slow", "main"));
    SERVICE_STATUS st;
    EXPECT_FALSE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(st.dwWaitHint, 3000u);
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st));
    EXPECT_TRUE(WaitForState(svc.h, SERVICE_STOPPED));
}

TEST_F(ScmTest, CrashingServiceEndsAborted) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Crash"));
    ASSERT_TRUE(StartServiceA(svc.h, 0, nullptr));
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    SERVICE_STATUS st;
    EXPECT_FALSE(ControlService(svc.h, 200, &st)); // the handler kills its process
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_STOPPED));
    EXPECT_EQ(Status(svc.h).dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    // Nothing is left locked: the service starts again.
    ASSERT_TRUE(StartServiceA(svc.h, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st));
    EXPECT_TRUE(WaitForState(svc.h, SERVICE_STOPPED));
}

TEST_F(ScmTest, KilledSupervisorLeavesAConsistentDatabase) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Orphan"));
    ASSERT_TRUE(StartServiceA(svc.h, 0, nullptr));
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    DWORD pid = PidOf(svc.h);
    KillSupervisors();
    SERVICE_STATUS st = Status(svc.h);
    EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(st.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    EXPECT_TRUE(WaitGone(pid)); // the service dies with its supervisor
    EXPECT_FALSE(ControlService(svc.h, SERVICE_CONTROL_INTERROGATE, &st));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    ASSERT_TRUE(StartServiceA(svc.h, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st));
    EXPECT_TRUE(WaitForState(svc.h, SERVICE_STOPPED));
}

TEST_F(ScmTest, StartFailures) {
    Handle mgr(Manager());
    // The process never connects: 1053 after the (shortened) limit, and
    // the process is gone.
    setenv("WIN32POSIX_SCM_TIMEOUT_MS", "2000", 1);
    Handle silent(CreateTestService(mgr.h, "Silent", "noconnect"));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(StartServiceA(silent.h, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1900));
    SERVICE_STATUS st = Status(silent.h);
    EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(st.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));

    Handle early(CreateTestService(mgr.h, "Early", "exit-early"));
    EXPECT_FALSE(StartServiceA(early.h, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROCESS_ABORTED));

    Handle missing(CreateServiceA(mgr.h, "Missing", nullptr, SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                  SERVICE_ERROR_NORMAL, "no-such-program-anywhere", nullptr,
                                  nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(StartServiceA(missing.h, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    Handle disabled(CreateTestService(mgr.h, "Disabled"));
    ChangeServiceConfigA(disabled.h, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_FALSE(StartServiceA(disabled.h, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DISABLED));

    Handle dep(CreateTestService(mgr.h, "NeedsGhost", "normal", "Ghost\0"));
    EXPECT_FALSE(StartServiceA(dep.h, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DEPENDENCY_DELETED));

    // Another process's database lock blocks starts.
    HoldingChild locker(TakeDatabaseLock);
    ASSERT_TRUE(locker.reported);
    Handle ok(CreateTestService(mgr.h, "Locked"));
    EXPECT_FALSE(StartServiceA(ok.h, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DATABASE_LOCKED));
    locker.Release();
}

TEST_F(ScmTest, DependenciesStartFirst) {
    Handle mgr(Manager());
    Handle base(CreateTestService(mgr.h, "Base"));
    Handle top(CreateTestService(mgr.h, "Top", "normal", "Base\0"));
    ASSERT_TRUE(StartServiceA(top.h, 0, nullptr)) << GetLastError();
    EXPECT_TRUE(WaitForState(base.h, SERVICE_RUNNING));
    EXPECT_TRUE(WaitForState(top.h, SERVICE_RUNNING));
    SERVICE_STATUS st;
    ControlService(top.h, SERVICE_CONTROL_STOP, &st);
    ControlService(base.h, SERVICE_CONTROL_STOP, &st);
    EXPECT_TRUE(WaitForState(top.h, SERVICE_STOPPED));
    EXPECT_TRUE(WaitForState(base.h, SERVICE_STOPPED));
}

TEST_F(ScmTest, HungHandlerTimesOut) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Hung"));
    setenv("WIN32POSIX_SCM_TIMEOUT_MS", "2000", 1); // the supervisor's limit
    ASSERT_TRUE(StartServiceA(svc.h, 0, nullptr));
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    SERVICE_STATUS st;
    EXPECT_FALSE(ControlService(svc.h, 201, &st));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    // The status is still readable while the handler hangs.
    EXPECT_EQ(Status(svc.h).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ScmTest, DeletedRunningServiceDisappearsWhenStoppedAndClosed) {
    Handle mgr(Manager());
    SC_HANDLE svc = CreateTestService(mgr.h, "Doomed");
    ASSERT_TRUE(StartServiceA(svc, 0, nullptr));
    ASSERT_TRUE(WaitForState(svc, SERVICE_RUNNING));
    ASSERT_TRUE(DeleteService(svc));
    CloseServiceHandle(svc);
    // Still there while it runs.
    Handle again(OpenServiceA(mgr.h, "Doomed", SERVICE_STOP | SERVICE_QUERY_STATUS));
    ASSERT_NE(again.h, nullptr);
    SERVICE_STATUS st;
    ASSERT_TRUE(ControlService(again.h, SERVICE_CONTROL_STOP, &st));
    ASSERT_TRUE(WaitForState(again.h, SERVICE_STOPPED));
    CloseServiceHandle(again.h);
    again.h = nullptr;
    EXPECT_EQ(OpenServiceA(mgr.h, "Doomed", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ScmTest, TerminatedDispatcherThreadAndStoppedReportFromAnotherThread) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Term", "terminate"));
    ASSERT_TRUE(StartServiceA(svc.h, 0, nullptr));
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    SERVICE_STATUS st;
    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_STOPPED));
    EXPECT_EQ(Status(svc.h).dwWin32ExitCode, 0u); // reported, not aborted
    EXPECT_TRUE(WaitForLog("Term", "terminated 1 0"));
}

TEST(ScmServiceSide, CallsOutsideAServiceProcess) {
    unsetenv(w32p::scm::kChannelEnv);
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>("x"), [](DWORD, LPSTR*) {}},
                                    {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_EQ(RegisterServiceCtrlHandlerA("x", [](DWORD) {}), nullptr);
    EXPECT_EQ(GetLastError(), 1083u); // ERROR_SERVICE_NOT_IN_EXE
    SERVICE_STATUS st{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
    EXPECT_FALSE(SetServiceStatus(nullptr, &st));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetServiceBits(nullptr, 0x4000, TRUE, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ScmTest, StateRootLongerThanASocketAddress) {
    std::string longRoot = root + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
    ASSERT_EQ(system(("mkdir -p '" + longRoot + "'").c_str()), 0);
    setenv("WIN32POSIX_ROOT", longRoot.c_str(), 1);
    w32p::ResetStateRootForTests();
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Deep"));
    ASSERT_TRUE(StartServiceA(svc.h, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    SERVICE_STATUS st;
    EXPECT_TRUE(ControlService(svc.h, SERVICE_CONTROL_INTERROGATE, &st)) << GetLastError();
    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st));
    EXPECT_TRUE(WaitForState(svc.h, SERVICE_STOPPED));
}

// A service starts in the state root's system folder with a fixed
// environment, whatever the directory and environment of its starter.
TEST_F(ScmTest, ServicesStartAlikeWhoeverStartsThem) {
    std::string folder = root + "/drives/c/Windows/system32";
    ASSERT_EQ(system(("mkdir -p '" + folder + "'").c_str()), 0);
    {
        std::ofstream script(folder + "/where.sh");
        script << "#!/bin/sh\necho \"cwd=$(pwd)\"\nenv | sort\n";
    }
    ASSERT_EQ(chmod((folder + "/where.sh").c_str(), 0755), 0);
    Handle mgr(Manager());
    // A relative program path is found in the system folder.
    Handle svc(CreateServiceA(mgr.h, "Where", nullptr, SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              "./where.sh", nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_NE(svc.h, nullptr);
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    auto startFrom = [&](const std::string& dir, const char* marker,
                         const char* preload = nullptr) {
        EXPECT_EQ(chdir(dir.c_str()), 0);
        setenv("W32P_STARTER_MARKER", marker, 1);
        if (preload)
            setenv("LD_PRELOAD", preload, 1);           // files that do not exist: ignored by ld.so
        EXPECT_FALSE(StartServiceA(svc.h, 0, nullptr)); // exits without connecting
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROCESS_ABORTED));
        unsetenv("W32P_STARTER_MARKER");
        if (preload)
            unsetenv("LD_PRELOAD");
        EXPECT_EQ(chdir(here), 0);
        std::string log = ReadLog("Where");
        std::string path = root + "/logs/Where.log";
        unlink(path.c_str());
        return log;
    };
    std::string first = startFrom("/", "one");
    std::string second = startFrom(root, "two");
    EXPECT_NE(first.find("cwd=" + folder + "\n"), std::string::npos) << first;
    EXPECT_EQ(first.find("W32P_STARTER_MARKER"), std::string::npos) << first;
    EXPECT_NE(first.find("PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n"),
              std::string::npos);
    EXPECT_NE(first.find("WIN32POSIX_ROOT=" + root + "\n"), std::string::npos);
    EXPECT_NE(first.find("WIN32POSIX_WINSTA=Service-0x0-3e7$\n"), std::string::npos);
    EXPECT_EQ(first, second);
    // Only a sanitizer runtime's preload reaches the service.
    const char* runtime = "/nonexistent/lib/libasan.so.8";
    std::string sanitized = startFrom("/", "three", runtime);
    EXPECT_NE(sanitized.find("LD_PRELOAD=" + std::string(runtime) + "\n"), std::string::npos)
        << sanitized;
    std::string mixed = startFrom("/", "four", "/nonexistent/libasan.so.8:/nonexistent/libx.so");
    EXPECT_EQ(mixed.find("LD_PRELOAD"), std::string::npos) << mixed;
}
