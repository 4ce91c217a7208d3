// svcctl debug [--] PROGRAM [ARGS]: runs a service program in the terminal
// as a temporary service under the manager. The service's image is svcctl
// itself in its attach role (svcctl --debug-attach SOCKET PID -- PROGRAM
// ARGS): it fetches the terminal's standard streams, working directory and
// environment from the debugging svcctl over a local socket, runs PROGRAM
// with them (keeping the service channel the supervisor gave it) and reports
// the program's process id and exit status back.
//
// The debugging side prints each state change, turns Ctrl-C into
// SERVICE_CONTROL_STOP (a second Ctrl-C kills the program), Ctrl-Z into
// SERVICE_CONTROL_PAUSE before it stops itself, and the SIGCONT of "fg"
// into SERVICE_CONTROL_CONTINUE. It removes the service at the end and exits
// with the program's exit status (128 + the signal for a killed program).
#include "svcctl.h"

#include "svc/logfile.h"
#include "svc/scm.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace svcctl {
namespace {

// Records from the attached program's side.
struct Report {
    uint32_t kind; // 1: the program's pid, 2: its wait status
    int32_t value;
};
constexpr uint32_t kReportPid = 1;
constexpr uint32_t kReportStatus = 2;

using w32p::scm::QuoteCommandLineArgument;

bool Executable(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// PROGRAM as the shell would find it, as an absolute path.
std::string ResolveProgram(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        char real[PATH_MAX];
        return realpath(program.c_str(), real) && Executable(real) ? std::string(real) : "";
    }
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    for (size_t start = 0;;) {
        size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon == std::string::npos ? colon : colon - start);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
        char real[PATH_MAX];
        if (Executable(candidate) && realpath(candidate.c_str(), real))
            return real;
        if (colon == std::string::npos)
            return "";
        start = colon + 1;
    }
}

void Say(const std::string& text) {
    std::string line = "svcctl debug: " + text + "\n";
    (void)!write(2, line.data(), line.size());
}

bool SendAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    return TransferAll(size,
                       [&](size_t done) { return send(fd, p + done, size - done, MSG_NOSIGNAL); });
}

bool ReceiveAll(int fd, void* data, size_t size) {
    char* p = static_cast<char*>(data);
    return TransferAll(size, [&](size_t done) { return recv(fd, p + done, size - done, 0); });
}

// The head of the console message: the payload's length, with the three
// standard descriptors attached.
struct ConsoleHeader {
    static constexpr size_t kFdBytes = 3 * sizeof(int);
    uint32_t length = 0;
    alignas(cmsghdr) char control[CMSG_SPACE(kFdBytes)] = {};
    iovec iov{&length, sizeof length};
    msghdr msg{};

    ConsoleHeader() {
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
    }
    ConsoleHeader(const ConsoleHeader&) = delete;
    ConsoleHeader& operator=(const ConsoleHeader&) = delete;
};

// Standard input, output and error (as descriptors), then the working
// directory and the environment as NUL-ended strings.
bool SendConsole(int conn) {
    std::string payload;
    char cwd[PATH_MAX];
    payload += getcwd(cwd, sizeof cwd) ? cwd : "/";
    payload += '\0';
    for (char** e = environ; e && *e; ++e) {
        payload += *e;
        payload += '\0';
    }
    ConsoleHeader h;
    h.length = static_cast<uint32_t>(payload.size());
    cmsghdr* c = CMSG_FIRSTHDR(&h.msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(ConsoleHeader::kFdBytes);
    int fds[3] = {0, 1, 2};
    memcpy(CMSG_DATA(c), fds, sizeof fds);
    ssize_t n;
    do
        n = sendmsg(conn, &h.msg, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof h.length) &&
           SendAll(conn, payload.data(), payload.size());
}

// The debugging side's state, shared with the threads that make the calls
// that may block (the start, and the controls).
struct Session {
    SC_HANDLE mgr = nullptr, svc = nullptr;
    int wake[2] = {-1, -1}; // call results, as Report{kind = control, value = error}
};

constexpr uint32_t kStartDone = 0x10000;

void CallAsync(Session& s, DWORD control) {
    std::thread([&s, control] {
        DWORD err = 0;
        if (control == kStartDone) {
            if (!StartServiceA(s.svc, 0, nullptr))
                err = GetLastError();
        } else {
            SERVICE_STATUS st;
            if (!ControlService(s.svc, control, &st))
                err = GetLastError();
        }
        Report r{control, static_cast<int32_t>(err)};
        (void)!write(s.wake[1], &r, sizeof r);
    }).detach();
}

const char* ControlName(DWORD control) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
        return "STOP";
    case SERVICE_CONTROL_PAUSE:
        return "PAUSE";
    case SERVICE_CONTROL_CONTINUE:
        return "CONTINUE";
    default:
        return "StartService";
    }
}

