// The supervisor of one service run. StartServiceA spawns it with
//   argv: <program> <service name> <image path> <service type> [start args...]
//   fd 3: the service's run file, already write-locked (the lock is the
//         sign that the service runs; it goes when this process ends)
//   fd 4: a pipe on which the start result (a DWORD error) is written
// It detaches, starts the image as a child process connected through two
// socket pairs, publishes every status report, serves controls from
// managers on its socket, and records the end of the run.
#include "logfile.h"
#include "recovery.h"
#include "scm.h"

#include "../paths.h"
#include "../stateroot.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace w32p::scm {
namespace {

constexpr int kRunFd = 3;
constexpr int kResultFd = 4;

int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string FindProgram(const std::string& name) {
    if (name.empty())
        return {};
    auto usable = [](const std::string& p) {
        struct stat st;
        return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(p.c_str(), X_OK) == 0;
    };
    if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos ||
        (name.size() > 1 && name[1] == ':')) {
        std::string mapped = MapWindowsPath(name);
        return usable(mapped) ? mapped : std::string();
    }
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon == std::string::npos ? colon : colon - start);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (usable(candidate))
            return candidate;
        if (colon == std::string::npos)
            return {};
        start = colon + 1;
    }
}

// Windows starts every service in its system folder with the manager's own
// environment, so a service behaves the same whoever starts it. Here the
// supervisor (and the service after it) moves to the state root's
// C:\Windows\system32 and replaces the environment it got from the starter
// with a fixed one: PATH, the account's HOME, USER, LOGNAME and SHELL, the
// layer's own WIN32POSIX_* settings and the sanitizers' *SAN_OPTIONS. An
// LD_PRELOAD stays only when all it preloads are sanitizer runtimes: a test
// run preloads one so that an uninstrumented host (perl) can load an
// instrumented extension, in services too.
bool SanitizerPreloadOnly(const std::string& list) {
    bool any = false;
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find_first_of(": ", at);
        if (end == std::string::npos)
            end = list.size();
        std::string entry = list.substr(at, end - at);
        at = end + 1;
        if (entry.empty())
            continue;
        std::string base = entry.substr(entry.rfind('/') + 1);
        bool runtime = false;
        for (const char* lib : {"libasan.so", "libtsan.so", "libubsan.so", "liblsan.so"})
            runtime = runtime || base.rfind(lib, 0) == 0;
        if (!runtime)
            return false;
        any = true;
    }
    return any;
}

void EnterServiceContext() {
    std::string system = MapWindowsPath("C:\\Windows\\system32");
    if (!MakeDirs(system) || chdir(system.c_str()) != 0)
        (void)!chdir("/");
    std::vector<std::string> kept;
    for (char** e = environ; e && *e; ++e) {
        std::string var = *e;
        std::string name = var.substr(0, var.find('='));
        bool sanitizer = name.size() > 11 && name.compare(name.size() - 11, 11, "SAN_OPTIONS") == 0;
        bool preload = name == "LD_PRELOAD" && SanitizerPreloadOnly(var.substr(11));
        if (name.rfind("WIN32POSIX_", 0) == 0 || sanitizer || preload)
            kept.push_back(var);
    }
    clearenv();
    for (const std::string& var : kept)
        putenv(strdup(var.c_str())); // the environment owns these for good
    setenv("PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", 1);
    if (passwd* pw = getpwuid(geteuid())) {
        setenv("HOME", pw->pw_dir, 1);
        setenv("USER", pw->pw_name, 1);
        setenv("LOGNAME", pw->pw_name, 1);
        setenv("SHELL", pw->pw_shell, 1);
    }
}

// In a child after fork: it dies with the supervisor (`parent`), starts
// with the default signal state, reads `in` and writes `out` (-1: keeps what
// it has).
void SetUpChild(pid_t parent, int in, int out) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (in >= 0)
        dup2(in, 0);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
}

struct Request {
    int client;
    uint32_t code;
    int64_t deadline;
};

class Supervisor {
public:
    Supervisor(std::string name, std::string base, DWORD type, int sigFd)
        : name_(std::move(name)), base_(std::move(base)), log_(LogPath(name_)), sigFd_(sigFd) {
        rec_.magic = kStatusMagic;
        rec_.version = 1;
        rec_.status.dwServiceType = type;
    }

