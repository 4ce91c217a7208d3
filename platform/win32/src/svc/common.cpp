// Shared helpers of the service control manager: run-time file names, the
// published status record, packet I/O and command-line splitting.
#include "scm.h"

#include "../stateroot.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace w32p::scm {

DWORD TimeoutMs() {
    if (const char* env = getenv("WIN32POSIX_SCM_TIMEOUT_MS"); env && *env) {
        char* end = nullptr;
        unsigned long v = strtoul(env, &end, 10);
        if (end && *end == 0 && v > 0 && v <= 600000)
            return static_cast<DWORD>(v);
    }
    return 30000;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

std::string ScmDir() {
    const std::string& root = StateRoot();
    if (root.empty())
        return {};
    std::string dir = root + "/scm";
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    return dir;
}

namespace {

uint64_t Fnv1a(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

} // namespace

std::string ServiceFileBase(const std::string& name) {
    std::string dir = ScmDir();
    if (dir.empty())
        return {};
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(Fnv1a(Lower(name))));
    return dir + "/svc-" + hex;
}

std::string LogPath(const std::string& name) {
    const std::string& root = StateRoot();
    if (root.empty())
        return {};
    std::string dir = root + "/logs";
    mkdir(dir.c_str(), 0700);
    // Names keep letters, digits and ".-_"; anything else becomes '_' and
    // a hash suffix keeps such names apart.
    std::string safe;
    bool changed = false;
    for (char c : name.substr(0, 200)) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_';
        safe += ok ? c : '_';
        changed |= !ok;
    }
    if (changed || name.size() > 200 || safe.empty() || safe[0] == '.') {
        uint64_t h = Fnv1a(name);
        char hex[9];
        snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>((h >> 32) ^ h));
        safe += std::string("-") + hex;
    }
    return dir + "/" + safe + ".log";
}

StatusWriter::~StatusWriter() {
    if (map_)
        munmap(map_, sizeof(StatusRecord));
}

bool StatusWriter::Open(const std::string& base) {
    // Readable by every user of a shared state root; access is decided by
    // the layer's own checks.
    int fd = open((base + ".status").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    fchmod(fd, 0644);
    StatusRecord old;
    if (pread(fd, &old, sizeof old, 0) == static_cast<ssize_t>(sizeof old))
        sequence_ = (old.sequence | 1) + 1; // never repeat an earlier value
    void* p = MAP_FAILED;
    if (ftruncate(fd, sizeof(StatusRecord)) == 0)
        p = mmap(nullptr, sizeof(StatusRecord), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED)
        return false;
    map_ = static_cast<StatusRecord*>(p);
    return true;
}

void StatusWriter::Write(const StatusRecord& rec) {
    if (!map_)
        return;
    __atomic_store_n(&map_->sequence, sequence_ + 1, __ATOMIC_RELEASE);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    map_->magic = kStatusMagic;
    map_->version = 1;
    map_->status = rec.status;
    map_->serviceBits = rec.serviceBits;
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    sequence_ += 2;
    __atomic_store_n(&map_->sequence, sequence_, __ATOMIC_RELEASE);
}

bool ReadStatusFile(const std::string& base, StatusRecord& rec) {
    int fd = open((base + ".status").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = false;
    for (int attempt = 0; attempt < 200 && !ok; ++attempt) {
        StatusRecord a, b;
        if (pread(fd, &a, sizeof a, 0) != static_cast<ssize_t>(sizeof a))
            break;
        if (a.sequence % 2 == 0 && pread(fd, &b, sizeof b, 0) == static_cast<ssize_t>(sizeof b) &&
            memcmp(&a, &b, sizeof a) == 0) {
            ok = a.magic == kStatusMagic && a.version == 1 && a.sequence != 0;
            if (ok)
                rec = a;
            break;
        }
        if (attempt > 20)
            usleep(100);
    }
    close(fd);
    return ok;
}

bool SupervisorAlive(const std::string& base) {
    int fd = open((base + ".run").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    bool alive = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    close(fd);
    return alive;
}

SERVICE_STATUS_PROCESS CurrentStatus(const std::string& base, DWORD serviceType) {
    StatusRecord rec;
    SERVICE_STATUS_PROCESS st{};
    if (!ReadStatusFile(base, rec)) {
        st.dwServiceType = serviceType;
        st.dwCurrentState = SERVICE_STOPPED;
        st.dwWin32ExitCode = ERROR_SERVICE_NEVER_STARTED;
        return st;
    }
    st = rec.status;
    if (st.dwCurrentState != SERVICE_STOPPED && !SupervisorAlive(base)) {
        // The supervisor died without publishing the end of the run.
        st.dwCurrentState = SERVICE_STOPPED;
        st.dwControlsAccepted = 0;
        st.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
        st.dwServiceSpecificExitCode = 0;
        st.dwCheckPoint = 0;
        st.dwWaitHint = 0;
        st.dwProcessId = 0;
    }
    return st;
}

bool SendPacket(int fd, const void* data, size_t size) {
    for (;;) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(size))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

ssize_t ReceivePacket(int fd, void* data, size_t size) {
    for (;;) {
        ssize_t n = recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

int WaitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        int r = poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        return r > 0 ? 1 : 0;
    }
}

std::vector<std::string> SplitCommandLine(const std::string& line) {
    std::vector<std::string> args;
    size_t i = 0, n = line.size();
    for (;;) {
        while (i < n && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= n)
            break;
        std::string arg;
        bool quoted = false;
        while (i < n) {
            char c = line[i];
            if (!quoted && (c == ' ' || c == '\t'))
                break;
            if (c == '\\') {
                size_t run = 0;
                while (i < n && line[i] == '\\') {
                    ++run;
                    ++i;
                }
                if (i < n && line[i] == '"') {
                    // 2k backslashes + quote: k backslashes, the quote toggles;
                    // 2k+1: k backslashes and a literal quote.
                    arg.append(run / 2, '\\');
                    if (run % 2) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(run, '\\');
                }
                continue;
            }
            if (c == '"') {
                // Inside quotes, a doubled quote is a literal quote.
                if (quoted && i + 1 < n && line[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg += c;
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

std::string QuoteCommandLineArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    // Doubled before the closing quote, so that they stay literal.
    out.append(2 * backslashes, '\\');
    return out + "\"";
}

SocketPath::SocketPath(const std::string& path) {
    addr.sun_family = AF_UNIX;
    std::string use = path;
    if (path.size() >= sizeof addr.sun_path) {
        // Too long for an address: name it through its folder's descriptor.
        size_t slash = path.rfind('/');
        dirFd_ = open(slash == std::string::npos ? "." : path.substr(0, slash).c_str(),
                      O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirFd_ < 0)
            return;
        use = "/proc/self/fd/" + std::to_string(dirFd_) + "/" + path.substr(slash + 1);
        if (use.size() >= sizeof addr.sun_path)
            return;
    }
    memcpy(addr.sun_path, use.c_str(), use.size() + 1);
    ok_ = true;
}

SocketPath::~SocketPath() {
    if (dirFd_ >= 0)
        close(dirFd_);
}

int ConnectSupervisor(const std::string& base) {
    SocketPath path(base + ".sock");
    if (!path.ok())
        return -1;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, path.get(), sizeof path.addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace w32p::scm