SERVICE_STATUS_PROCESS Query(SC_HANDLE svc) {
    SERVICE_STATUS_PROCESS sp{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&sp), sizeof sp,
                              &needed))
        sp.dwCurrentState = 0;
    return sp;
}

class Debugger {
public:
    Debugger(Session& s, int listenFd, int sigFd) : s_(s), listen_(listenFd), sig_(sigFd) {}

    int Run() {
        // The state before the start (never started) is not news.
        lastState_ = Query(s_.svc).dwCurrentState;
        CallAsync(s_, kStartDone);
        while (!Finished()) {
            pollfd fds[4] = {{listen_, POLLIN, 0},
                             {conn_, static_cast<short>(conn_ >= 0 ? POLLIN : 0), 0},
                             {sig_, POLLIN, 0},
                             {s_.wake[0], POLLIN, 0}};
            int r = poll(fds, 4, 20);
            if (r < 0 && errno != EINTR)
                break;
            if (fds[0].revents & POLLIN)
                Accept();
            if (fds[1].revents)
                ReadReports();
            if (fds[2].revents & POLLIN)
                Signals();
            if (fds[3].revents & POLLIN)
                Results();
            if (killed_)
                Kill();
            ShowState();
        }
        // The attached side may still be queued or have reports in flight.
        Accept();
        if (conn_ >= 0)
            ReadReports();
        ShowState();
        return ExitCode();
    }

private:
    bool Finished() {
        // Done once the start call has come back, the service is stopped and
        // the attached side (if it ever came) has said all it will say.
        return startDone_ && lastState_ == SERVICE_STOPPED && (!connected_ || conn_ < 0);
    }