    int Run(const std::string& imagePath, const std::vector<std::string>& startArgs);
    // After the run: the failure action its end calls for, if any.
    void Recover();

private:
    // Moves what the service wrote into its log; the pipe closes at its end.
    void PumpLog() {
        char buf[65536];
        while (logPipe_ >= 0) {
            ssize_t n = read(logPipe_, buf, sizeof buf);
            if (n > 0) {
                log_.Write(buf, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 || errno != EAGAIN) {
                close(logPipe_);
                logPipe_ = -1;
            }
            return;
        }
    }
    void RunCommand(const FailureStep& step);
    void Publish() { status_.Write(rec_); }
    void Report(DWORD error) {
        if (resultFd_ >= 0) {
            (void)!write(resultFd_, &error, sizeof error);
            close(resultFd_);
            resultFd_ = -1;
        }
    }
    void Reply(int client, DWORD error) {
        Msg m;
        m.type = MsgAck;
        m.error = error;
        memcpy(&m.status, &rec_.status, sizeof(SERVICE_STATUS));
        SendMsg(client, m);
        close(client);
    }
    // The run is over: publish it, stop listening, release the run lock.
    void EndRun(DWORD exitCode, bool fromService) {
        if (stopped_)
            return;
        stopped_ = true;
        if (!fromService) {
            rec_.status.dwCurrentState = SERVICE_STOPPED;
            rec_.status.dwControlsAccepted = 0;
            rec_.status.dwWin32ExitCode = exitCode;
            rec_.status.dwServiceSpecificExitCode = 0;
            rec_.status.dwCheckPoint = 0;
            rec_.status.dwWaitHint = 0;
        }
        rec_.status.dwProcessId = 0;
        Publish();
        if (listenFd_ >= 0) {
            close(listenFd_);
            listenFd_ = -1;
            unlink((base_ + ".sock").c_str());
        }
        for (Request& r : queue_)
            Reply(r.client, ERROR_SERVICE_NOT_ACTIVE);
        queue_.clear();
        close(kRunFd);
        TryCompleteDeletion(name_);
    }
    void SendNextControl() {
        if (busy_ || queue_.empty() || ctlFd_ < 0)
            return;
        Request r = queue_.front();
        queue_.pop_front();
        Msg m;
        m.type = MsgControl;
        m.seq = ++seq_;
        m.code = r.code;
        if (!SendMsg(ctlFd_, m)) {
            Reply(r.client, ERROR_SERVICE_NOT_ACTIVE);
            return;
        }
        busy_ = true;
        inFlight_ = r;
        inFlightSeq_ = m.seq;
        inFlightOpen_ = true;
    }
    void HandleClient(int client);
    void HandleStatus();
    bool HandleControlChannel();

    std::string name_, base_;
    LogWriter log_;
    int logPipe_ = -1;
    RunEnd end_ = RunEnd::NotRun;
    StatusRecord rec_;
    StatusWriter status_;
    int sigFd_;
    int listenFd_ = -1, ctlFd_ = -1, stsFd_ = -1, resultFd_ = kResultFd;
    pid_t child_ = -1;
    bool stopped_ = false, childGone_ = false;
    bool busy_ = false, inFlightOpen_ = false;
    Request inFlight_{};
    uint32_t inFlightSeq_ = 0, seq_ = 0;
    std::deque<Request> queue_;
    std::map<int, int64_t> clients_; // connected, request not read yet
};

// Whether the service's current state and accepted controls let a control
// through; the error otherwise.
DWORD ControlAllowed(const SERVICE_STATUS_PROCESS& st, DWORD code) {
    switch (st.dwCurrentState) {
    case SERVICE_STOPPED:
        return ERROR_SERVICE_NOT_ACTIVE;
    case SERVICE_START_PENDING:
    case SERVICE_STOP_PENDING:
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    default:
        break;
    }
    DWORD need = 0;
    switch (code) {
    case SERVICE_CONTROL_STOP:
        need = SERVICE_ACCEPT_STOP;
        break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        need = SERVICE_ACCEPT_PAUSE_CONTINUE;
        break;
    case SERVICE_CONTROL_PARAMCHANGE:
        need = SERVICE_ACCEPT_PARAMCHANGE;
        break;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
        need = SERVICE_ACCEPT_NETBINDCHANGE;
        break;
    default:
        break;
    }
    if (need && !(st.dwControlsAccepted & need))
        return ERROR_INVALID_SERVICE_CONTROL;
    return 0;
}

void Supervisor::HandleClient(int client) {
    clients_.erase(client);
    Msg m;
    ssize_t n = ReceivePacket(client, &m, sizeof m);
    if (n != static_cast<ssize_t>(sizeof m) || m.type != MsgControl) {
        close(client);
        return;
    }
    // The manager side checked the caller against the service's DACL. A
    // peer that is neither root nor this supervisor's user reached the
    // socket directly (a shared state root): it may only interrogate.
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
        (cred.uid != 0 && cred.uid != geteuid() && m.code != SERVICE_CONTROL_INTERROGATE)) {
        Reply(client, ERROR_ACCESS_DENIED);
        return;
    }
    DWORD err = stopped_ ? ERROR_SERVICE_NOT_ACTIVE : ControlAllowed(rec_.status, m.code);
    if (err) {
        Reply(client, err);
        return;
    }
    queue_.push_back(Request{client, m.code, NowMs() + TimeoutMs()});
    SendNextControl();
}

