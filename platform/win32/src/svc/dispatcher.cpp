// The service side: StartServiceCtrlDispatcherA, the handler registration,
// SetServiceStatus and SetServiceBits.
//
// A service process inherits two sockets from its supervisor, named by
// WIN32POSIX_SERVICE_CHANNEL="<control fd>,<status fd>". The dispatcher
// thread owns the control socket: it receives the start request and the
// controls and runs the handler for each, one at a time. Status reports and
// service bits travel on the status socket from any thread, each answered
// by the supervisor once the report is published.
#include "scm.h"

#include "../handles.h"

#if __has_include("../thread.h")
#include "../thread.h"
#define W32P_HAVE_TERMINATION_POINT 1
#endif

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace w32p::scm {
namespace {

struct StatusHandleObject : KernelObject {
    ObjectKind Kind() const override { return ObjectKind::ServiceStatus; }
};

struct ServiceSide {
    std::mutex mutex; // guards everything below and the status socket
    bool connected = false;
    int controlFd = -1;
    int statusFd = -1;
    std::string serviceName;
    LPHANDLER_FUNCTION handler = nullptr;
    LPHANDLER_FUNCTION_EX handlerEx = nullptr;
    LPVOID handlerContext = nullptr;
    HANDLE statusHandle = nullptr;
    uint32_t nextSeq = 1;
};

ServiceSide& Side() {
    static ServiceSide* side = new ServiceSide; // lives until the process ends
    return *side;
}

bool IsSocket(int fd) {
    struct stat st;
    return fd >= 0 && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

// Reads the inherited channel descriptors; false when the process was not
// started by a supervisor.
bool TakeChannel(int& controlFd, int& statusFd) {
    const char* env = getenv(kChannelEnv);
    if (!env)
        return false;
    int a = -1, b = -1;
    char tail = 0;
    if (sscanf(env, "%d,%d%c", &a, &b, &tail) != 2 || !IsSocket(a) || !IsSocket(b) || a == b)
        return false;
    // Children of the service are not services themselves.
    unsetenv(kChannelEnv);
    fcntl(a, F_SETFD, FD_CLOEXEC);
    fcntl(b, F_SETFD, FD_CLOEXEC);
    controlFd = a;
    statusFd = b;
    return true;
}

// A status-channel request, answered by the supervisor.
DWORD StatusRequest(Msg m) {
    ServiceSide& s = Side();
    std::lock_guard lock(s.mutex);
    if (s.statusFd < 0)
        return ERROR_INVALID_HANDLE;
    m.seq = s.nextSeq++;
    if (!SendMsg(s.statusFd, m))
        return ERROR_INVALID_HANDLE;
    for (;;) {
        Msg reply;
        ssize_t n = ReceivePacket(s.statusFd, &reply, sizeof reply);
        if (n != static_cast<ssize_t>(sizeof reply))
            return ERROR_INVALID_HANDLE;
        if (reply.type == MsgAck && reply.seq == m.seq)
            return reply.error;
    }
}

struct MainArgs {
    LPSERVICE_MAIN_FUNCTIONA proc;
    std::vector<std::string> args;
};

DWORD WINAPI ServiceMainThread(LPVOID p) {
    MainArgs* a = static_cast<MainArgs*>(p);
    std::vector<char*> argv;
    for (std::string& s : a->args)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    a->proc(static_cast<DWORD>(a->args.size()), argv.data());
    delete a;
    return 0;
}

// Blocks until the control socket has a message; a terminated dispatcher
// thread ends here.
int WaitForControl(int fd) {
#ifdef W32P_HAVE_TERMINATION_POINT
    TerminationPoint tp;
#endif
    return WaitReadable(fd, -1);
}

} // namespace
} // namespace w32p::scm

using namespace w32p;
using namespace w32p::scm;

extern "C" BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
    if (!table || !table[0].lpServiceProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ServiceSide& s = Side();
    int controlFd, statusFd;
    {
        std::lock_guard lock(s.mutex);
        if (s.connected) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
        if (!TakeChannel(controlFd, statusFd)) {
            SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
            return FALSE;
        }
        s.connected = true;
        s.controlFd = controlFd;
        s.statusFd = statusFd;
    }

    Msg hello;
    hello.type = MsgHello;
    hello.pid = static_cast<uint32_t>(getpid());
    std::vector<char> buf(65536);
    ssize_t n = -1;
    if (SendMsg(controlFd, hello) && WaitForControl(controlFd) == 1)
        n = ReceivePacket(controlFd, buf.data(), buf.size());
    if (n < static_cast<ssize_t>(sizeof(uint32_t)) ||
        reinterpret_cast<Msg*>(buf.data())->type != MsgStart) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    // Start payload: a uint32 type, then NUL-terminated strings (name, args).
    auto* main = new MainArgs{table[0].lpServiceProc, {}};
    for (size_t pos = sizeof(uint32_t); pos < static_cast<size_t>(n);) {
        const char* str = buf.data() + pos;
        size_t len = strnlen(str, static_cast<size_t>(n) - pos);
        main->args.emplace_back(str, len);
        pos += len + 1;
    }
    if (main->args.empty())
        main->args.emplace_back(table[0].lpServiceName ? table[0].lpServiceName : "");
    {
        std::lock_guard lock(s.mutex);
        s.serviceName = main->args[0];
    }
    // ServiceMain runs on a thread of its own, a Windows thread like any
    // other (message queue, timers, TerminateThread).
    HANDLE thread = CreateThread(nullptr, 0, ServiceMainThread, main, 0, nullptr);
    if (!thread) {
        delete main;
        SetLastError(ERROR_SERVICE_NO_THREAD);
        return FALSE;
    }
    CloseHandle(thread);

    // Controls, one at a time, in arrival order, until the service stopped.
    for (;;) {
        if (WaitForControl(controlFd) != 1)
            break;
        Msg m;
        n = ReceivePacket(controlFd, &m, sizeof m);
        if (n != static_cast<ssize_t>(sizeof m))
            break;
        if (m.type == MsgEnd)
            return TRUE;
        if (m.type != MsgControl)
            continue;
        LPHANDLER_FUNCTION handler;
        LPHANDLER_FUNCTION_EX handlerEx;
        LPVOID context;
        {
            std::lock_guard lock(s.mutex);
            handler = s.handler;
            handlerEx = s.handlerEx;
            context = s.handlerContext;
        }
        if (handlerEx)
            handlerEx(m.code, 0, nullptr, context);
        else if (handler)
            handler(m.code);
        Msg done;
        done.type = MsgDone;
        done.seq = m.seq;
        if (!SendMsg(controlFd, done))
            break;
    }
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
}

namespace {

SERVICE_STATUS_HANDLE Register(LPCSTR name, LPHANDLER_FUNCTION handler,
                               LPHANDLER_FUNCTION_EX handlerEx, LPVOID context) {
    if (!handler && !handlerEx) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ServiceSide& s = Side();
    std::lock_guard lock(s.mutex);
    // An own-process service has one service, so the name is not checked
    // beyond being given.
    if (!s.connected || !name) {
        SetLastError(ERROR_SERVICE_NOT_IN_EXE);
        return nullptr;
    }
    s.handler = handler;
    s.handlerEx = handlerEx;
    s.handlerContext = context;
    if (!s.statusHandle) {
        HANDLE h = InsertHandle(std::make_shared<StatusHandleObject>());
        if (!h)
            return nullptr;
        s.statusHandle = h;
    }
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(s.statusHandle);
}

bool ValidStatusHandle(SERVICE_STATUS_HANDLE h) {
    if (!h || !LookupHandle(reinterpret_cast<HANDLE>(h), ObjectKind::ServiceStatus))
        return false;
    return true;
}

} // namespace

extern "C" SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR name,
                                                                    LPHANDLER_FUNCTION proc) {
    if (!proc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Register(name, proc, nullptr, nullptr);
}

extern "C" SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExA(LPCSTR name,
                                                                      LPHANDLER_FUNCTION_EX proc,
                                                                      LPVOID context) {
    if (!proc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Register(name, nullptr, proc, context);
}

extern "C" BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE h, LPSERVICE_STATUS status) {
    if (!ValidStatusHandle(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!status) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    SERVICE_STATUS st = *status;
    DWORD type = st.dwServiceType & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
    if (st.dwCurrentState < SERVICE_STOPPED || st.dwCurrentState > SERVICE_PAUSED ||
        (type != SERVICE_WIN32_OWN_PROCESS && type != SERVICE_WIN32_SHARE_PROCESS)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    Msg m;
    m.type = MsgStatus;
    m.status = st;
    DWORD err = StatusRequest(m);
    if (err) {
        SetLastError(err);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI SetServiceBits(SERVICE_STATUS_HANDLE h, DWORD bits, BOOL setBitsOn,
                                      BOOL updateImmediately) {
    if (!ValidStatusHandle(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Msg m;
    m.type = MsgBits;
    m.code = bits;
    m.flags = (setBitsOn ? 1u : 0u) | (updateImmediately ? 2u : 0u);
    DWORD err = StatusRequest(m);
    if (err) {
        SetLastError(err);
        return FALSE;
    }
    return TRUE;
}
