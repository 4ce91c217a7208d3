// The manager side of the service control manager: connections, the
// database lock, creating, configuring, querying and deleting services,
// their security, and starting and controlling them.
#include "database.h"
#include "scm.h"
#include "svcsecurity.h"

#include "../handles.h"
#include "../lasterror.h"
#include "../stateroot.h"
#include "../token.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <pwd.h>
#include <set>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace w32p::scm {
namespace {

struct ManagerObject : KernelObject {
    DWORD granted = 0;
    ObjectKind Kind() const override { return ObjectKind::ScManager; }
};

struct ServiceObject : KernelObject {
    std::string name;
    std::string base;
    DWORD granted = 0;
    int handleFd = -1; // holds a read lock: "a handle is open"
    ObjectKind Kind() const override { return ObjectKind::Service; }
    ~ServiceObject() override {
        if (handleFd >= 0)
            close(handleFd);
    }
};

struct LockObject : KernelObject {
    int fd = -1;
    ObjectKind Kind() const override { return ObjectKind::Other; }
    ~LockObject() override {
        if (fd >= 0)
            close(fd);
    }
};

std::atomic<int> gLocksHeldHere{0};

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

template <class T> T* FailNull(DWORD error) {
    SetLastError(error);
    return nullptr;
}

bool OfdLock(int fd, short type, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    for (;;) {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

bool OfdLocked(int fd) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    return fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

std::shared_ptr<ManagerObject> GetManager(SC_HANDLE h) {
    return LookupHandleAs<ManagerObject>(reinterpret_cast<HANDLE>(h), ObjectKind::ScManager);
}

std::shared_ptr<ServiceObject> GetService(SC_HANDLE h) {
    return LookupHandleAs<ServiceObject>(reinterpret_cast<HANDLE>(h), ObjectKind::Service);
}

// The object of a handle when the handle carries `right`; else null, with
// ERROR_INVALID_HANDLE or ERROR_ACCESS_DENIED.
template <class T> std::shared_ptr<T> WithRight(std::shared_ptr<T> obj, ACCESS_MASK right) {
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!(obj->granted & right)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return obj;
}

std::shared_ptr<ServiceObject> GetServiceWith(SC_HANDLE h, ACCESS_MASK right) {
    return WithRight(GetService(h), right);
}

// Opens a service's key for writing and reads its configuration; a service
// marked for deletion can no longer be changed. 0 or the error.
DWORD OpenForChange(const std::string& name, RegKey& key, ServiceConfig& cfg) {
    if (DWORD err = OpenServiceKey(name, KEY_ALL_ACCESS, key))
        return err;
    ReadConfig(key.get(), cfg);
    return cfg.deleteFlag ? ERROR_SERVICE_MARKED_FOR_DELETE : 0;
}

bool IsLocalMachine(const char* machine) {
    if (!machine || !*machine)
        return true;
    std::string m = machine;
    if (m.size() > 2 && m[0] == '\\' && m[1] == '\\')
        m = m.substr(2);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string h = host;
    std::string shortHost = h.substr(0, h.find('.'));
    return EqualNoCase(m, h) || EqualNoCase(m, shortHost) || EqualNoCase(m, "localhost") ||
           m == "." || m == "127.0.0.1";
}

bool ValidServiceName(const char* name) {
    if (!name || !*name)
        return false;
    size_t len = strlen(name);
    if (len > kMaxNameLength)
        return false;
    return !strchr(name, '/') && !strchr(name, '\\');
}

// A double-NUL dependency list into service and group names ("+" marks a
// group). False for an invalid entry.
bool ParseDependencies(const char* list, std::vector<std::string>& services,
                       std::vector<std::string>& groups) {
    services.clear();
    groups.clear();
    if (!list)
        return true;
    for (const char* p = list; *p; p += strlen(p) + 1) {
        std::string entry = p;
        if (entry.size() > kMaxNameLength + 1)
            return false;
        if (entry[0] == SC_GROUP_IDENTIFIERA) {
            if (entry.size() == 1)
                return false;
            groups.push_back(entry.substr(1));
        } else {
            if (!ValidServiceName(entry.c_str()))
                return false;
            services.push_back(entry);
        }
    }
    return true;
}

// Whether making `name` depend on `deps` closes a cycle.
bool DependencyCycle(const std::string& name, const std::vector<std::string>& deps) {
    std::vector<std::string> todo(deps.begin(), deps.end());
    std::set<std::string> seen;
    while (!todo.empty()) {
        std::string cur = Lower(todo.back());
        todo.pop_back();
        if (cur == Lower(name))
            return true;
        if (!seen.insert(cur).second || seen.size() > 4096)
            continue;
        RegKey key;
        if (OpenServiceKey(cur, KEY_READ, key))
            continue;
        std::vector<std::string> more;
        if (GetMultiString(key.get(), "DependOnService", more))
            todo.insert(todo.end(), more.begin(), more.end());
    }
    return false;
}

// Another service already uses this name or display name.
bool DisplayNameTaken(const std::string& self, const std::string& display) {
    for (const std::string& other : ListServices()) {
        if (EqualNoCase(other, self))
            continue;
        if (EqualNoCase(other, display))
            return true;
        RegKey key;
        std::string otherDisplay;
        if (OpenServiceKey(other, KEY_READ, key) == 0 &&
            GetString(key.get(), "DisplayName", otherDisplay) && EqualNoCase(otherDisplay, display))
            return true;
        if (EqualNoCase(otherDisplay, self))
            return true;
    }
    return false;
}

bool IsLocalSystem(const std::string& account) {
    return account.empty() || EqualNoCase(account, "LocalSystem") ||
           EqualNoCase(account, ".\\LocalSystem");
}

// Whether a domain part names this machine: ".", its computer name or its
// host name (short or full).
bool IsThisMachineDomain(const std::string& domain) {
    if (domain == ".")
        return true;
    char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof computer;
    {
        KeepLastError keep;
        if (GetComputerNameA(computer, &size) && EqualNoCase(domain, computer))
            return true;
    }
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string h = host;
    return EqualNoCase(domain, h) || EqualNoCase(domain, h.substr(0, h.find('.')));
}

// The service accounts the manager accepts: LocalSystem, the two built-in
// service accounts, and DOMAIN\user where DOMAIN is this machine and user
// names a user of this host. 0 or ERROR_INVALID_SERVICE_ACCOUNT.
DWORD CheckAccount(const std::string& account) {
    if (IsLocalSystem(account) || EqualNoCase(account, "NT AUTHORITY\\LocalService") ||
        EqualNoCase(account, "NT AUTHORITY\\NetworkService"))
        return 0;
    size_t slash = account.find('\\');
    if (slash == std::string::npos || slash == 0 || slash + 1 == account.size() ||
        account.find('\\', slash + 1) != std::string::npos ||
        !IsThisMachineDomain(account.substr(0, slash)))
        return ERROR_INVALID_SERVICE_ACCOUNT;
    // Host user names are case-sensitive, Windows' are not: the name as
    // given, else in lower case.
    std::string user = account.substr(slash + 1);
    for (const std::string& candidate : {user, Lower(user)}) {
        passwd pw, *found = nullptr;
        std::vector<char> buf(16384);
        if (getpwnam_r(candidate.c_str(), &pw, buf.data(), buf.size(), &found) == 0 && found)
            return 0;
    }
    return ERROR_INVALID_SERVICE_ACCOUNT;
}

DWORD ValidateTypes(DWORD type, DWORD start, DWORD errorControl) {
    DWORD base = type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
    if (base != SERVICE_WIN32_OWN_PROCESS && base != SERVICE_WIN32_SHARE_PROCESS)
        return ERROR_INVALID_PARAMETER;
    if (start != SERVICE_AUTO_START && start != SERVICE_DEMAND_START && start != SERVICE_DISABLED)
        return ERROR_INVALID_PARAMETER;
    if (errorControl > SERVICE_ERROR_CRITICAL)
        return ERROR_INVALID_PARAMETER;
    return 0;
}

constexpr size_t kMaxStringLength = 32767;

// The next free tag of a load-order group.
DWORD NextTag(const std::string& group, const std::string& self) {
    DWORD maxTag = 0;
    for (const std::string& other : ListServices()) {
        if (EqualNoCase(other, self))
            continue;
        RegKey key;
        std::string g;
        DWORD tag = 0;
        if (OpenServiceKey(other, KEY_READ, key) == 0) {
            GetString(key.get(), "Group", g);
            if (EqualNoCase(g, group) && GetDword(key.get(), "Tag", tag))
                maxTag = std::max(maxTag, tag);
        }
    }
    return maxTag + 1;
}

int OpenHandleLock(const std::string& base) {
    std::string path = base + ".handles";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (!OfdLock(fd, F_RDLCK, true)) {
        close(fd);
        return -1;
    }
    return fd;
}

SC_HANDLE NewServiceHandle(const std::string& name, DWORD granted) {
    auto obj = std::make_shared<ServiceObject>();
    obj->name = name;
    obj->base = ServiceFileBase(name);
    obj->granted = granted;
    obj->handleFd = obj->base.empty() ? -1 : OpenHandleLock(obj->base);
    if (obj->handleFd < 0)
        return FailNull<SC_HANDLE__>(ERROR_NOT_ENOUGH_MEMORY);
    return reinterpret_cast<SC_HANDLE>(InsertHandle(obj));
}

bool DatabaseLockedElsewhere() {
    std::string dir = ScmDir();
    if (dir.empty() || gLocksHeldHere.load() > 0)
        return false;
    int fd = open((dir + "/db.lock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool locked = OfdLocked(fd);
    close(fd);
    return locked;
}

// Whether only root, this process's user or `trusted` (the owner of the
// code that asks) can have placed or changed the file or folder: owned by
// one of them and not writable by others (by its group only when that is
// root's or this process's group).
bool SafeOwnership(const struct stat& st, uid_t trusted) {
    if (st.st_uid != 0 && st.st_uid != geteuid() && st.st_uid != trusted)
        return false;
    if (st.st_mode & S_IWOTH)
        return false;
    return !(st.st_mode & S_IWGRP) || st.st_gid == 0 || st.st_gid == getegid();
}

} // namespace

std::string FindSupervisorNear(const std::string& self) {
    struct stat selfSt;
    uid_t trusted = stat(self.c_str(), &selfSt) == 0 ? selfSt.st_uid : 0;
    auto usable = [trusted](const std::string& dir) {
        std::string file = dir + "/svcsupervisor";
        struct stat fileSt, dirSt;
        return stat(file.c_str(), &fileSt) == 0 && S_ISREG(fileSt.st_mode) &&
               access(file.c_str(), X_OK) == 0 && SafeOwnership(fileSt, trusted) &&
               stat(dir.c_str(), &dirSt) == 0 && SafeOwnership(dirSt, trusted);
    };
    std::string dir = self.substr(0, self.rfind('/'));
    if (!self.empty() && usable(dir))
        return dir + "/svcsupervisor";
    while (!dir.empty()) {
        dir = dir.substr(0, dir.rfind('/'));
        if (usable(dir + "/bin"))
            return dir + "/bin/svcsupervisor";
    }
    return {};
}

namespace {

// The supervisor program: WIN32POSIX_SUPERVISOR, else the svcsupervisor
// beside the program or library that holds this code, or in the "bin"
// folder of the nearest folder above it that has one (a build tree's
// build/bin, an installation's <prefix>/bin), else the one on PATH. Nothing
// of the build tree is compiled in, so an installed set finds its own; a
// file others could have planted there (a /tmp/bin) is never run.
std::string SupervisorProgram() {
    if (const char* env = getenv("WIN32POSIX_SUPERVISOR"); env && *env)
        return env;
    static const std::string found = [] {
        Dl_info info{};
        std::string self;
        char real[PATH_MAX];
        if (dladdr(reinterpret_cast<void*>(&SupervisorProgram), &info) && info.dli_fname &&
            realpath(info.dli_fname, real))
            self = real;
        else if (realpath("/proc/self/exe", real))
            self = real;
        std::string near = FindSupervisorNear(self);
        return near.empty() ? std::string("svcsupervisor") : near;
    }();
    return found;
}

// Runs a supervisor for the service; returns the start result.
DWORD SpawnSupervisor(const std::string& name, const ServiceConfig& cfg,
                      const std::vector<std::string>& args) {
    std::string base = ServiceFileBase(name);
    if (base.empty())
        return ERROR_PATH_NOT_FOUND;
    int runFd = open((base + ".run").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (runFd < 0)
        return ERROR_ACCESS_DENIED;
    // A supervisor that has published the end of its run lets go of the
    // lock a moment later; only a live run refuses the start.
    for (int attempt = 0; !OfdLock(runFd, F_WRLCK, false); ++attempt) {
        StatusRecord rec;
        if (attempt >= 400 || !ReadStatusFile(base, rec) ||
            rec.status.dwCurrentState != SERVICE_STOPPED) {
            close(runFd);
            return ERROR_SERVICE_ALREADY_RUNNING;
        }
        usleep(5000);
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        close(runFd);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::string program = SupervisorProgram();
    std::vector<std::string> argStore = {program, name, cfg.imagePath, std::to_string(cfg.type)};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argStore)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; e && *e; ++e)
        if (strncmp(*e, "WIN32POSIX_ROOT=", 16) != 0)
            envStore.emplace_back(*e);
    envStore.push_back("WIN32POSIX_ROOT=" + StateRoot());
    std::vector<char*> envp;
    for (std::string& s : envStore)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    // Both descriptors move above the targets 3 and 4 first, so that
    // neither dup2 of the child can overwrite the other's source.
    int runHigh = fcntl(runFd, F_DUPFD_CLOEXEC, 10);
    int pipeHigh = fcntl(pipeFds[1], F_DUPFD_CLOEXEC, 10);
    close(pipeFds[1]);
    pipeFds[1] = pipeHigh;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, runHigh, 3);
    posix_spawn_file_actions_adddup2(&actions, pipeHigh, 4);
    pid_t pid;
    int rc = (runHigh < 0 || pipeHigh < 0)
                 ? EMFILE
                 : posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (pipeHigh >= 0)
        close(pipeHigh);
    if (runHigh >= 0)
        close(runHigh);
    DWORD result = ERROR_SERVICE_REQUEST_TIMEOUT;
    if (rc != 0) {
        result = ERROR_FILE_NOT_FOUND;
    } else {
        // The supervisor answers within its own connect limit.
        if (WaitReadable(pipeFds[0], static_cast<int>(TimeoutMs()) + 15000) == 1) {
            DWORD value;
            ssize_t n;
            do
                n = read(pipeFds[0], &value, sizeof value);
            while (n < 0 && errno == EINTR);
            if (n == static_cast<ssize_t>(sizeof value))
                result = value;
        }
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    close(pipeFds[0]);
    close(runFd);
    return result;
}

DWORD StartByName(const std::string& name, const std::vector<std::string>& args, int depth);

// Dependencies must run first; stopped ones are started.
DWORD StartDependencies(const ServiceConfig& cfg, int depth) {
    for (const std::string& dep : cfg.dependOnService) {
        RegKey key;
        if (OpenServiceKey(dep, KEY_READ, key))
            return ERROR_SERVICE_DEPENDENCY_DELETED;
        ServiceConfig depCfg;
        ReadConfig(key.get(), depCfg);
        SERVICE_STATUS_PROCESS st = CurrentStatus(ServiceFileBase(dep), depCfg.type);
        if (st.dwCurrentState != SERVICE_STOPPED)
            continue;
        DWORD err = StartByName(CanonicalName(dep), {}, depth + 1);
        if (err && err != ERROR_SERVICE_ALREADY_RUNNING)
            return ERROR_SERVICE_DEPENDENCY_FAIL;
    }
    return 0;
}

DWORD StartByName(const std::string& name, const std::vector<std::string>& args, int depth) {
    if (depth > 32)
        return ERROR_CIRCULAR_DEPENDENCY;
    RegKey key;
    if (DWORD err = OpenServiceKey(name, KEY_READ, key))
        return err;
    ServiceConfig cfg;
    ReadConfig(key.get(), cfg);
    if (cfg.deleteFlag)
        return ERROR_SERVICE_MARKED_FOR_DELETE;
    if (cfg.start == SERVICE_DISABLED)
        return ERROR_SERVICE_DISABLED;
    if (DatabaseLockedElsewhere())
        return ERROR_SERVICE_DATABASE_LOCKED;
    SERVICE_STATUS_PROCESS st = CurrentStatus(ServiceFileBase(name), cfg.type);
    if (st.dwCurrentState != SERVICE_STOPPED)
        return ERROR_SERVICE_ALREADY_RUNNING;
    if (DWORD err = StartDependencies(cfg, depth))
        return err;
    return SpawnSupervisor(name, cfg, args);
}

} // namespace

void TryCompleteDeletion(const std::string& name) {
    std::string base = ServiceFileBase(name);
    if (base.empty())
        return;
    int fd = open((base + ".handles").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    if (OfdLock(fd, F_WRLCK, false)) {
        RegKey key;
        ServiceConfig cfg;
        if (OpenServiceKey(name, KEY_READ, key) == 0 && ReadConfig(key.get(), cfg) == 0 &&
            cfg.deleteFlag && !SupervisorAlive(base)) {
            key.Reset();
            RegKey root;
            if (OpenServicesRoot(KEY_ALL_ACCESS, root, false) == ERROR_SUCCESS &&
                DeleteKeyTree(root.get(), CanonicalName(name)) == ERROR_SUCCESS) {
                unlink((base + ".status").c_str());
                unlink((base + ".sock").c_str());
            }
        }
    }
    close(fd);
}

} // namespace w32p::scm

using namespace w32p;
using namespace w32p::scm;

extern "C" SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
    if (!IsLocalMachine(machine))
        return FailNull<SC_HANDLE__>(RPC_S_SERVER_UNAVAILABLE);
    if (database && EqualNoCase(database, SERVICES_FAILED_DATABASEA))
        return FailNull<SC_HANDLE__>(ERROR_DATABASE_DOES_NOT_EXIST);
    if (database && !EqualNoCase(database, SERVICES_ACTIVE_DATABASEA))
        return FailNull<SC_HANDLE__>(ERROR_INVALID_NAME);
    DWORD granted = 0;
    if (DWORD err = CheckManagerAccess(access, granted))
        return FailNull<SC_HANDLE__>(err);
    if (ScmDir().empty())
        return FailNull<SC_HANDLE__>(ERROR_PATH_NOT_FOUND);
    if (geteuid() == 0) {
        RegKey root;
        OpenServicesRoot(KEY_ALL_ACCESS, root, true);
    }
    auto obj = std::make_shared<ManagerObject>();
    obj->granted = granted;
    HANDLE h = InsertHandle(obj);
    if (h)
        SetLastError(ERROR_SUCCESS); // as Windows does on success
    return reinterpret_cast<SC_HANDLE>(h);
}

extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE h) {
    HANDLE raw = reinterpret_cast<HANDLE>(h);
    if (FindHandle(raw, ObjectKind::ScManager)) {
        RemoveHandle(raw, ObjectKind::ScManager);
        return TRUE;
    }
    auto svc = std::static_pointer_cast<ServiceObject>(RemoveHandle(raw, ObjectKind::Service));
    if (!svc)
        return Fail(ERROR_INVALID_HANDLE);
    std::string name = svc->name;
    if (svc.use_count() == 1) {
        svc.reset(); // releases this handle's lock
        TryCompleteDeletion(name);
    }
    return TRUE;
}

extern "C" SC_LOCK WINAPI LockServiceDatabase(SC_HANDLE hManager) {
    auto mgr = GetManager(hManager);
    if (!mgr)
        return FailNull<void>(ERROR_INVALID_HANDLE);
    if (!(mgr->granted & SC_MANAGER_LOCK))
        return FailNull<void>(ERROR_ACCESS_DENIED);
    std::string dir = ScmDir();
    auto lock = std::make_shared<LockObject>();
    lock->fd = open((dir + "/db.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock->fd < 0)
        return FailNull<void>(ERROR_ACCESS_DENIED);
    if (!OfdLock(lock->fd, F_WRLCK, false))
        return FailNull<void>(ERROR_SERVICE_DATABASE_LOCKED);
    // The owner and the time, for QueryServiceLockStatusA.
    std::string info = ".\\uid" + std::to_string(geteuid()) + "\n" +
                       std::to_string(static_cast<long long>(time(nullptr))) + "\n";
    if (ftruncate(lock->fd, 0) == 0)
        (void)!pwrite(lock->fd, info.data(), info.size(), 0);
    HANDLE h = InsertHandle(lock);
    if (h)
        ++gLocksHeldHere;
    return h;
}

extern "C" BOOL WINAPI UnlockServiceDatabase(SC_LOCK lockHandle) {
    HANDLE h = static_cast<HANDLE>(lockHandle);
    auto obj = LookupHandle(h, ObjectKind::Other);
    if (!obj || !dynamic_cast<LockObject*>(obj.get()))
        return Fail(ERROR_INVALID_SERVICE_LOCK);
    auto lock = std::static_pointer_cast<LockObject>(obj);
    RemoveHandle(h, ObjectKind::Other);
    if (ftruncate(lock->fd, 0) != 0) {
        // The file keeps the old owner text; the lock itself goes below.
    }
    close(lock->fd);
    lock->fd = -1;
    --gLocksHeldHere;
    return TRUE;
}

extern "C" BOOL WINAPI QueryServiceLockStatusA(SC_HANDLE hManager,
                                               LPQUERY_SERVICE_LOCK_STATUSA status, DWORD size,
                                               LPDWORD needed) {
    auto mgr = GetManager(hManager);
    if (!mgr)
        return Fail(ERROR_INVALID_HANDLE);
    if (!(mgr->granted & SC_MANAGER_QUERY_LOCK_STATUS))
        return Fail(ERROR_ACCESS_DENIED);
    if (!needed)
        return Fail(RPC_X_NULL_REF_POINTER);
    std::string owner;
    DWORD locked = 0, duration = 0;
    int fd = open((ScmDir() + "/db.lock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (OfdLocked(fd)) {
            locked = 1;
            char buf[256] = {};
            ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
            std::string text(buf, n > 0 ? static_cast<size_t>(n) : 0);
            size_t nl = text.find('\n');
            owner = text.substr(0, nl);
            if (nl != std::string::npos) {
                long long since = atoll(text.c_str() + nl + 1);
                long long now = time(nullptr);
                duration = since > 0 && now >= since ? static_cast<DWORD>(now - since) : 0;
            }
        }
        close(fd);
    }
    DWORD need = static_cast<DWORD>(sizeof(QUERY_SERVICE_LOCK_STATUSA) + owner.size() + 1);
    *needed = need;
    if (!status || size < need)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    char* str = reinterpret_cast<char*>(status + 1);
    memcpy(str, owner.c_str(), owner.size() + 1);
    status->fIsLocked = locked;
    status->lpLockOwner = str;
    status->dwLockDuration = duration;
    return TRUE;
}

extern "C" SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hManager, LPCSTR name, LPCSTR displayName,
                                           DWORD desiredAccess, DWORD type, DWORD start,
                                           DWORD errorControl, LPCSTR binaryPath,
                                           LPCSTR loadOrderGroup, LPDWORD tagId,
                                           LPCSTR dependencies, LPCSTR account, LPCSTR password) {
    (void)password; // never stored: there is no logon here to use it
    if (!name || !binaryPath)
        return FailNull<SC_HANDLE__>(ERROR_INVALID_ADDRESS);
    auto mgr = GetManager(hManager);
    if (!mgr)
        return FailNull<SC_HANDLE__>(ERROR_INVALID_HANDLE);
    if (!(mgr->granted & SC_MANAGER_CREATE_SERVICE))
        return FailNull<SC_HANDLE__>(ERROR_ACCESS_DENIED);
    if (!ValidServiceName(name))
        return FailNull<SC_HANDLE__>(ERROR_INVALID_NAME);
    std::string display = (displayName && *displayName) ? displayName : name;
    if (display.size() > kMaxNameLength)
        return FailNull<SC_HANDLE__>(ERROR_INVALID_NAME);
    if (!*binaryPath || strlen(binaryPath) > kMaxStringLength)
        return FailNull<SC_HANDLE__>(ERROR_INVALID_PARAMETER);
    if (loadOrderGroup && strlen(loadOrderGroup) > kMaxNameLength)
        return FailNull<SC_HANDLE__>(ERROR_INVALID_PARAMETER);
    if (DWORD err = ValidateTypes(type, start, errorControl))
        return FailNull<SC_HANDLE__>(err);
    std::string objectName = account ? account : "LocalSystem";
    if (objectName.empty() || objectName.size() > kMaxNameLength)
        return FailNull<SC_HANDLE__>(ERROR_INVALID_SERVICE_ACCOUNT);
    if ((type & SERVICE_INTERACTIVE_PROCESS) && !IsLocalSystem(objectName))
        return FailNull<SC_HANDLE__>(ERROR_INVALID_PARAMETER);
    if (DWORD err = CheckAccount(objectName))
        return FailNull<SC_HANDLE__>(err);
    std::vector<std::string> depServices, depGroups;
    if (!ParseDependencies(dependencies, depServices, depGroups))
        return FailNull<SC_HANDLE__>(ERROR_INVALID_PARAMETER);
    if (DependencyCycle(name, depServices))
        return FailNull<SC_HANDLE__>(ERROR_CIRCULAR_DEPENDENCY);
    DWORD granted = 0;
    {
        GENERIC_MAPPING m = ServiceMapping();
        granted = desiredAccess;
        MapGenericMask(&granted, &m);
        if (granted & MAXIMUM_ALLOWED)
            granted = SERVICE_ALL_ACCESS;
    }

    RegKey root;
    if (LSTATUS st = OpenServicesRoot(KEY_ALL_ACCESS, root, true))
        return FailNull<SC_HANDLE__>(st == ERROR_ACCESS_DENIED ? ERROR_ACCESS_DENIED
                                                               : static_cast<DWORD>(st));
    // Creators of one name take turns; a key left without "Type" by a
    // creator that died is taken over.
    std::string base = ServiceFileBase(name);
    int createLock =
        base.empty() ? -1 : open((base + ".create").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (createLock < 0 || !OfdLock(createLock, F_WRLCK, true)) {
        if (createLock >= 0)
            close(createLock);
        return FailNull<SC_HANDLE__>(ERROR_ACCESS_DENIED);
    }
    struct CloseFd {
        int fd;
        ~CloseFd() { close(fd); }
    } createLockCloser{createLock};
    // A pending deletion whose last handle is gone completes now.
    TryCompleteDeletion(name);
    // A name taken as a key, or as another service's display name.
    {
        RegKey existing;
        if (OpenServiceKey(name, KEY_READ, existing) == 0) {
            ServiceConfig cfg;
            ReadConfig(existing.get(), cfg);
            return FailNull<SC_HANDLE__>(cfg.deleteFlag ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                        : ERROR_SERVICE_EXISTS);
        }
    }
    if (DisplayNameTaken(name, display))
        return FailNull<SC_HANDLE__>(ERROR_DUPLICATE_SERVICE_NAME);

    // The key's creation decides between concurrent creators.
    RegKey key;
    DWORD disposition = 0;
    LSTATUS st = RegCreateKeyExA(root.get(), name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                 key.out(), &disposition);
    if (st != ERROR_SUCCESS)
        return FailNull<SC_HANDLE__>(static_cast<DWORD>(st));
    if (disposition != REG_CREATED_NEW_KEY) {
        ServiceConfig cfg;
        if (ReadConfig(key.get(), cfg) == 0)
            return FailNull<SC_HANDLE__>(cfg.deleteFlag ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                        : ERROR_SERVICE_EXISTS);
        // No "Type": the remains of a creator that died; start afresh.
        key.Reset();
        DeleteKeyTree(root.get(), name);
        st = RegCreateKeyExA(root.get(), name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.out(),
                             &disposition);
        if (st != ERROR_SUCCESS)
            return FailNull<SC_HANDLE__>(static_cast<DWORD>(st));
    }
    std::string group = loadOrderGroup ? loadOrderGroup : "";
    // A stale status of an earlier service of this name does not carry over.
    if (!SupervisorAlive(base))
        unlink((base + ".status").c_str());
    bool ok = WriteServiceSecurity(key.get(), DefaultServiceDescriptor()) == ERROR_SUCCESS &&
              SetDword(key.get(), "Start", start) == ERROR_SUCCESS &&
              SetDword(key.get(), "ErrorControl", errorControl) == ERROR_SUCCESS &&
              SetString(key.get(), "ImagePath", binaryPath, REG_EXPAND_SZ) == ERROR_SUCCESS &&
              SetString(key.get(), "DisplayName", display) == ERROR_SUCCESS &&
              SetString(key.get(), "ObjectName", objectName) == ERROR_SUCCESS;
    if (ok && !group.empty())
        ok = SetString(key.get(), "Group", group) == ERROR_SUCCESS;
    if (ok && tagId) {
        *tagId = NextTag(group, name);
        ok = SetDword(key.get(), "Tag", *tagId) == ERROR_SUCCESS;
    }
    if (ok && !depServices.empty())
        ok = SetMultiString(key.get(), "DependOnService", depServices) == ERROR_SUCCESS;
    if (ok && !depGroups.empty())
        ok = SetMultiString(key.get(), "DependOnGroup", depGroups) == ERROR_SUCCESS;
    // "Type" last: until it exists the key is not a service.
    if (ok)
        ok = SetDword(key.get(), "Type", type) == ERROR_SUCCESS;
    if (!ok) {
        DWORD err = GetLastError() ? GetLastError() : ERROR_CANTWRITE;
        key.Reset();
        DeleteKeyTree(root.get(), name);
        return FailNull<SC_HANDLE__>(err);
    }
    return NewServiceHandle(name, granted);
}

extern "C" SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hManager, LPCSTR name, DWORD desiredAccess) {
    auto mgr = GetManager(hManager);
    if (!mgr)
        return FailNull<SC_HANDLE__>(ERROR_INVALID_HANDLE);
    if (!name)
        return FailNull<SC_HANDLE__>(ERROR_INVALID_ADDRESS);
    if (!ValidServiceName(name))
        return FailNull<SC_HANDLE__>(ERROR_INVALID_NAME);
    RegKey key;
    if (DWORD err = OpenServiceKey(name, KEY_READ, key))
        return FailNull<SC_HANDLE__>(err);
    DWORD flag = 0;
    if (GetDword(key.get(), "DeleteFlag", flag) && flag) {
        // Marked for deletion: gone if no handle is open and it is stopped
        // (the last holder may have died without closing).
        key.Reset();
        TryCompleteDeletion(name);
        if (DWORD err = OpenServiceKey(name, KEY_READ, key))
            return FailNull<SC_HANDLE__>(err);
    }
    std::vector<BYTE> sd = ReadServiceSecurity(key.get());
    key.Reset();
    DWORD granted = 0;
    if (DWORD err = CheckServiceAccess(sd, desiredAccess, granted))
        return FailNull<SC_HANDLE__>(err);
    SC_HANDLE h = NewServiceHandle(name, granted);
    if (!h)
        return nullptr;
    // The service may have been deleted while the handle lock was taken.
    if (OpenServiceKey(name, KEY_READ, key)) {
        CloseServiceHandle(h);
        return FailNull<SC_HANDLE__>(ERROR_SERVICE_DOES_NOT_EXIST);
    }
    return h;
}

extern "C" BOOL WINAPI DeleteService(SC_HANDLE h) {
    auto svc = GetServiceWith(h, DELETE);
    if (!svc)
        return FALSE;
    RegKey key;
    if (DWORD err = OpenServiceKey(svc->name, KEY_ALL_ACCESS, key))
        return Fail(err);
    DWORD flag = 0;
    if (GetDword(key.get(), "DeleteFlag", flag) && flag)
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (LSTATUS st = SetDword(key.get(), "DeleteFlag", 1))
        return Fail(static_cast<DWORD>(st));
    return TRUE;
}

extern "C" BOOL WINAPI ChangeServiceConfigA(SC_HANDLE h, DWORD type, DWORD start,
                                            DWORD errorControl, LPCSTR binaryPath,
                                            LPCSTR loadOrderGroup, LPDWORD tagId,
                                            LPCSTR dependencies, LPCSTR account, LPCSTR password,
                                            LPCSTR displayName) {
    (void)password; // never stored
    auto svc = GetServiceWith(h, SERVICE_CHANGE_CONFIG);
    if (!svc)
        return FALSE;
    RegKey key;
    ServiceConfig cfg;
    if (DWORD err = OpenForChange(svc->name, key, cfg))
        return Fail(err);
    DWORD newType = type == SERVICE_NO_CHANGE ? cfg.type : type;
    DWORD newStart = start == SERVICE_NO_CHANGE ? cfg.start : start;
    DWORD newError = errorControl == SERVICE_NO_CHANGE ? cfg.errorControl : errorControl;
    if (DWORD err = ValidateTypes(newType, newStart, newError))
        return Fail(err);
    if (binaryPath && (!*binaryPath || strlen(binaryPath) > kMaxStringLength))
        return Fail(ERROR_INVALID_PARAMETER);
    if (loadOrderGroup && strlen(loadOrderGroup) > kMaxNameLength)
        return Fail(ERROR_INVALID_PARAMETER);
    std::string newAccount = account ? std::string(account) : cfg.objectName;
    if (account && (newAccount.empty() || newAccount.size() > kMaxNameLength))
        return Fail(ERROR_INVALID_SERVICE_ACCOUNT);
    if ((newType & SERVICE_INTERACTIVE_PROCESS) && !IsLocalSystem(newAccount))
        return Fail(ERROR_INVALID_PARAMETER);
    if (account)
        if (DWORD err = CheckAccount(newAccount))
            return Fail(err);
    std::vector<std::string> depServices, depGroups;
    if (!ParseDependencies(dependencies, depServices, depGroups))
        return Fail(ERROR_INVALID_PARAMETER);
    if (dependencies && DependencyCycle(svc->name, depServices))
        return Fail(ERROR_CIRCULAR_DEPENDENCY);
    std::string newDisplay = displayName ? std::string(displayName) : cfg.displayName;
    if (displayName) {
        if (newDisplay.empty())
            newDisplay = CanonicalName(svc->name);
        if (newDisplay.size() > kMaxNameLength)
            return Fail(ERROR_INVALID_NAME);
        if (DisplayNameTaken(svc->name, newDisplay))
            return Fail(ERROR_DUPLICATE_SERVICE_NAME);
    }

    LSTATUS st = ERROR_SUCCESS;
    auto step = [&](LSTATUS s) {
        if (st == ERROR_SUCCESS)
            st = s;
    };
    if (type != SERVICE_NO_CHANGE)
        step(SetDword(key.get(), "Type", type));
    if (start != SERVICE_NO_CHANGE)
        step(SetDword(key.get(), "Start", start));
    if (errorControl != SERVICE_NO_CHANGE)
        step(SetDword(key.get(), "ErrorControl", errorControl));
    if (binaryPath)
        step(SetString(key.get(), "ImagePath", binaryPath, REG_EXPAND_SZ));
    std::string group = cfg.group;
    if (loadOrderGroup) {
        group = loadOrderGroup;
        if (group.empty())
            RegDeleteValueA(key.get(), "Group");
        else
            step(SetString(key.get(), "Group", group));
    }
    if (tagId) {
        *tagId = NextTag(group, svc->name);
        step(SetDword(key.get(), "Tag", *tagId));
    }
    if (dependencies) {
        if (depServices.empty())
            RegDeleteValueA(key.get(), "DependOnService");
        else
            step(SetMultiString(key.get(), "DependOnService", depServices));
        if (depGroups.empty())
            RegDeleteValueA(key.get(), "DependOnGroup");
        else
            step(SetMultiString(key.get(), "DependOnGroup", depGroups));
    }
    if (account)
        step(SetString(key.get(), "ObjectName", newAccount));
    if (displayName)
        step(SetString(key.get(), "DisplayName", newDisplay));
    if (st != ERROR_SUCCESS)
        return Fail(static_cast<DWORD>(st));
    return TRUE;
}

extern "C" BOOL WINAPI QueryServiceConfigA(SC_HANDLE h, LPQUERY_SERVICE_CONFIGA config, DWORD size,
                                           LPDWORD needed) {
    auto svc = GetServiceWith(h, SERVICE_QUERY_CONFIG);
    if (!svc)
        return FALSE;
    if (!needed)
        return Fail(RPC_X_NULL_REF_POINTER);
    RegKey key;
    if (DWORD err = OpenServiceKey(svc->name, KEY_READ, key))
        return Fail(err);
    ServiceConfig cfg;
    ReadConfig(key.get(), cfg);
    std::string deps;
    for (const std::string& d : cfg.dependOnService)
        deps += d + '\0';
    for (const std::string& g : cfg.dependOnGroup)
        deps += std::string(1, SC_GROUP_IDENTIFIERA) + g + '\0';
    deps += '\0';
    if (deps.size() == 1)
        deps += '\0';
    const std::string* strs[] = {&cfg.imagePath, &cfg.group, &cfg.objectName, &cfg.displayName};
    size_t total = sizeof(QUERY_SERVICE_CONFIGA) + deps.size();
    for (const std::string* s : strs)
        total += s->size() + 1;
    *needed = static_cast<DWORD>(total);
    if (!config || size < total)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    char* p = reinterpret_cast<char*>(config + 1);
    auto put = [&](const std::string& s, size_t len) {
        char* at = p;
        memcpy(p, s.data(), len);
        p += len;
        return at;
    };
    config->dwServiceType = cfg.type;
    config->dwStartType = cfg.start;
    config->dwErrorControl = cfg.errorControl;
    config->lpBinaryPathName = put(cfg.imagePath + '\0', cfg.imagePath.size() + 1);
    config->lpLoadOrderGroup = put(cfg.group + '\0', cfg.group.size() + 1);
    config->dwTagId = cfg.tag;
    config->lpDependencies = put(deps, deps.size());
    config->lpServiceStartName = put(cfg.objectName + '\0', cfg.objectName.size() + 1);
    config->lpDisplayName = put(cfg.displayName + '\0', cfg.displayName.size() + 1);
    return TRUE;
}

namespace {

// The most actions one service keeps (Windows' own limit is the RPC buffer).
constexpr DWORD kMaxFailureActions = 1024;

DWORD ChangeDescription(HKEY key, const SERVICE_DESCRIPTIONA& info) {
    const char* text = info.lpDescription;
    if (!text)
        return 0;
    if (strlen(text) > kMaxStringLength)
        return ERROR_INVALID_PARAMETER;
    LSTATUS st = *text ? SetString(key, "Description", text) : RegDeleteValueA(key, "Description");
    return st == ERROR_FILE_NOT_FOUND ? 0 : static_cast<DWORD>(st);
}

// NULL strings and a NULL action array leave their part unchanged; "" and
// an empty array remove it. Restart actions need SERVICE_START on the
// handle and reboot actions the enabled shutdown privilege, as on Windows.
static_assert(sizeof(SC_ACTION_TYPE) == sizeof(DWORD), "SC_ACTION.Type is a 32-bit field");

DWORD ChangeFailureActions(HKEY key, DWORD granted, const SERVICE_FAILURE_ACTIONSA& info) {
    std::vector<SC_ACTION> actions;
    if (info.lpsaActions) {
        if (info.cActions > kMaxFailureActions)
            return ERROR_INVALID_PARAMETER;
        for (DWORD i = 0; i < info.cActions; ++i) {
            // The caller's type may be any number: it is read as one, as
            // an enumeration value outside the known ones cannot be.
            DWORD type, delay;
            memcpy(&type, &info.lpsaActions[i].Type, sizeof type);
            memcpy(&delay, &info.lpsaActions[i].Delay, sizeof delay);
            if (type > SC_ACTION_RUN_COMMAND)
                return ERROR_INVALID_PARAMETER;
            if (type == SC_ACTION_RESTART && !(granted & SERVICE_START))
                return ERROR_ACCESS_DENIED;
            if (type == SC_ACTION_REBOOT &&
                !ProcessPrivilegeEnabled(PrivilegeLuid(SE_SHUTDOWN_NAME)))
                return ERROR_PRIVILEGE_NOT_HELD;
            actions.push_back({static_cast<SC_ACTION_TYPE>(type), delay});
        }
    }
    for (const char* s : {info.lpRebootMsg, info.lpCommand})
        if (s && strlen(s) > kMaxStringLength)
            return ERROR_INVALID_PARAMETER;
    LSTATUS st = ERROR_SUCCESS;
    auto text = [&](const char* value, const char* name) {
        if (!value || st != ERROR_SUCCESS)
            return;
        st = *value ? SetString(key, name, value) : RegDeleteValueA(key, name);
        if (st == ERROR_FILE_NOT_FOUND)
            st = ERROR_SUCCESS;
    };
    text(info.lpRebootMsg, "RebootMessage");
    text(info.lpCommand, "FailureCommand");
    if (st == ERROR_SUCCESS && info.lpsaActions)
        st = WriteFailureActions(key, info.dwResetPeriod, actions);
    return static_cast<DWORD>(st);
}

// Copies the strings and arrays of a QueryServiceConfig2A answer behind its
// structure, keeping each piece aligned for its type.
class InfoWriter {
public:
    InfoWriter(LPBYTE buffer, size_t fixed) : buffer_(buffer), used_(fixed) {}
    size_t Reserve(size_t bytes, size_t align) {
        used_ = (used_ + align - 1) / align * align;
        size_t at = used_;
        used_ += bytes;
        return at;
    }
    size_t Used() const { return used_; }
    void* At(size_t offset) const { return buffer_ + offset; }

private:
    LPBYTE buffer_;
    size_t used_;
};

} // namespace

extern "C" BOOL WINAPI ChangeServiceConfig2A(SC_HANDLE h, DWORD level, LPVOID info) {
    auto svc = GetServiceWith(h, SERVICE_CHANGE_CONFIG);
    if (!svc)
        return FALSE;
    if (level < SERVICE_CONFIG_DESCRIPTION || level > SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)
        return Fail(ERROR_INVALID_LEVEL);
    // No information: nothing changes.
    if (!info)
        return TRUE;
    RegKey key;
    ServiceConfig cfg;
    if (DWORD err = OpenForChange(svc->name, key, cfg))
        return Fail(err);
    DWORD err = 0;
    switch (level) {
    case SERVICE_CONFIG_DESCRIPTION:
        err = ChangeDescription(key.get(), *static_cast<SERVICE_DESCRIPTIONA*>(info));
        break;
    case SERVICE_CONFIG_FAILURE_ACTIONS:
        err = ChangeFailureActions(key.get(), svc->granted,
                                   *static_cast<SERVICE_FAILURE_ACTIONSA*>(info));
        break;
    case SERVICE_CONFIG_DELAYED_AUTO_START_INFO: {
        bool on = static_cast<SERVICE_DELAYED_AUTO_START_INFO*>(info)->fDelayedAutostart != 0;
        // A delayed auto-start service cannot belong to a load-order group.
        if (on && !cfg.group.empty())
            err = ERROR_INVALID_PARAMETER;
        else
            err = static_cast<DWORD>(SetDword(key.get(), "DelayedAutostart", on ? 1 : 0));
        break;
    }
    case SERVICE_CONFIG_FAILURE_ACTIONS_FLAG: {
        bool on =
            static_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(info)->fFailureActionsOnNonCrashFailures !=
            0;
        err =
            static_cast<DWORD>(SetDword(key.get(), "FailureActionsOnNonCrashFailures", on ? 1 : 0));
        break;
    }
    }
    if (err)
        return Fail(err);
    return TRUE;
}

extern "C" BOOL WINAPI QueryServiceConfig2A(SC_HANDLE h, DWORD level, LPBYTE buffer, DWORD size,
                                            LPDWORD needed) {
    auto svc = GetServiceWith(h, SERVICE_QUERY_CONFIG);
    if (!svc)
        return FALSE;
    if (level < SERVICE_CONFIG_DESCRIPTION || level > SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)
        return Fail(ERROR_INVALID_LEVEL);
    if (!needed)
        return Fail(RPC_X_NULL_REF_POINTER);
    RegKey key;
    if (DWORD err = OpenServiceKey(svc->name, KEY_READ, key))
        return Fail(err);

    // The answer's size first, then (when it fits) the answer itself.
    std::string description;
    bool hasDescription = false;
    FailureActions fa;
    size_t fixed = 0;
    InfoWriter layout(nullptr, 0);
    size_t descAt = 0, actionsAt = 0, rebootAt = 0, commandAt = 0;
    switch (level) {
    case SERVICE_CONFIG_DESCRIPTION:
        hasDescription = GetString(key.get(), "Description", description);
        layout = InfoWriter(nullptr, fixed = sizeof(SERVICE_DESCRIPTIONA));
        if (hasDescription)
            descAt = layout.Reserve(description.size() + 1, 1);
        break;
    case SERVICE_CONFIG_FAILURE_ACTIONS:
        fa = ReadFailureActions(key.get());
        layout = InfoWriter(nullptr, fixed = sizeof(SERVICE_FAILURE_ACTIONSA));
        if (!fa.actions.empty())
            actionsAt = layout.Reserve(fa.actions.size() * sizeof(SC_ACTION), alignof(SC_ACTION));
        if (fa.hasRebootMessage)
            rebootAt = layout.Reserve(fa.rebootMessage.size() + 1, 1);
        if (fa.hasCommand)
            commandAt = layout.Reserve(fa.command.size() + 1, 1);
        break;
    default:
        layout = InfoWriter(nullptr, fixed = sizeof(DWORD));
        break;
    }
    *needed = static_cast<DWORD>(layout.Used());
    if (!buffer || size < layout.Used())
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    InfoWriter out(buffer, fixed);
    auto text = [&](size_t at, const std::string& s) {
        char* p = static_cast<char*>(out.At(at));
        memcpy(p, s.c_str(), s.size() + 1);
        return p;
    };
    switch (level) {
    case SERVICE_CONFIG_DESCRIPTION: {
        auto* desc = reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer);
        desc->lpDescription = hasDescription ? text(descAt, description) : nullptr;
        break;
    }
    case SERVICE_CONFIG_FAILURE_ACTIONS: {
        auto* info = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer);
        info->dwResetPeriod = fa.actions.empty() ? 0 : fa.resetPeriod;
        info->lpRebootMsg = fa.hasRebootMessage ? text(rebootAt, fa.rebootMessage) : nullptr;
        info->lpCommand = fa.hasCommand ? text(commandAt, fa.command) : nullptr;
        info->cActions = static_cast<DWORD>(fa.actions.size());
        info->lpsaActions = nullptr;
        if (!fa.actions.empty()) {
            info->lpsaActions = static_cast<SC_ACTION*>(out.At(actionsAt));
            memcpy(info->lpsaActions, fa.actions.data(), fa.actions.size() * sizeof(SC_ACTION));
        }
        break;
    }
    case SERVICE_CONFIG_DELAYED_AUTO_START_INFO:
        reinterpret_cast<SERVICE_DELAYED_AUTO_START_INFO*>(buffer)->fDelayedAutostart =
            GetFlag(key.get(), "DelayedAutostart");
        break;
    case SERVICE_CONFIG_FAILURE_ACTIONS_FLAG:
        reinterpret_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(buffer)->fFailureActionsOnNonCrashFailures =
            GetFlag(key.get(), "FailureActionsOnNonCrashFailures");
        break;
    }
    return TRUE;
}

namespace {

bool StatusOf(const std::shared_ptr<ServiceObject>& svc, SERVICE_STATUS_PROCESS& out) {
    RegKey key;
    if (DWORD err = OpenServiceKey(svc->name, KEY_READ, key)) {
        SetLastError(err);
        return false;
    }
    DWORD type = SERVICE_WIN32_OWN_PROCESS;
    GetDword(key.get(), "Type", type);
    out = CurrentStatus(svc->base, type);
    return true;
}

} // namespace

extern "C" BOOL WINAPI QueryServiceStatus(SC_HANDLE h, LPSERVICE_STATUS status) {
    if (!status)
        return Fail(ERROR_INVALID_ADDRESS);
    auto svc = GetServiceWith(h, SERVICE_QUERY_STATUS);
    if (!svc)
        return FALSE;
    SERVICE_STATUS_PROCESS st;
    if (!StatusOf(svc, st))
        return FALSE;
    memcpy(status, &st, sizeof *status);
    return TRUE;
}

extern "C" BOOL WINAPI QueryServiceStatusEx(SC_HANDLE h, SC_STATUS_TYPE level, LPBYTE buffer,
                                            DWORD size, LPDWORD needed) {
    // The arguments are checked before the handle, as Windows' client side does.
    if (level != SC_STATUS_PROCESS_INFO)
        return Fail(ERROR_INVALID_LEVEL);
    if (!needed)
        return Fail(ERROR_INVALID_ADDRESS);
    if (size < sizeof(SERVICE_STATUS_PROCESS)) {
        *needed = sizeof(SERVICE_STATUS_PROCESS);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (!buffer)
        return Fail(ERROR_INVALID_ADDRESS);
    auto svc = GetServiceWith(h, SERVICE_QUERY_STATUS);
    if (!svc)
        return FALSE;
    SERVICE_STATUS_PROCESS st;
    if (!StatusOf(svc, st))
        return FALSE;
    memcpy(buffer, &st, sizeof st);
    return TRUE;
}

extern "C" BOOL WINAPI StartServiceA(SC_HANDLE h, DWORD argc, LPCSTR* argv) {
    auto svc = GetServiceWith(h, SERVICE_START);
    if (!svc)
        return FALSE;
    std::vector<std::string> args;
    if (argc && !argv)
        return Fail(ERROR_INVALID_PARAMETER);
    size_t total = svc->name.size() + 1;
    for (DWORD i = 0; i < argc; ++i) {
        if (!argv[i])
            return Fail(ERROR_INVALID_PARAMETER);
        args.emplace_back(argv[i]);
        total += args.back().size() + 1;
    }
    // The start request carries the arguments in one message.
    if (total > kMaxStartArgsBytes)
        return Fail(ERROR_INVALID_PARAMETER);
    if (DWORD err = StartByName(CanonicalName(svc->name), args, 0))
        return Fail(err);
    return TRUE;
}

extern "C" BOOL WINAPI ControlService(SC_HANDLE h, DWORD control, LPSERVICE_STATUS status) {
    auto svc = GetService(h);
    if (!svc)
        return Fail(ERROR_INVALID_HANDLE);
    DWORD need = 0;
    switch (control) {
    case SERVICE_CONTROL_STOP:
        need = SERVICE_STOP;
        break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
        need = SERVICE_PAUSE_CONTINUE;
        break;
    case SERVICE_CONTROL_INTERROGATE:
        need = SERVICE_INTERROGATE;
        break;
    default:
        if (control >= 128 && control <= 255)
            need = SERVICE_USER_DEFINED_CONTROL;
        else
            return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!(svc->granted & need))
        return Fail(ERROR_ACCESS_DENIED);
    if (!status)
        return Fail(RPC_X_NULL_REF_POINTER);
    auto notRunning = [&]() {
        SERVICE_STATUS_PROCESS now;
        if (!StatusOf(svc, now))
            return FALSE;
        memcpy(status, &now, sizeof *status);
        return Fail(now.dwCurrentState == SERVICE_STOPPED ? ERROR_SERVICE_NOT_ACTIVE
                                                          : ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    };
    // Only a running service has a supervisor listening.
    int fd = ConnectSupervisor(svc->base);
    if (fd < 0)
        return notRunning();
    Msg m;
    m.type = MsgControl;
    m.code = control;
    Msg reply;
    bool answered = SendMsg(fd, m) &&
                    WaitReadable(fd, static_cast<int>(TimeoutMs()) + 10000) == 1 &&
                    ReceivePacket(fd, &reply, sizeof reply) == static_cast<ssize_t>(sizeof reply) &&
                    reply.type == MsgAck;
    close(fd);
    if (!answered)
        return notRunning();
    memcpy(status, &reply.status, sizeof *status);
    if (reply.error)
        return Fail(reply.error);
    return TRUE;
}

namespace {

struct EnumEntry {
    std::string name, display;
    SERVICE_STATUS_PROCESS status;
};

bool ValidEnumFilter(DWORD serviceType, DWORD serviceState) {
    return serviceType && !(serviceType & ~static_cast<DWORD>(SERVICE_TYPE_ALL)) && serviceState &&
           !(serviceState & ~static_cast<DWORD>(SERVICE_STATE_ALL));
}

bool StateMatches(const SERVICE_STATUS_PROCESS& st, DWORD serviceState) {
    bool active = st.dwCurrentState != SERVICE_STOPPED;
    return active ? (serviceState & SERVICE_ACTIVE) : (serviceState & SERVICE_INACTIVE);
}

// The services of the database that pass the filters, in name order. A null
// group takes every service, "" those in no group.
std::vector<EnumEntry> CollectServices(DWORD serviceType, DWORD serviceState, const char* group) {
    std::vector<EnumEntry> entries;
    std::vector<std::string> names = ListServices();
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return Lower(a) < Lower(b); });
    for (const std::string& name : names) {
        RegKey key;
        ServiceConfig cfg;
        if (OpenServiceKey(name, KEY_READ, key) || ReadConfig(key.get(), cfg))
            continue;
        if (!(cfg.type & serviceType & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS)))
            continue;
        if (group && !EqualNoCase(cfg.group, group))
            continue;
        SERVICE_STATUS_PROCESS st = CurrentStatus(ServiceFileBase(name), cfg.type);
        if (!StateMatches(st, serviceState))
            continue;
        entries.push_back({name, cfg.displayName, st});
    }
    return entries;
}

size_t EntrySize(size_t structSize, const EnumEntry& e) {
    return structSize + e.name.size() + 1 + e.display.size() + 1;
}

// Packs entries[start...] into the caller's buffer as Windows does: the
// structures from the front, their strings from the back. Sets the count
// written and the bytes the rest would need.
template <class T, class Fill>
void PackEntries(const std::vector<EnumEntry>& entries, size_t start, LPBYTE buffer, DWORD size,
                 DWORD& count, DWORD& rest, Fill fill) {
    size_t used = 0, n = 0;
    for (size_t i = start; buffer && i < entries.size(); ++i) {
        size_t need = EntrySize(sizeof(T), entries[i]);
        if (used + need > size)
            break;
        used += need;
        ++n;
    }
    size_t remaining = 0;
    for (size_t i = start + n; i < entries.size(); ++i)
        remaining += EntrySize(sizeof(T), entries[i]);
    auto* out = reinterpret_cast<T*>(buffer);
    char* strings = reinterpret_cast<char*>(buffer) + size;
    for (size_t i = 0; i < n; ++i) {
        const EnumEntry& e = entries[start + i];
        strings -= e.display.size() + 1;
        memcpy(strings, e.display.c_str(), e.display.size() + 1);
        out[i].lpDisplayName = strings;
        strings -= e.name.size() + 1;
        memcpy(strings, e.name.c_str(), e.name.size() + 1);
        out[i].lpServiceName = strings;
        fill(out[i], e.status);
    }
    count = static_cast<DWORD>(n);
    rest = static_cast<DWORD>(remaining);
}

// The shared body of both enumerations, with the resume handle protocol:
// ERROR_MORE_DATA, the entries that fit, the bytes the rest needs and the
// index to resume at.
template <class T, class Fill>
BOOL EnumerateInto(const std::vector<EnumEntry>& entries, LPBYTE buffer, DWORD size, LPDWORD needed,
                   LPDWORD returned, LPDWORD resume, Fill fill) {
    size_t start = resume ? std::min<size_t>(*resume, entries.size()) : 0;
    DWORD count = 0, rest = 0;
    PackEntries<T>(entries, start, buffer, size, count, rest, fill);
    *returned = count;
    *needed = rest;
    if (start + count < entries.size()) {
        if (resume)
            *resume = static_cast<DWORD>(start + count);
        return Fail(ERROR_MORE_DATA);
    }
    if (resume)
        *resume = 0;
    return TRUE;
}

void FillStatus(ENUM_SERVICE_STATUSA& out, const SERVICE_STATUS_PROCESS& st) {
    memcpy(&out.ServiceStatus, &st, sizeof out.ServiceStatus);
}

void FillStatusProcess(ENUM_SERVICE_STATUS_PROCESSA& out, const SERVICE_STATUS_PROCESS& st) {
    out.ServiceStatusProcess = st;
}

std::shared_ptr<ManagerObject> GetManagerWith(SC_HANDLE h, ACCESS_MASK right) {
    return WithRight(GetManager(h), right);
}

} // namespace