void Supervisor::HandleStatus() {
    Msg m;
    ssize_t n = ReceivePacket(stsFd_, &m, sizeof m);
    if (n <= 0) {
        close(stsFd_);
        stsFd_ = -1;
        return;
    }
    if (n != static_cast<ssize_t>(sizeof m))
        return;
    Msg ack;
    ack.type = MsgAck;
    ack.seq = m.seq;
    if (stopped_) {
        // The run has ended; a later report would describe nothing.
        ack.error = ERROR_SERVICE_NOT_ACTIVE;
        SendMsg(stsFd_, ack);
        return;
    }
    if (m.type == MsgStatus) {
        memcpy(&rec_.status, &m.status, sizeof(SERVICE_STATUS));
        rec_.status.dwProcessId = static_cast<DWORD>(child_);
        if (m.status.dwCurrentState == SERVICE_STOPPED) {
            end_ = m.status.dwWin32ExitCode ? RunEnd::ErrorStop : RunEnd::Stopped;
            EndRun(0, true);
            Msg end;
            end.type = MsgEnd;
            if (ctlFd_ >= 0)
                SendMsg(ctlFd_, end);
        } else {
            Publish();
        }
    } else if (m.type == MsgBits) {
        if (m.flags & 1)
            rec_.serviceBits |= m.code;
        else
            rec_.serviceBits &= ~m.code;
        Publish();
    } else {
        ack.error = ERROR_INVALID_PARAMETER;
    }
    SendMsg(stsFd_, ack);
}

bool Supervisor::HandleControlChannel() {
    Msg m;
    ssize_t n = ReceivePacket(ctlFd_, &m, sizeof m);
    if (n <= 0) {
        close(ctlFd_);
        ctlFd_ = -1;
        return false;
    }
    if (n == static_cast<ssize_t>(sizeof m) && m.type == MsgDone && busy_ &&
        m.seq == inFlightSeq_) {
        busy_ = false;
        if (inFlightOpen_)
            Reply(inFlight_.client, 0);
        inFlightOpen_ = false;
        if (stopped_) {
            for (Request& r : queue_)
                Reply(r.client, ERROR_SERVICE_NOT_ACTIVE);
            queue_.clear();
        }
        SendNextControl();
    }
    return true;
}

