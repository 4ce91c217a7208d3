#include "control.h"

#include <algorithm>
#include <cctype>

namespace servane {

DWORD gdwControlError = 0;

namespace {

// The first and the longest pause between two status reads of a wait.
constexpr DWORD kFirstPollMs = 10;
constexpr DWORD kLongestPollMs = 100;

const char kServiceStationPrefix[] = "Service-0x";

BOOL Fail(DWORD error) {
    gdwControlError = error;
    return FALSE;
}

// A service control manager or service handle, closed with the object.
class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle = nullptr) : m_handle(handle) {}
    ~ScHandle() {
        if (m_handle)
            CloseServiceHandle(m_handle);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return m_handle; }
    void reset(SC_HANDLE handle) {
        if (m_handle)
            CloseServiceHandle(m_handle);
        m_handle = handle;
    }

private:
    SC_HANDLE m_handle;
};

bool HasNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

// Connects to the manager of the target's machine. A name or machine with
// a NUL in it would silently name another service: refused.
bool OpenManager(const std::string& machine, DWORD access, ScHandle& manager) {
    if (HasNul(machine))
        return Fail(ERROR_INVALID_NAME);
    manager.reset(OpenSCManagerA(machine.empty() ? nullptr : machine.c_str(),
                                 SERVICES_ACTIVE_DATABASEA, access));
    return manager.get() ? true : Fail(GetLastError());
}

// Opens the service with the rights asked for; the manager handle stays
// open as long as the service handle is used.
bool OpenTarget(const ServiceTarget& target, DWORD access, ScHandle& manager, ScHandle& service) {
    if (HasNul(target.name))
        return Fail(ERROR_INVALID_NAME);
    if (!OpenManager(target.machine, SC_MANAGER_CONNECT, manager))
        return false;
    service.reset(OpenServiceA(manager.get(), target.name.c_str(), access));
    return service.get() ? true : Fail(GetLastError());
}

// The right a control code needs (codes the manager does not know are sent
// with the user-defined right, and the manager refuses them).
DWORD RightForControl(DWORD control) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
        return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
        return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE:
        return SERVICE_INTERROGATE;
    default:
        return SERVICE_USER_DEFINED_CONTROL;
    }
}

bool ReadStatus(SC_HANDLE service, ServiceStatusInfo& out) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof status, &needed))
        return Fail(GetLastError());
    out.serviceType = status.dwServiceType;
    out.state = status.dwCurrentState;
    out.controlsAccepted = status.dwControlsAccepted;
    out.win32ExitCode = status.dwWin32ExitCode;
    out.serviceExitCode = status.dwServiceSpecificExitCode;
    out.checkPoint = status.dwCheckPoint;
    out.waitHint = status.dwWaitHint;
    out.processId = status.dwProcessId;
    return true;
}

} // namespace

bool IsServiceState(DWORD state) {
    return state >= SERVICE_STOPPED && state <= SERVICE_PAUSED;
}

BOOL StartNamedService(const ServiceTarget& target, const std::vector<std::string>& args) {
    if (std::any_of(args.begin(), args.end(), HasNul))
        return Fail(ERROR_INVALID_PARAMETER);
    ScHandle manager, service;
    if (!OpenTarget(target, SERVICE_START, manager, service))
        return FALSE;
    std::vector<LPCSTR> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    if (!StartServiceA(service.get(), static_cast<DWORD>(argv.size()),
                       argv.empty() ? nullptr : argv.data()))
        return Fail(GetLastError());
    return TRUE;
}

BOOL SendServiceControl(const ServiceTarget& target, DWORD control) {
    ScHandle manager, service;
    if (!OpenTarget(target, RightForControl(control), manager, service))
        return FALSE;
    SERVICE_STATUS status = {};
    if (!ControlService(service.get(), control, &status))
        return Fail(GetLastError());
    return TRUE;
}

BOOL QueryStatus(const ServiceTarget& target, ServiceStatusInfo& out) {
    ScHandle manager, service;
    if (!OpenTarget(target, SERVICE_QUERY_STATUS, manager, service))
        return FALSE;
    return ReadStatus(service.get(), out);
}

WaitResult WaitForState(const ServiceTarget& target, DWORD state, DWORD timeoutMs,
                        KeepWaiting keepWaiting, void* context, WaitProgress& progress) {
    if (!IsServiceState(state)) {
        Fail(ERROR_INVALID_PARAMETER);
        return WaitResult::Failed;
    }
    ScHandle manager, service;
    if (!OpenTarget(target, SERVICE_QUERY_STATUS, manager, service))
        return WaitResult::Failed;
    if (!progress.started) {
        progress.startTick = GetTickCount();
        progress.started = true;
    }
    DWORD pause = kFirstPollMs;
    ServiceStatusInfo& status = progress.last;
    for (;;) {
        if (!ReadStatus(service.get(), status))
            return WaitResult::Failed;
        if (status.state == state)
            return WaitResult::Reached;
        if (status.state != SERVICE_STOPPED) {
            progress.seenActive = true;
        } else if (progress.seenActive) {
            Fail(status.win32ExitCode ? status.win32ExitCode : ERROR_SERVICE_NOT_ACTIVE);
            return WaitResult::Stopped;
        }
        const DWORD elapsed = GetTickCount() - progress.startTick;
        if (elapsed >= timeoutMs) {
            Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
            return WaitResult::TimedOut;
        }
        if (keepWaiting && !keepWaiting(context))
            return WaitResult::Interrupted;
        Sleep(std::min(pause, timeoutMs - elapsed));
        pause = std::min(pause * 2, kLongestPollMs);
    }
}

bool IsServiceWindowStation() {
    HWINSTA station = GetProcessWindowStation(); // not to be closed
    if (!station)
        return false;
    DWORD needed = 0;
    GetUserObjectInformationA(station, UOI_NAME, nullptr, 0, &needed);
    if (needed == 0)
        return false;
    std::string name(needed, '\0');
    if (!GetUserObjectInformationA(station, UOI_NAME, name.data(), needed, &needed))
        return false;
    const size_t prefix = sizeof kServiceStationPrefix - 1;
    if (name.size() < prefix)
        return false;
    for (size_t i = 0; i < prefix; ++i) {
        if (std::tolower(static_cast<unsigned char>(name[i])) !=
            std::tolower(static_cast<unsigned char>(kServiceStationPrefix[i])))
            return false;
    }
    return true;
}

} // namespace servane