    void Accept() {
        if (connected_)
            return;
        int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c < 0)
            return;
        connected_ = true;
        int flags = fcntl(c, F_GETFL);
        fcntl(c, F_SETFL, flags & ~O_NONBLOCK);
        if (!SendConsole(c)) {
            close(c);
            return;
        }
        fcntl(c, F_SETFL, flags | O_NONBLOCK);
        conn_ = c;
    }

    void ReadReports() {
        for (;;) {
            Report r;
            ssize_t n = recv(conn_, &r, sizeof r, MSG_WAITALL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            if (n != static_cast<ssize_t>(sizeof r)) {
                close(conn_);
                conn_ = -1;
                return;
            }
            if (r.kind == kReportPid)
                programPid_ = r.value;
            else if (r.kind == kReportStatus) {
                status_ = r.value;
                hasStatus_ = true;
            }
        }
    }

    void Interrupt() {
        if (++interrupts_ == 1) {
            Say("stopping the service (Ctrl-C again ends the program)");
            CallAsync(s_, SERVICE_CONTROL_STOP);
            return;
        }
        Say("ending the program");
        killed_ = true;
        Kill();
    }

    // After the second Ctrl-C: kills the program, and the service's process
    // with its group (the program and what it started; the process itself
    // too, as it may not have made its group yet). Called again as they
    // become known, since the supervisor may not have started the process
    // at the time of the keystroke; each process is killed once.
    void Kill() {
        if (programPid_ > 0 && !programKilled_) {
            kill(programPid_, SIGKILL);
            programKilled_ = true;
        }
        DWORD pid = Query(s_.svc).dwProcessId;
        if (pid && pid != killedPid_) {
            kill(-static_cast<pid_t>(pid), SIGKILL);
            kill(static_cast<pid_t>(pid), SIGKILL);
            killedPid_ = pid;
        }
    }

    void Suspend() {
        SERVICE_STATUS st;
        if (Query(s_.svc).dwCurrentState == SERVICE_RUNNING) {
            if (ControlService(s_.svc, SERVICE_CONTROL_PAUSE, &st))
                pausedHere_ = true;
            else
                Result(SERVICE_CONTROL_PAUSE, GetLastError());
        }
        // A service answers the pause in its own time; suspend once it has
        // (or after its wait hint, at most 30 s).
        SERVICE_STATUS_PROCESS sp = Query(s_.svc);
        auto end =
            std::chrono::steady_clock::now() +
            std::chrono::milliseconds(std::min<DWORD>(std::max<DWORD>(sp.dwWaitHint, 3000), 30000));
        while (pausedHere_ && sp.dwCurrentState == SERVICE_PAUSE_PENDING &&
               std::chrono::steady_clock::now() < end) {
            ShowState();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            sp = Query(s_.svc);
        }
        ShowState();
        Say("suspended (fg continues the service)");
        kill(getpid(), SIGSTOP);
    }

    void Signals() {
        signalfd_siginfo si;
        while (read(sig_, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
            switch (si.ssi_signo) {
            case SIGTSTP:
                Suspend();
                break;
            case SIGCONT:
                if (pausedHere_) {
                    pausedHere_ = false;
                    CallAsync(s_, SERVICE_CONTROL_CONTINUE);
                }
                break;
            default: // SIGINT, SIGTERM, SIGHUP
                Interrupt();
                break;
            }
        }
    }

    void Result(uint32_t call, DWORD err) {
        if (call == kStartDone) {
            startDone_ = true;
            startError_ = err;
        }
        if (err)
            Say(std::string(ControlName(call)) + " failed " + std::to_string(err) + ": " +
                ErrorText(err));
    }

    void Results() {
        Report r;
        while (read(s_.wake[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r))
            Result(r.kind, static_cast<DWORD>(r.value));
    }

    void ShowState() {
        SERVICE_STATUS_PROCESS sp = Query(s_.svc);
        if (!sp.dwCurrentState || sp.dwCurrentState == lastState_)
            return;
        lastState_ = sp.dwCurrentState;
        std::string text = StateName(sp.dwCurrentState);
        if (sp.dwProcessId)
            text += " (pid " + std::to_string(sp.dwProcessId) + ")";
        if (sp.dwCurrentState == SERVICE_STOPPED && sp.dwWin32ExitCode)
            text += ", exit code " + std::to_string(sp.dwWin32ExitCode) +
                    (sp.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                         ? " (service code " + std::to_string(sp.dwServiceSpecificExitCode) + ")"
                         : std::string());
        Say(text);
    }

    int ExitCode() const {
        if (hasStatus_)
            return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
        if (killed_)
            return 128 + SIGKILL;
        return ExitStatus(startError_ ? startError_ : ERROR_PROCESS_ABORTED);
    }

    Session& s_;
    int listen_, sig_, conn_ = -1;
    bool connected_ = false, startDone_ = false, hasStatus_ = false, killed_ = false;
    bool programKilled_ = false;
    DWORD killedPid_ = 0;
    bool pausedHere_ = false;
    DWORD startError_ = 0, lastState_ = 0;
    int interrupts_ = 0, status_ = 0;
    pid_t programPid_ = -1;
};

constexpr const char* kDebugPrefix = "svcctl-debug-";

void RemoveServiceLogs(const std::string& name) {
    for (const std::string& f : w32p::scm::LogFiles(w32p::scm::LogPath(name)))
        unlink(f.c_str());
}

// The temporary services of sessions whose svcctl was killed before it
// could remove them: stopped, and the svcctl of their name gone (or this
// one, which has the pid of a killed one).
void RemoveAbandoned(SC_HANDLE mgr) {
    std::vector<std::string> names;
    DWORD error = 0;
    if (!ServiceNames(mgr, SERVICE_INACTIVE, names, error))
        return;
    size_t prefix = strlen(kDebugPrefix);
    for (const std::string& name : names) {
        if (name.compare(0, prefix, kDebugPrefix) != 0 || name.size() == prefix ||
            name.find_first_not_of("0123456789", prefix) != std::string::npos)
            continue;
        DWORD pid = 0;
        if (!ParseNumber(name.substr(prefix), pid) || pid == 0 || pid > INT_MAX)
            continue;
        if (static_cast<pid_t>(pid) != getpid() &&
            (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH))
            continue;
        Sc svc(OpenServiceA(mgr, name.c_str(), DELETE));
        if (svc.h && DeleteService(svc.h))
            RemoveServiceLogs(name);
    }
}

void RemoveTree(const std::string& dir, const std::string& file) {
    unlink((dir + "/" + file).c_str());
    rmdir(dir.c_str());
}

} // namespace

int DoDebug(const std::vector<std::string>& args) {
    size_t first = args.size() > 1 && args[1] == "--" ? 2 : 1;
    if (first >= args.size())
        return UsageError("debug", "missing program");
    std::string program = ResolveProgram(args[first]);
    if (program.empty())
        return Failed("CreateProcess", ERROR_FILE_NOT_FOUND);
    char self[PATH_MAX];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0)
        return Failed("GetModuleFileName", ERROR_FILE_NOT_FOUND);
    self[len] = 0;

    // The socket the attached side connects to, in a private folder.
    const char* tmp = getenv("TMPDIR");
    std::string dirTemplate = std::string(tmp && *tmp ? tmp : "/tmp") + "/svcctl-debug-XXXXXX";
    std::vector<char> dirBuf(dirTemplate.begin(), dirTemplate.end());
    dirBuf.push_back(0);
    if (!mkdtemp(dirBuf.data()))
        return Failed("CreateDirectory", ERROR_PATH_NOT_FOUND);
    std::string dir = dirBuf.data();
    std::string sockPath = dir + "/console";
    int listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    w32p::scm::SocketPath addr(sockPath);
    if (listenFd < 0 || !addr.ok() || bind(listenFd, addr.get(), sizeof addr.addr) != 0 ||
        listen(listenFd, 4) != 0) {
        if (listenFd >= 0)
            close(listenFd);
        RemoveTree(dir, "console");
        return Failed("CreateNamedPipe", ERROR_ACCESS_DENIED);
    }

    std::string name = kDebugPrefix + std::to_string(getpid());
    std::string image = QuoteCommandLineArgument(self) + " --debug-attach " +
                        QuoteCommandLineArgument(sockPath) + " -- " +
                        QuoteCommandLineArgument(program);
    std::string shown = args[first];
    for (size_t i = first + 1; i < args.size(); ++i) {
        image += " " + QuoteCommandLineArgument(args[i]);
        shown += " " + args[i];
    }
    Session s;
    s.mgr =
        OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_ENUMERATE_SERVICE);
    if (!s.mgr) {
        int st = Failed("OpenSCManager", GetLastError());
        close(listenFd);
        RemoveTree(dir, "console");
        return st;
    }
    RemoveAbandoned(s.mgr);
    std::string display = "svcctl debug " + std::to_string(getpid());
    s.svc = CreateServiceA(s.mgr, name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!s.svc) {
        int st = Failed("CreateService", GetLastError());
        CloseServiceHandle(s.mgr);
        close(listenFd);
        RemoveTree(dir, "console");
        return st;
    }

    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGTSTP, SIGCONT})
        sigaddset(&mask, sig);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    int sigFd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    if (pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0 || sigFd < 0) {
        Say("cannot set up the terminal controls");
        return ExitStatus(ERROR_NOT_ENOUGH_MEMORY);
    }
    Say("service \"" + name + "\" runs " + shown +
        "; Ctrl-C stops it, Ctrl-Z pauses it, fg continues it");
    int code = Debugger(s, listenFd, sigFd).Run();

    DeleteService(s.svc);
    CloseServiceHandle(s.svc);
    CloseServiceHandle(s.mgr);
    close(listenFd);
    RemoveTree(dir, "console");
    RemoveServiceLogs(name);
    // Threads of calls still under way end with the process.
    fflush(stdout);
    _exit(code);
}