int Supervisor::Run(const std::string& imagePath, const std::vector<std::string>& startArgs) {
    if (!status_.Open(base_)) {
        Report(ERROR_ACCESS_DENIED);
        return 1;
    }
    rec_.status.dwCurrentState = SERVICE_START_PENDING;
    rec_.status.dwWaitHint = 2000;
    Publish();

    std::vector<std::string> argv = SplitCommandLine(imagePath);
    std::string program = argv.empty() ? std::string() : FindProgram(argv[0]);
    if (program.empty()) {
        EndRun(ERROR_FILE_NOT_FOUND, false);
        Report(ERROR_FILE_NOT_FOUND);
        return 0;
    }

    // The control socket of managers.
    listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    std::string sockPath = base_ + ".sock";
    unlink(sockPath.c_str());
    SocketPath addr(sockPath);
    if (listenFd_ < 0 || !addr.ok() || bind(listenFd_, addr.get(), sizeof addr.addr) != 0 ||
        listen(listenFd_, 64) != 0 || chmod(sockPath.c_str(), 0666) != 0) {
        EndRun(ERROR_SERVICE_NO_THREAD, false);
        Report(ERROR_SERVICE_NO_THREAD);
        return 1;
    }

    int ctl[2], sts[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ctl) != 0 ||
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sts) != 0) {
        EndRun(ERROR_NOT_ENOUGH_MEMORY, false);
        Report(ERROR_NOT_ENOUGH_MEMORY);
        return 1;
    }
    ctlFd_ = ctl[0];
    stsFd_ = sts[0];

    // The service's standard output and error reach its log through a pipe,
    // so that the log can be rotated while the service runs.
    int logPipe[2] = {-1, -1};
    if (pipe2(logPipe, O_CLOEXEC) == 0) {
        logPipe_ = logPipe[0];
        fcntl(logPipe_, F_SETFL, O_NONBLOCK);
    }
    int logFd = logPipe[1];
    int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);

    // Everything the child needs is built before fork.
    std::vector<std::string> envStore;
    for (char** e = environ; e && *e; ++e) {
        if (strncmp(*e, "WIN32POSIX_SERVICE_CHANNEL=", 27) == 0 ||
            strncmp(*e, "WIN32POSIX_WINSTA=", 18) == 0)
            continue;
        envStore.emplace_back(*e);
    }
    envStore.push_back(std::string(kChannelEnv) + "=3,4");
    envStore.push_back(std::string("WIN32POSIX_WINSTA=") + kServiceWinsta);
    std::vector<char*> envp;
    for (std::string& s : envStore)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (std::string& s : argv)
        args.push_back(s.data());
    args.push_back(nullptr);

    pid_t self = getpid();
    child_ = fork();
    if (child_ == 0) {
        SetUpChild(self, nullFd, logFd);
        setpgid(0, 0);
        if (dup2(ctl[1], 3) < 0 || dup2(sts[1], 4) < 0)
            _exit(127);
        execve(program.c_str(), args.data(), envp.data());
        _exit(127);
    }
    close(ctl[1]);
    close(sts[1]);
    if (logFd >= 0)
        close(logFd);
    if (nullFd >= 0)
        close(nullFd);
    if (child_ < 0) {
        EndRun(ERROR_NOT_ENOUGH_MEMORY, false);
        Report(ERROR_NOT_ENOUGH_MEMORY);
        return 1;
    }
    rec_.status.dwProcessId = static_cast<DWORD>(child_);
    Publish();

    // Connection: the dispatcher's hello within the time limit.
    int64_t connectDeadline = NowMs() + TimeoutMs();
    bool connected = false;
    while (!connected) {
        pollfd p[3] = {{ctlFd_, POLLIN, 0}, {sigFd_, POLLIN, 0}, {logPipe_, POLLIN, 0}};
        int64_t left = connectDeadline - NowMs();
        if (left <= 0)
            break;
        int r = poll(p, 3, static_cast<int>(left));
        if (r < 0 && errno != EINTR)
            break;
        if (p[2].revents)
            PumpLog();
        if (p[1].revents & POLLIN) {
            signalfd_siginfo si;
            (void)!read(sigFd_, &si, sizeof si);
            int status;
            if (waitpid(child_, &status, WNOHANG) == child_) {
                childGone_ = true;
                end_ = RunEnd::Crashed;
                PumpLog();
                EndRun(ERROR_PROCESS_ABORTED, false);
                Report(ERROR_PROCESS_ABORTED);
                return 0;
            }
        }
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            Msg m;
            ssize_t n = ReceivePacket(ctlFd_, &m, sizeof m);
            if (n <= 0) {
                // The process closed its end without connecting; wait for it.
                close(ctlFd_);
                ctlFd_ = -1;
                continue;
            }
            if (n == static_cast<ssize_t>(sizeof m) && m.type == MsgHello)
                connected = true;
        }
    }
    if (!connected) {
        kill(-child_, SIGKILL);
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
        childGone_ = true;
        PumpLog();
        EndRun(ERROR_SERVICE_REQUEST_TIMEOUT, false);
        Report(ERROR_SERVICE_REQUEST_TIMEOUT);
        return 0;
    }
    std::string payload(sizeof(uint32_t), '\0');
    uint32_t startType = MsgStart;
    memcpy(payload.data(), &startType, sizeof startType);
    payload += name_;
    payload += '\0';
    for (const std::string& a : startArgs) {
        payload += a;
        payload += '\0';
    }
    SendPacket(ctlFd_, payload.data(), payload.size());
    Report(0);

    // Main loop: no timer runs unless a control waits for its handler.
    while (!(stopped_ && childGone_)) {
        std::vector<pollfd> fds;
        fds.push_back({sigFd_, POLLIN, 0});
        fds.push_back({listenFd_, static_cast<short>(listenFd_ >= 0 ? POLLIN : 0), 0});
        fds.push_back({ctlFd_, static_cast<short>(ctlFd_ >= 0 ? POLLIN : 0), 0});
        fds.push_back({stsFd_, static_cast<short>(stsFd_ >= 0 ? POLLIN : 0), 0});
        fds.push_back({logPipe_, static_cast<short>(logPipe_ >= 0 ? POLLIN : 0), 0});
        for (auto& c : clients_)
            fds.push_back({c.first, POLLIN, 0});
        int64_t next = -1;
        if (busy_ && inFlightOpen_)
            next = inFlight_.deadline;
        for (Request& r : queue_)
            next = next < 0 ? r.deadline : std::min(next, r.deadline);
        for (auto& c : clients_)
            next = next < 0 ? c.second : std::min(next, c.second);
        int timeout = next < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, next - NowMs()));
        int r = poll(fds.data(), fds.size(), timeout);
        if (r < 0 && errno != EINTR)
            break;
        int64_t now = NowMs();
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si;
            (void)!read(sigFd_, &si, sizeof si);
            int status;
            if (!childGone_ && waitpid(child_, &status, WNOHANG) == child_)
                childGone_ = true;
        }
        if (fds[4].revents)
            PumpLog();
        if (fds[3].revents & (POLLIN | POLLHUP | POLLERR))
            HandleStatus();
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR))
            HandleControlChannel();
        if (fds[1].revents & POLLIN) {
            for (;;) {
                int c = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0)
                    break;
                clients_[c] = now + 5000;
            }
        }
        for (size_t i = 5; i < fds.size(); ++i)
            if (fds[i].revents)
                HandleClient(fds[i].fd);
        // Expired waits.
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (it->second <= now) {
                close(it->first);
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
        if (busy_ && inFlightOpen_ && inFlight_.deadline <= now) {
            Reply(inFlight_.client, ERROR_SERVICE_REQUEST_TIMEOUT);
            inFlightOpen_ = false; // the handler may still return later
        }
        while (!queue_.empty() && queue_.front().deadline <= now && busy_) {
            Reply(queue_.front().client, ERROR_SERVICE_REQUEST_TIMEOUT);
            queue_.pop_front();
        }
        if (childGone_) {
            // The process ended; one that did not report SERVICE_STOPPED
            // was aborted.
            if (inFlightOpen_)
                Reply(inFlight_.client, ERROR_SERVICE_NOT_ACTIVE);
            inFlightOpen_ = false;
            busy_ = false;
            PumpLog();
            if (!stopped_)
                end_ = RunEnd::Crashed;
            EndRun(ERROR_PROCESS_ABORTED, false);
        }
    }
    // What the service wrote last (anything a process it left behind still
    // writes is lost with the pipe).
    PumpLog();
    if (logPipe_ >= 0)
        close(logPipe_);
    logPipe_ = -1;
    for (auto& c : clients_)
        close(c.first);
    return 0;
}

