#pragma once
// Shared pieces of the service control manager: where a service's run-time
// files live, the status record the supervisor publishes, the messages
// between manager, supervisor and service process, and small helpers.
//
// Files under <state root>/scm, per service (named by a hash of the
// lower-case service name, as service names are case-insensitive):
//   svc-<hash>.run      a supervisor holds a write lock (OFD) on byte 0 for
//                       the whole run; no lock means no supervisor
//   svc-<hash>.status   the last status the service reported, replaced
//                       atomically (rename) on every report
//   svc-<hash>.handles  every open service handle holds a read lock on it;
//                       a deletion completes when a write lock is granted
//   svc-<hash>.sock     the supervisor's control socket
//   db.lock             the service database lock (LockServiceDatabase)
// The log of a service (its standard output and error) is
// <state root>/logs/<service name>.log (logfile.h).
#include <windows.h>

#include <cstdint>
#include <sys/socket.h>
#include <sys/un.h>
#include <string>
#include <vector>

#ifndef ERROR_SERVICE_NOT_IN_EXE
#define ERROR_SERVICE_NOT_IN_EXE 1083L
#endif
#ifndef ERROR_SERVICE_NEVER_STARTED
#define ERROR_SERVICE_NEVER_STARTED 1077L
#endif
#ifndef RPC_X_NULL_REF_POINTER
#define RPC_X_NULL_REF_POINTER 1780L
#endif
#ifndef ERROR_DATABASE_DOES_NOT_EXIST
#define ERROR_DATABASE_DOES_NOT_EXIST 1065L
#endif

namespace w32p::scm {

constexpr const char* kServicesKey = "System\\CurrentControlSet\\Services";
constexpr const char* kChannelEnv = "WIN32POSIX_SERVICE_CHANNEL";
constexpr const char* kServiceWinsta = "Service-0x0-3e7$";
constexpr size_t kMaxNameLength = 256;
// Service name and start arguments with their terminators, at most.
constexpr size_t kMaxStartArgsBytes = 60000;

// The 30-second limits of the manager (process connect, handler return);
// WIN32POSIX_SCM_TIMEOUT_MS shortens them for tests.
DWORD TimeoutMs();

std::string Lower(std::string s);
bool EqualNoCase(const std::string& a, const std::string& b);

// <root>/scm (created), empty when the state root is unusable.
std::string ScmDir();
// <root>/scm/svc-<hash> for a service name.
std::string ServiceFileBase(const std::string& name);
// <root>/logs/<name>.log (the folder is created). Names keep letters,
// digits and ".-_"; a name with other characters (or a leading dot, or
// longer than 200) gets them as '_' and a short hash of the whole name.
std::string LogPath(const std::string& name);

// The published status of a service. The supervisor updates it in place
// through a shared mapping: the sequence is odd while a write is under way
// and grows by two with every report, so a reader that sees the same even
// sequence in two copies read one after the other has a whole record.
struct StatusRecord {
    uint64_t sequence = 0;
    uint32_t magic = 0;
    uint32_t version = 0;
    SERVICE_STATUS_PROCESS status{};
    uint32_t serviceBits = 0;
    uint32_t reserved = 0;
};
constexpr uint32_t kStatusMagic = 0x53323357; // "W32S"

// The supervisor's writable view of <base>.status.
class StatusWriter {
public:
    StatusWriter() = default;
    StatusWriter(const StatusWriter&) = delete;
    StatusWriter& operator=(const StatusWriter&) = delete;
    ~StatusWriter();
    bool Open(const std::string& base);
    void Write(const StatusRecord& rec);

private:
    StatusRecord* map_ = nullptr;
    uint64_t sequence_ = 0;
};

// A whole record, or false (no file, never written, or a write that did not
// finish: its writer died).
bool ReadStatusFile(const std::string& base, StatusRecord& rec);

// Whether a supervisor holds the run lock of the service.
bool SupervisorAlive(const std::string& base);

// The status as any process sees it: the published record, where a run
// whose supervisor is gone reads as SERVICE_STOPPED with
// ERROR_PROCESS_ABORTED; a service never run reads as stopped.
SERVICE_STATUS_PROCESS CurrentStatus(const std::string& base, DWORD serviceType);

// Messages on the control socket and the two service channels
// (SOCK_SEQPACKET, one message per packet).
enum MsgType : uint32_t {
    MsgHello = 1,   // service -> supervisor (control channel): dispatcher connected
    MsgStart = 2,   // supervisor -> service: start; payload: name, args (NUL-separated)
    MsgControl = 3, // supervisor -> service; manager -> supervisor
    MsgDone = 4,    // service -> supervisor: handler returned
    MsgEnd = 5,     // supervisor -> service: the service stopped, dispatcher returns
    MsgStatus = 6,  // service -> supervisor (status channel): SetServiceStatus
    MsgBits = 7,    // service -> supervisor (status channel): SetServiceBits
    MsgAck = 8,     // supervisor -> service / manager: result
};

struct Msg {
    uint32_t type = 0;
    uint32_t seq = 0;
    uint32_t code = 0;  // control code; bits
    uint32_t flags = 0; // bits: set on / update immediately
    uint32_t error = 0; // result of a request
    uint32_t pid = 0;
    SERVICE_STATUS status{};
};

// Full-message send and receive on a SOCK_SEQPACKET socket (EINTR retried,
// no SIGPIPE). ReceiveMsg returns the byte count, 0 on end, -1 on error.
bool SendPacket(int fd, const void* data, size_t size);
ssize_t ReceivePacket(int fd, void* data, size_t size);
inline bool SendMsg(int fd, const Msg& m) {
    return SendPacket(fd, &m, sizeof m);
}

// Waits until fd is readable or timeoutMs passes (-1: forever). Returns
// 1 readable, 0 timed out, -1 error.
int WaitReadable(int fd, int timeoutMs);

// Windows command-line splitting (the rules of the C runtime's argv
// parsing: blanks separate, double quotes group, backslashes escape a
// quote only when they precede one).
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// One argument quoted (where it needs it) so that SplitCommandLine gives
// it back as it is.
std::string QuoteCommandLineArgument(const std::string& arg);

// The address of a socket file, also one whose path is too long for
// sockaddr_un (reached through /proc/self/fd of its folder).
struct SocketPath {
    explicit SocketPath(const std::string& path);
    ~SocketPath();
    SocketPath(const SocketPath&) = delete;
    SocketPath& operator=(const SocketPath&) = delete;
    bool ok() const { return ok_; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&addr); }
    sockaddr_un addr{};

private:
    int dirFd_ = -1;
    bool ok_ = false;
};

// Connects to the supervisor's socket; -1 when nobody listens.
int ConnectSupervisor(const std::string& base);

// The svcsupervisor beside the program or library file `self`, or in the
// bin folder of the nearest folder above it that has one; empty when there
// is none. A candidate (file and folder) that someone other than root, this
// process's user or the owner of `self` could have placed or changed is
// passed over: services run with the manager's rights.
std::string FindSupervisorNear(const std::string& self);

// The supervisor's side, run by the supervisor program.
int RunSupervisor(int argc, char** argv);

// Completes a pending deletion when the service is stopped and no handle is
// open anywhere; called after the last local handle closes and when a run
// ends.
void TryCompleteDeletion(const std::string& name);

} // namespace w32p::scm