int RunDebugAttach(const std::vector<std::string>& args) {
    // --debug-attach SOCKET -- PROGRAM [ARGS]
    if (args.size() < 4 || args[2] != "--")
        return 2;
    int conn = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    w32p::scm::SocketPath addr(args[1]);
    if (conn < 0 || !addr.ok() || connect(conn, addr.get(), sizeof addr.addr) != 0)
        return 3;
    ConsoleHeader h;
    ssize_t n;
    do
        n = recvmsg(conn, &h.msg, MSG_WAITALL | MSG_CMSG_CLOEXEC);
    while (n < 0 && errno == EINTR);
    cmsghdr* c = CMSG_FIRSTHDR(&h.msg);
    if (n != static_cast<ssize_t>(sizeof h.length) || !c || c->cmsg_type != SCM_RIGHTS ||
        c->cmsg_len != CMSG_LEN(ConsoleHeader::kFdBytes) || h.length > (64u << 20))
        return 3;
    int fds[3];
    memcpy(fds, CMSG_DATA(c), sizeof fds);
    uint32_t length = h.length;
    std::string payload(length, '\0');
    if (!ReceiveAll(conn, payload.data(), length))
        return 3;

    // The terminal's streams, directory and environment; the service
    // channel and window station stay the ones the supervisor gave.
    std::vector<std::string> fields;
    for (size_t at = 0; at < payload.size();) {
        size_t end = payload.find('\0', at);
        if (end == std::string::npos)
            end = payload.size();
        fields.push_back(payload.substr(at, end - at));
        at = end + 1;
    }
    if (fields.empty())
        return 3;
    std::vector<std::string> env;
    for (size_t i = 1; i < fields.size(); ++i)
        if (fields[i].compare(0, 27, "WIN32POSIX_SERVICE_CHANNEL=") != 0 &&
            fields[i].compare(0, 18, "WIN32POSIX_WINSTA=") != 0)
            env.push_back(fields[i]);
    for (const char* keep : {"WIN32POSIX_SERVICE_CHANNEL", "WIN32POSIX_WINSTA"})
        if (const char* v = getenv(keep))
            env.push_back(std::string(keep) + "=" + v);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStore(args.begin() + 3, args.end());
    std::vector<char*> argv;
    for (std::string& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (int i = 0; i < 3; ++i) {
        dup2(fds[i], i);
        close(fds[i]);
    }
    if (chdir(fields[0].c_str()) != 0) {
        // The terminal's folder is gone: the service's own folder it is.
    }

    pid_t self = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != self)
            _exit(127);
        execve(argv[0], argv.data(), envp.data());
        fprintf(stderr, "svcctl debug: %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    // The program holds the service channel now.
    if (const char* channel = getenv("WIN32POSIX_SERVICE_CHANNEL")) {
        int a = -1, b = -1;
        if (sscanf(channel, "%d,%d", &a, &b) == 2) {
            close(a);
            close(b);
        }
    }
    if (pid < 0)
        return 127;
    Report r{kReportPid, pid};
    SendAll(conn, &r, sizeof r);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r = {kReportStatus, status};
    SendAll(conn, &r, sizeof r);
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace svcctl