void SleepMs(DWORD ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::string ErrorNote(DWORD error) {
    return "error " + std::to_string(error);
}

// The failure command with "%1%" replaced by the failure count, run with
// its output in the service's log; the supervisor waits for it.
void Supervisor::RunCommand(const FailureStep& step) {
    std::string command = step.config.command;
    for (size_t at; (at = command.find("%1%")) != std::string::npos;)
        command.replace(at, 3, std::to_string(step.failureCount));
    std::vector<std::string> argv = SplitCommandLine(command);
    std::string program = argv.empty() ? std::string() : FindProgram(argv[0]);
    if (program.empty()) {
        log_.Note("failure command \"" + command +
                  "\" not run: " + ErrorNote(ERROR_FILE_NOT_FOUND));
        return;
    }
    std::vector<char*> args;
    for (std::string& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    int out = log_.DuplicateFd();
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t self = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        SetUpChild(self, in, out);
        execv(program.c_str(), args.data());
        _exit(127);
    }
    if (out >= 0)
        close(out);
    if (in >= 0)
        close(in);
    if (pid < 0) {
        log_.Note("failure command \"" + command +
                  "\" not run: " + ErrorNote(ERROR_NOT_ENOUGH_MEMORY));
        return;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    log_.Note("failure command \"" + command + "\" ended with status " +
              std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)));
}