namespace {

// The name answer of GetServiceDisplayNameA and GetServiceKeyNameA. A buffer
// too small (or none) gets an empty string and the needed size, which the
// ANSI functions give as twice the character count (the size of the name in
// UTF-16 bytes); a buffer that holds the name and its terminator gets it,
// and the size is left as it was.
BOOL PutServiceName(const std::string& text, LPSTR buffer, LPDWORD chars) {
    if (!buffer || *chars <= text.size()) {
        if (buffer && *chars)
            *buffer = '\0';
        *chars = static_cast<DWORD>(2 * text.size());
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(buffer, text.c_str(), text.size() + 1);
    return TRUE;
}

} // namespace

extern "C" BOOL WINAPI EnumServicesStatusA(SC_HANDLE hManager, DWORD serviceType,
                                           DWORD serviceState, LPENUM_SERVICE_STATUSA services,
                                           DWORD size, LPDWORD needed, LPDWORD returned,
                                           LPDWORD resume) {
    if (!GetManagerWith(hManager, SC_MANAGER_ENUMERATE_SERVICE))
        return FALSE;
    if (!needed || !returned)
        return Fail(RPC_X_NULL_REF_POINTER);
    if (!ValidEnumFilter(serviceType, serviceState))
        return Fail(ERROR_INVALID_PARAMETER);
    return EnumerateInto<ENUM_SERVICE_STATUSA>(CollectServices(serviceType, serviceState, nullptr),
                                               reinterpret_cast<LPBYTE>(services), size, needed,
                                               returned, resume, FillStatus);
}

extern "C" BOOL WINAPI EnumServicesStatusExA(SC_HANDLE hManager, SC_ENUM_TYPE level,
                                             DWORD serviceType, DWORD serviceState, LPBYTE services,
                                             DWORD size, LPDWORD needed, LPDWORD returned,
                                             LPDWORD resume, LPCSTR group) {
    if (!GetManager(hManager))
        return Fail(ERROR_INVALID_HANDLE);
    if (level != SC_ENUM_PROCESS_INFO)
        return Fail(ERROR_INVALID_LEVEL);
    if (!GetManagerWith(hManager, SC_MANAGER_ENUMERATE_SERVICE))
        return FALSE;
    if (!needed || !returned)
        return Fail(ERROR_INVALID_ADDRESS);
    if (!ValidEnumFilter(serviceType, serviceState))
        return Fail(ERROR_INVALID_PARAMETER);
    return EnumerateInto<ENUM_SERVICE_STATUS_PROCESSA>(
        CollectServices(serviceType, serviceState, group), services, size, needed, returned, resume,
        FillStatusProcess);
}

extern "C" BOOL WINAPI EnumDependentServicesA(SC_HANDLE h, DWORD serviceState,
                                              LPENUM_SERVICE_STATUSA services, DWORD size,
                                              LPDWORD needed, LPDWORD returned) {
    auto svc = GetServiceWith(h, SERVICE_ENUMERATE_DEPENDENTS);
    if (!svc)
        return FALSE;
    if (!needed || !returned)
        return Fail(ERROR_INVALID_ADDRESS);
    if (!serviceState || (serviceState & ~static_cast<DWORD>(SERVICE_STATE_ALL)))
        return Fail(ERROR_INVALID_PARAMETER);
    // Every service that needs this one, directly or through others, in the
    // order they would be stopped: a service comes before those it needs.
    std::vector<EnumEntry> all = CollectServices(SERVICE_TYPE_ALL, SERVICE_STATE_ALL, nullptr);
    std::map<std::string, std::vector<std::string>> needs; // lower-case names
    for (const EnumEntry& e : all) {
        RegKey key;
        std::vector<std::string> deps;
        if (OpenServiceKey(e.name, KEY_READ, key) == 0 &&
            GetMultiString(key.get(), "DependOnService", deps))
            for (const std::string& d : deps)
                needs[Lower(e.name)].push_back(Lower(d));
    }
    std::set<std::string> dependents;
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& [name, deps] : needs)
            for (const std::string& d : deps)
                if ((d == Lower(svc->name) || dependents.count(d)) &&
                    dependents.insert(name).second)
                    grew = true;
    }
    // Stop order: repeatedly take the dependents nothing left depends on.
    std::vector<EnumEntry> ordered;
    std::set<std::string> placed;
    while (placed.size() < dependents.size()) {
        size_t before = placed.size();
        for (const EnumEntry& e : all) {
            std::string n = Lower(e.name);
            if (!dependents.count(n) || placed.count(n))
                continue;
            bool neededByRest = false;
            for (const std::string& other : dependents)
                if (!placed.count(other) && other != n)
                    for (const std::string& d : needs[other])
                        neededByRest |= d == n;
            if (neededByRest)
                continue;
            placed.insert(n);
            if (StateMatches(e.status, serviceState))
                ordered.push_back(e);
        }
        if (placed.size() == before)
            break; // a cycle written into the registry by hand
    }
    DWORD count = 0, rest = 0;
    PackEntries<ENUM_SERVICE_STATUSA>(ordered, 0, reinterpret_cast<LPBYTE>(services), size, count,
                                      rest, FillStatus);
    if (count < ordered.size()) {
        // Windows returns nothing then, and the size of the whole answer.
        *returned = 0;
        *needed = 0;
        for (const EnumEntry& e : ordered)
            *needed += static_cast<DWORD>(EntrySize(sizeof(ENUM_SERVICE_STATUSA), e));
        return Fail(ERROR_MORE_DATA);
    }
    *returned = count;
    *needed = 0;
    return TRUE;
}

