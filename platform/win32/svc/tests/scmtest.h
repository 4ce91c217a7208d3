#pragma once
// Test fixture of the service control manager: a private state root, the
// supervisor and test service of this build, short time limits, and the
// end of every supervisor (and so every service) a test started.
#include <windows.h>

#include "stateroot.h"
#include "svc/scm.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// A service or manager handle, closed on scope exit.
struct Handle {
    SC_HANDLE h;
    explicit Handle(SC_HANDLE x) : h(x) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h)
            CloseServiceHandle(h);
    }
};

// Whether a process with this id exists (a zombie still does).
inline bool ProcessAlive(DWORD pid) {
    return pid && kill(static_cast<pid_t>(pid), 0) == 0;
}

// The process id the service's status reports (0 when none).
inline DWORD PidOf(SC_HANDLE svc) {
    SERVICE_STATUS_PROCESS sp{};
    DWORD needed = 0;
    QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&sp), sizeof sp,
                         &needed);
    return sp.dwProcessId;
}

// Whether the process has ended: gone, or a zombie whose other threads
// have exited as well. A killed process's first thread turns zombie while
// the others may still be exiting, holding its files and so its locks.
inline bool ProcessEnded(DWORD pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return true;
    size_t close = text.rfind(')');
    if (close == std::string::npos)
        return false;
    // After the name: state, then 16 fields, then the number of threads.
    std::istringstream fields(text.substr(close + 1));
    std::string state, skip;
    fields >> state;
    for (int i = 0; i < 16; ++i)
        fields >> skip;
    long threads = 0;
    fields >> threads;
    return state == "Z" && threads <= 1;
}

// Waits (up to ten seconds) until the process has ended.
inline bool WaitGone(DWORD pid) {
    for (int i = 0; i < 1000; ++i) {
        if (ProcessEnded(pid))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A child process that runs `take` (taking a lock or opening a handle) and
// then holds on until Release() or scope exit kills it (SIGKILL), so that
// what it took is given up only by its death. `reported` tells whether the
// child said how `take` went, `took` whether it succeeded.
struct HoldingChild {
    pid_t pid = -1;
    bool reported = false;
    bool took = false;

    explicit HoldingChild(const std::function<bool()>& take) {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            char c = take() ? 'y' : 'n';
            (void)!write(fds[1], &c, 1);
            pause();
            _exit(0);
        }
        char c = 0;
        reported = pid > 0 && read(fds[0], &c, 1) == 1;
        took = c == 'y';
        close(fds[0]);
        close(fds[1]);
    }
    HoldingChild(const HoldingChild&) = delete;
    HoldingChild& operator=(const HoldingChild&) = delete;
    ~HoldingChild() { Release(); }

    void Release() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
};

// For HoldingChild: takes the service database lock.
inline bool TakeDatabaseLock() {
    SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    return LockServiceDatabase(m) != nullptr;
}

// Enables or disables SeShutdownPrivilege in this process's token.
inline bool SetShutdownPrivilege(bool on) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = on ? SE_PRIVILEGE_ENABLED : 0;
    bool ok = LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid) &&
              AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr);
    CloseHandle(token);
    return ok;
}

class ScmTest : public ::testing::Test {
protected:
    std::string root;

    void SetUp() override {
        char tmpl[] = "/tmp/scmtest-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        setenv("WIN32POSIX_ROOT", root.c_str(), 1);
        setenv("WIN32POSIX_SUPERVISOR", SCM_SUPERVISOR, 1);
        // Long enough for a slow start on a loaded machine; the tests of the
        // time limits shorten it.
        setenv("WIN32POSIX_SCM_TIMEOUT_MS", "10000", 1);
        w32p::ResetStateRootForTests();
        // Only root (LocalSystem) may create and control services; other
        // users have read access (covered as root, through another user).
        if (geteuid() != 0)
            GTEST_SKIP() << "administering services needs root (LocalSystem)";
    }

    void TearDown() override {
        KillSupervisors();
        std::string cmd = "rm -rf '" + root + "'";
        (void)!system(cmd.c_str());
    }

    // SIGKILL to every supervisor under this root, also one whose run has
    // ended but whose service process has not exited; their services follow.
    void KillSupervisors() {
        std::string dir = root + "/scm";
        DIR* d = opendir(dir.c_str());
        if (!d)
            return;
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() < 4 || n.substr(n.size() - 4) != ".run")
                continue;
            std::ifstream in(dir + "/" + n);
            long pid = 0;
            if (!(in >> pid) || pid <= 1)
                continue;
            std::string proc = "/proc/" + std::to_string(pid);
            std::ifstream cmd(proc + "/cmdline");
            std::string cmdline;
            std::getline(cmd, cmdline, '\0');
            if (cmdline.find("svcsupervisor") == std::string::npos)
                continue;
            kill(static_cast<pid_t>(pid), SIGKILL);
            WaitGone(static_cast<DWORD>(pid));
        }
        closedir(d);
    }

    static std::string TestImage(const std::string& mode) {
        return std::string("\"") + SCM_TEST_SERVICE + "\" " + mode;
    }

    SC_HANDLE Manager(DWORD access = SC_MANAGER_ALL_ACCESS) {
        return OpenSCManagerA(nullptr, nullptr, access);
    }

    // Creates a demand-start own-process service running the test program.
    SC_HANDLE CreateTestService(SC_HANDLE mgr, const char* name, const std::string& mode = "normal",
                                const char* deps = nullptr) {
        return CreateServiceA(mgr, name, nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, TestImage(mode).c_str(),
                              nullptr, nullptr, deps, nullptr, nullptr);
    }

    static SERVICE_STATUS Status(SC_HANDLE svc) {
        SERVICE_STATUS st{};
        EXPECT_TRUE(QueryServiceStatus(svc, &st)) << GetLastError();
        return st;
    }

    // Polls until the service reaches the state (generous limit).
    static bool WaitForState(SC_HANDLE svc, DWORD state, int ms = 15000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            SERVICE_STATUS st{};
            if (QueryServiceStatus(svc, &st) && st.dwCurrentState == state)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string ReadLog(const std::string& name) {
        std::ifstream in(root + "/logs/" + name + ".log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // Waits until the service's log holds the text.
    bool WaitForLog(const std::string& name, const std::string& text, int ms = 10000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (ReadLog(name).find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};
