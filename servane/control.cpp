#include "control.h"

#include <algorithm>
#include <cctype>

#include "identity.h"

namespace servane {

DWORD gdwControlError = 0;

namespace {

// The first and the longest pause between two status reads of a wait.
constexpr DWORD kFirstPollMs = 10;
constexpr DWORD kLongestPollMs = 100;

const char kServiceStationPrefix[] = "Service-0x";

// Answer buffers of the enumerations and configuration queries: the first
// size tried, and the most they grow to. Doubling stops at the largest
// answer Windows documents for each call (the manager's RPC interface
// bounds the buffer size); a manager that asks for more is given it.
constexpr DWORD kFirstBufferBytes = 4 * 1024;
constexpr DWORD kLargestBufferBytes = 64 * 1024 * 1024;
constexpr DWORD kConfig2Bytes = 8 * 1024;
constexpr DWORD kDependentsBytes = 64000;
constexpr DWORD kEnumerationBytes = 256 * 1024;

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

// SERVICE_STATUS and SERVICE_STATUS_PROCESS share their first seven fields.
template <class Status> ServiceStatusInfo ToStatusInfo(const Status& status) {
    ServiceStatusInfo out;
    out.serviceType = status.dwServiceType;
    out.state = status.dwCurrentState;
    out.controlsAccepted = status.dwControlsAccepted;
    out.win32ExitCode = status.dwWin32ExitCode;
    out.serviceExitCode = status.dwServiceSpecificExitCode;
    out.checkPoint = status.dwCheckPoint;
    out.waitHint = status.dwWaitHint;
    return out;
}

bool ReadStatus(SC_HANDLE service, ServiceStatusInfo& out) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof status, &needed))
        return Fail(GetLastError());
    out = ToStatusInfo(status);
    out.processId = status.dwProcessId;
    return true;
}

// A buffer for the manager's variable-size answers, aligned for the
// structures at their front.
class AnswerBuffer {
public:
    AnswerBuffer() { Resize(kFirstBufferBytes); }
    BYTE* bytes() { return reinterpret_cast<BYTE*>(m_words.data()); }
    DWORD size() const { return m_size; }
    // Room for at least `needed` bytes, and up to twice the present size
    // (at most `cap`). False when it cannot grow: a manager that keeps
    // asking for no more than it has cannot loop us forever.
    bool Grow(DWORD needed, DWORD cap) {
        const DWORD want = std::max(needed, std::min(m_size * 2, cap));
        if (want <= m_size || want > kLargestBufferBytes)
            return false;
        Resize(want);
        return true;
    }

private:
    void Resize(DWORD bytes) {
        m_words.assign((bytes + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG), 0);
        m_size = bytes;
    }
    std::vector<ULONGLONG> m_words;
    DWORD m_size = 0;
};