extern "C" BOOL WINAPI GetServiceDisplayNameA(SC_HANDLE hManager, LPCSTR name, LPSTR buffer,
                                              LPDWORD chars) {
    if (!GetManager(hManager))
        return Fail(ERROR_INVALID_HANDLE);
    if (!chars)
        return Fail(RPC_X_NULL_REF_POINTER);
    if (!ValidServiceName(name))
        return Fail(ERROR_INVALID_NAME);
    RegKey key;
    if (DWORD err = OpenServiceKey(name, KEY_READ, key)) {
        if (buffer && *chars)
            *buffer = '\0';
        return Fail(err);
    }
    std::string display;
    GetString(key.get(), "DisplayName", display);
    return PutServiceName(display, buffer, chars);
}

extern "C" BOOL WINAPI GetServiceKeyNameA(SC_HANDLE hManager, LPCSTR displayName, LPSTR buffer,
                                          LPDWORD chars) {
    if (!GetManager(hManager))
        return Fail(ERROR_INVALID_HANDLE);
    if (!chars)
        return Fail(RPC_X_NULL_REF_POINTER);
    if (!displayName || !*displayName)
        return Fail(ERROR_INVALID_NAME);
    for (const std::string& name : ListServices()) {
        RegKey key;
        std::string display;
        if (OpenServiceKey(name, KEY_READ, key) || !GetString(key.get(), "DisplayName", display) ||
            !EqualNoCase(display, displayName))
            continue;
        return PutServiceName(name, buffer, chars);
    }
    if (buffer && *chars)
        *buffer = '\0';
    return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
}