void Supervisor::Recover() {
    FailureStep step;
    if (!RecordFailure(name_, end_, static_cast<int64_t>(time(nullptr)), step))
        return;
    std::string failure = "failure " + std::to_string(step.failureCount) + " of service \"" +
                          name_ + "\" (" +
                          (end_ == RunEnd::Crashed ? "ended without reporting SERVICE_STOPPED"
                                                   : "stopped with an error") +
                          ")";
    switch (step.action.Type) {
    case SC_ACTION_NONE:
        log_.Note(failure + ": no action");
        return;
    case SC_ACTION_REBOOT:
        // This manager never restarts the host it runs on.
        log_.Note(failure + ": reboot refused, the host is not restarted (" +
                  ErrorNote(ERROR_NOT_SUPPORTED) + ")" +
                  (step.config.hasRebootMessage ? "; message: " + step.config.rebootMessage
                                                : std::string()));
        return;
    case SC_ACTION_RUN_COMMAND:
        log_.Note(failure + ": running the failure command in " +
                  std::to_string(step.action.Delay) + " ms");
        SleepMs(step.action.Delay);
        RunCommand(step);
        return;
    case SC_ACTION_RESTART:
        break;
    }
    log_.Note(failure + ": restart in " + std::to_string(step.action.Delay) + " ms");
    SleepMs(step.action.Delay);
    // Through the manager as any caller: a service deleted, disabled or
    // started by someone else in the meantime is left as it is.
    DWORD err = 0;
    SC_HANDLE mgr = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE svc = mgr ? OpenServiceA(mgr, name_.c_str(), SERVICE_START) : nullptr;
    if (!svc || !StartServiceA(svc, 0, nullptr))
        err = GetLastError();
    if (svc)
        CloseServiceHandle(svc);
    if (mgr)
        CloseServiceHandle(mgr);
    if (err)
        log_.Note("restart of service \"" + name_ + "\" failed: " + ErrorNote(err));
}

} // namespace

int RunSupervisor(int argc, char** argv) {
    if (argc < 4 || fcntl(kRunFd, F_GETFD) < 0 || fcntl(kResultFd, F_GETFD) < 0)
        return 2;
    std::string name = argv[1];
    std::string image = argv[2];
    DWORD type = static_cast<DWORD>(strtoul(argv[3], nullptr, 0));
    std::vector<std::string> startArgs(argv + 4, argv + argc);
    std::string base = ServiceFileBase(name);
    if (base.empty()) {
        DWORD err = ERROR_PATH_NOT_FOUND;
        (void)!write(kResultFd, &err, sizeof err);
        return 1;
    }
    fcntl(kRunFd, F_SETFD, FD_CLOEXEC);
    fcntl(kResultFd, F_SETFD, FD_CLOEXEC);

    // Detach: the starter reaps this first process at once.
    pid_t pid = fork();
    if (pid < 0) {
        DWORD err = ERROR_NOT_ENOUGH_MEMORY;
        (void)!write(kResultFd, &err, sizeof err);
        return 1;
    }
    if (pid > 0)
        _exit(0);
    setsid();
    int nullFd = open("/dev/null", O_RDWR);
    if (nullFd >= 0) {
        dup2(nullFd, 0);
        dup2(nullFd, 1);
        dup2(nullFd, 2);
        if (nullFd > 2)
            close(nullFd);
    }
    for (int fd = 5; fd < 1024; ++fd)
        close(fd);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGCHLD);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    int sigFd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sigFd < 0) {
        DWORD err = ERROR_NOT_ENOUGH_MEMORY;
        (void)!write(kResultFd, &err, sizeof err);
        return 1;
    }
    // The supervisor's pid, for people and tests that look for it.
    std::string pidText = std::to_string(getpid()) + "\n";
    if (ftruncate(kRunFd, 0) == 0)
        (void)!pwrite(kRunFd, pidText.data(), pidText.size(), 0);

    EnterServiceContext();
    Supervisor sup(name, base, type, sigFd);
    int rc = sup.Run(image, startArgs);
    sup.Recover();
    return rc;
}

} // namespace w32p::scm