// QueryServiceConfig2A at one level into the buffer, grown as the manager
// asks. Returns 0 or the error, which the caller records.
DWORD QueryConfig2(SC_HANDLE service, DWORD level, AnswerBuffer& buffer) {
    for (;;) {
        DWORD needed = 0;
        if (QueryServiceConfig2A(service, level, buffer.bytes(), buffer.size(), &needed))
            return 0;
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER)
            return error;
        if (!buffer.Grow(needed, kConfig2Bytes))
            return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ServiceEntry ToEntry(const char* name, const char* display, const ServiceStatusInfo& status,
                     bool hasProcessId) {
    return ServiceEntry{name ? name : "", display ? display : "", status, hasProcessId};
}

bool HasAction(const std::vector<FailureAction>& actions, DWORD type) {
    return std::any_of(actions.begin(), actions.end(),
                       [type](const FailureAction& a) { return a.type == type; });
}

// Reads the service's recovery settings (SERVICE_CONFIG_FAILURE_ACTIONS).
bool ReadFailureActions(SC_HANDLE service, FailureSettings& out) {
    AnswerBuffer buffer;
    if (DWORD error = QueryConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer))
        return Fail(error);
    const auto* info = reinterpret_cast<const SERVICE_FAILURE_ACTIONSA*>(buffer.bytes());
    out.resetPeriod = info->dwResetPeriod;
    out.rebootMessage.reset();
    if (info->lpRebootMsg)
        out.rebootMessage = info->lpRebootMsg;
    out.command.reset();
    if (info->lpCommand)
        out.command = info->lpCommand;
    std::vector<FailureAction> actions;
    for (DWORD i = 0; info->lpsaActions && i < info->cActions; ++i)
        actions.push_back(FailureAction{static_cast<DWORD>(info->lpsaActions[i].Type),
                                        info->lpsaActions[i].Delay});
    out.actions = std::move(actions);
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

BOOL ListServices(const std::string& machine, DWORD type, DWORD state,
                  std::vector<ServiceEntry>& out) {
    ScHandle manager;
    if (!OpenManager(machine, SC_MANAGER_ENUMERATE_SERVICE, manager))
        return FALSE;
    std::vector<ServiceEntry> entries;
    AnswerBuffer buffer;
    DWORD resume = 0;
    for (;;) {
        DWORD needed = 0, returned = 0;
        const BOOL complete =
            EnumServicesStatusExA(manager.get(), SC_ENUM_PROCESS_INFO, type, state, buffer.bytes(),
                                  buffer.size(), &needed, &returned, &resume, nullptr);
        if (!complete && GetLastError() != ERROR_MORE_DATA)
            return Fail(GetLastError());
        // ERROR_MORE_DATA: the entries that fitted are valid, and the resume
        // handle says where the rest begins.
        const auto* items = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSA*>(buffer.bytes());
        for (DWORD i = 0; i < returned; ++i) {
            ServiceStatusInfo status = ToStatusInfo(items[i].ServiceStatusProcess);
            status.processId = items[i].ServiceStatusProcess.dwProcessId;
            entries.push_back(
                ToEntry(items[i].lpServiceName, items[i].lpDisplayName, status, true));
        }
        if (complete)
            break;
        if (returned == 0 && !buffer.Grow(needed, kEnumerationBytes))
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    out = std::move(entries);
    return TRUE;
}

BOOL ListDependents(const ServiceTarget& target, std::vector<ServiceEntry>& out) {
    ScHandle manager, service;
    if (!OpenTarget(target, SERVICE_ENUMERATE_DEPENDENTS, manager, service))
        return FALSE;
    AnswerBuffer buffer;
    DWORD returned = 0;
    for (;;) {
        DWORD needed = 0;
        if (EnumDependentServicesA(service.get(), SERVICE_STATE_ALL,
                                   reinterpret_cast<LPENUM_SERVICE_STATUSA>(buffer.bytes()),
                                   buffer.size(), &needed, &returned))
            break;
        // Too small: the manager says for how much; nothing was returned.
        if (GetLastError() != ERROR_MORE_DATA)
            return Fail(GetLastError());
        if (!buffer.Grow(needed, kDependentsBytes))
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    const auto* items = reinterpret_cast<const ENUM_SERVICE_STATUSA*>(buffer.bytes());
    std::vector<ServiceEntry> entries;
    for (DWORD i = 0; i < returned; ++i)
        entries.push_back(ToEntry(items[i].lpServiceName, items[i].lpDisplayName,
                                  ToStatusInfo(items[i].ServiceStatus), false));
    out = std::move(entries);
    return TRUE;
}

BOOL QueryFailureSettings(const ServiceTarget& target, FailureSettings& out) {
    ScHandle manager, service;
    if (!OpenTarget(target, SERVICE_QUERY_CONFIG, manager, service))
        return FALSE;
    FailureSettings settings;
    if (!ReadFailureActions(service.get(), settings))
        return FALSE;
    // Managers before Windows Vista know no failure-actions flag.
    AnswerBuffer buffer;
    const DWORD error = QueryConfig2(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, buffer);
    if (error == 0)
        settings.nonCrashFailures =
            reinterpret_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(buffer.bytes())
                ->fFailureActionsOnNonCrashFailures != 0;
    else if (error != ERROR_INVALID_LEVEL)
        return Fail(error);
    out = std::move(settings);
    return TRUE;
}

BOOL ChangeFailureSettings(const ServiceTarget& target, const FailureSettings& settings) {
    for (const auto* text : {&settings.rebootMessage, &settings.command})
        if (*text && HasNul(**text))
            return Fail(ERROR_INVALID_PARAMETER);

    // The manager takes the reset period and the actions together: the one
    // not given is the present one.
    const bool withActions = settings.actions || settings.resetPeriod;
    DWORD period = settings.resetPeriod.value_or(0);
    std::vector<FailureAction> actions = settings.actions.value_or(std::vector<FailureAction>{});
    if (settings.resetPeriod.has_value() != settings.actions.has_value()) {
        ScHandle manager, service;
        FailureSettings present;
        if (!OpenTarget(target, SERVICE_QUERY_CONFIG, manager, service) ||
            !ReadFailureActions(service.get(), present))
            return FALSE;
        if (!settings.resetPeriod)
            period = present.resetPeriod.value_or(0);
        if (!settings.actions)
            actions = std::move(*present.actions);
    }
    // SC_ACTION's type is an enumeration: a value outside it cannot be put
    // there, so the manager's own refusal is given here.
    if (std::any_of(actions.begin(), actions.end(),
                    [](const FailureAction& a) { return a.type > SC_ACTION_RUN_COMMAND; }))
        return Fail(ERROR_INVALID_PARAMETER);
    const bool restart = HasAction(actions, SC_ACTION_RESTART);
    ScHandle manager, service;
    if (!OpenTarget(target, SERVICE_CHANGE_CONFIG | (restart ? SERVICE_START : 0), manager,
                    service))
        return FALSE;

    if (withActions || settings.rebootMessage || settings.command) {
        std::vector<SC_ACTION> native;
        for (const FailureAction& a : actions)
            native.push_back(SC_ACTION{static_cast<SC_ACTION_TYPE>(a.type), a.delayMs});
        SC_ACTION none = {SC_ACTION_NONE, 0}; // an empty list still needs an array
        SERVICE_FAILURE_ACTIONSA info = {};
        info.dwResetPeriod = period;
        info.lpRebootMsg =
            settings.rebootMessage ? const_cast<LPSTR>(settings.rebootMessage->c_str()) : nullptr;
        info.lpCommand = settings.command ? const_cast<LPSTR>(settings.command->c_str()) : nullptr;
        info.cActions = static_cast<DWORD>(native.size());
        info.lpsaActions = !withActions ? nullptr : native.empty() ? &none : native.data();
        // Only a caller with the shutdown privilege on may set a reboot
        // action: switched on for this call, then back as it was.
        bool switchedOn = false;
        if (HasAction(actions, SC_ACTION_REBOOT))
            EnablePrivilege(nullptr, SE_SHUTDOWN_NAME, TRUE, &switchedOn);
        const BOOL changed =
            ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &info);
        const DWORD error = changed ? 0 : GetLastError();
        if (switchedOn)
            EnablePrivilege(nullptr, SE_SHUTDOWN_NAME, FALSE);
        if (!changed)
            return Fail(error);
    }
    if (settings.nonCrashFailures) {
        SERVICE_FAILURE_ACTIONS_FLAG flag = {*settings.nonCrashFailures ? TRUE : FALSE};
        if (!ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag))
            return Fail(GetLastError());
    }
    return TRUE;
}

BOOL QueryDelayedStart(const ServiceTarget& target, bool& delayed) {
    ScHandle manager, service;
    if (!OpenTarget(target, SERVICE_QUERY_CONFIG, manager, service))
        return FALSE;
    AnswerBuffer buffer;
    if (DWORD error = QueryConfig2(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, buffer))
        return Fail(error);
    delayed = reinterpret_cast<const SERVICE_DELAYED_AUTO_START_INFO*>(buffer.bytes())
                  ->fDelayedAutostart != 0;
    return TRUE;
}

BOOL ChangeDelayedStart(const ServiceTarget& target, bool delayed) {
    ScHandle manager, service;
    if (!OpenTarget(target, SERVICE_CHANGE_CONFIG, manager, service))
        return FALSE;
    SERVICE_DELAYED_AUTO_START_INFO info = {delayed ? TRUE : FALSE};
    if (!ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info))
        return Fail(GetLastError());
    return TRUE;
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