extern "C" BOOL WINAPI QueryServiceObjectSecurity(SC_HANDLE h, DWORD info, PVOID sd, DWORD size,
                                                  LPDWORD needed) {
    auto svc = GetService(h);
    if (!svc)
        return Fail(ERROR_INVALID_HANDLE);
    if (!needed)
        return Fail(RPC_X_NULL_REF_POINTER);
    const DWORD known = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                        DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
    if ((info & known) == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    if ((info &
         (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) &&
        !(svc->granted & READ_CONTROL))
        return Fail(ERROR_ACCESS_DENIED);
    if ((info & SACL_SECURITY_INFORMATION) && !(svc->granted & ACCESS_SYSTEM_SECURITY))
        return Fail(ERROR_ACCESS_DENIED);
    RegKey key;
    if (DWORD err = OpenServiceKey(svc->name, KEY_READ, key))
        return Fail(err);
    std::vector<BYTE> stored = ReadServiceSecurity(key.get());
    SdParts parts;
    if (!ParseStoredDescriptor(stored, parts))
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    std::vector<BYTE> out = BuildSelfRelative(parts, info);
    *needed = static_cast<DWORD>(out.size());
    if (!sd || size < out.size())
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(sd, out.data(), out.size());
    return TRUE;
}

extern "C" BOOL WINAPI SetServiceObjectSecurity(SC_HANDLE h, DWORD info, PVOID sd) {
    auto svc = GetService(h);
    if (!svc)
        return Fail(ERROR_INVALID_HANDLE);
    const DWORD known = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                        DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
    if (!sd || (info & known) == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    SdParts incoming;
    // A self-relative descriptor is bounded by its largest part; 64 KB
    // covers any valid one.
    if (!IsValidSecurityDescriptor(sd) || !ParseDescriptor(sd, 0x10000 + 20, incoming))
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    if ((info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) &&
        !(svc->granted & WRITE_OWNER))
        return Fail(ERROR_ACCESS_DENIED);
    if ((info & DACL_SECURITY_INFORMATION) && !(svc->granted & WRITE_DAC))
        return Fail(ERROR_ACCESS_DENIED);
    if ((info & SACL_SECURITY_INFORMATION) && !(svc->granted & ACCESS_SYSTEM_SECURITY))
        return Fail(ERROR_ACCESS_DENIED);
    if ((info & OWNER_SECURITY_INFORMATION) && incoming.owner.empty())
        return Fail(ERROR_INVALID_OWNER);
    if ((info & GROUP_SECURITY_INFORMATION) && incoming.group.empty())
        return Fail(ERROR_INVALID_PRIMARY_GROUP);
    RegKey key;
    if (DWORD err = OpenServiceKey(svc->name, KEY_ALL_ACCESS, key))
        return Fail(err);
    std::vector<BYTE> stored = ReadServiceSecurity(key.get());
    SdParts parts;
    if (!ParseStoredDescriptor(stored, parts))
        parts = SdParts{};
    if (info & OWNER_SECURITY_INFORMATION)
        parts.owner = incoming.owner;
    if (info & GROUP_SECURITY_INFORMATION)
        parts.group = incoming.group;
    if (info & DACL_SECURITY_INFORMATION) {
        parts.hasDacl = incoming.hasDacl;
        parts.dacl = incoming.dacl;
    }
    if (info & SACL_SECURITY_INFORMATION) {
        parts.hasSacl = incoming.hasSacl;
        parts.sacl = incoming.sacl;
    }
    if (LSTATUS st = WriteServiceSecurity(key.get(), BuildSelfRelative(parts, known)))
        return Fail(static_cast<DWORD>(st));
    return TRUE;
}
