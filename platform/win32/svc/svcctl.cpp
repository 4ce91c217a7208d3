// svcctl: the command-line controller of the service control manager, with
// sc.exe's verbs, option words ("word= value"), output layout and exit
// status (the Windows error code), plus three verbs of its own: boot, logs
// and debug.
#include "svcctl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#ifndef ERROR_INVALID_COMMAND_LINE
#define ERROR_INVALID_COMMAND_LINE 1639L
#endif

namespace svcctl {

std::string gMachine;

namespace {

struct Verb {
    const char* name;
    const char* description;
    const char* usage;
    int (*run)(const std::vector<std::string>& args);
};

const Verb* FindVerb(const std::string& name);

} // namespace

int ExitStatus(DWORD error) {
    if (error == 0)
        return 0;
    return (error & 0xFF) ? static_cast<int>(error & 0xFF) : 1;
}

const char* ErrorText(DWORD code) {
    static const std::map<DWORD, const char*> texts = {
        {0, "The operation completed successfully."},
        {2, "The system cannot find the file specified."},
        {3, "The system cannot find the path specified."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {8, "Not enough memory resources are available to process this command."},
        {13, "The data is invalid."},
        {50, "The request is not supported."},
        {87, "The parameter is incorrect."},
        {122, "The data area passed to a system call is too small."},
        {123, "The filename, directory name, or volume label syntax is incorrect."},
        {124, "The system call level is not correct."},
        {234, "More data is available."},
        {487, "Attempt to access invalid address."},
        {1051, "A stop control has been sent to a service that other running services are "
               "dependent on."},
        {1052, "The requested control is not valid for this service."},
        {1053, "The service did not respond to the start or control request in a timely "
               "fashion."},
        {1054, "A thread could not be created for the service."},
        {1055, "The service database is locked."},
        {1056, "An instance of the service is already running."},
        {1057, "The account name is invalid or does not exist, or the password is invalid for "
               "the account name specified."},
        {1058, "The service cannot be started, either because it is disabled or because it has "
               "no enabled devices associated with it."},
        {1059, "Circular service dependency was specified."},
        {1060, "The specified service does not exist as an installed service."},
        {1061, "The service cannot accept control messages at this time."},
        {1062, "The service has not been started."},
        {1063, "The service process could not connect to the service controller."},
        {1065, "The database specified does not exist."},
        {1066, "The service has returned a service-specific error code."},
        {1067, "The process terminated unexpectedly."},
        {1068, "The dependency service or group failed to start."},
        {1072, "The specified service has been marked for deletion."},
        {1073, "The specified service already exists."},
        {1075, "The dependency service does not exist or has been marked for deletion."},
        {1077, "No attempts to start the service have been made since the last boot."},
        {1078, "The name is already in use as either a service name or a service display "
               "name."},
        {1083, "The executable program that this service is configured to run in does not "
               "implement the service."},
        {1314, "A required privilege is not held by the client."},
        {1332, "No mapping between account names and security IDs was done."},
        {1336, "The access control list (ACL) structure is invalid."},
        {1337, "The security ID structure is invalid."},
        {1338, "The security descriptor structure is invalid."},
        {1639, "Invalid command line argument. Consult the Windows Installer SDK for detailed "
               "command line help."},
        {1702, "The binding handle is invalid."},
        {1722, "The RPC server is unavailable."},
        {1780, "A null reference pointer was passed to the stub."},
        {1071, "The specified service database lock is invalid."},
    };
    auto it = texts.find(code);
    return it == texts.end() ? "Unknown error." : it->second;
}

int Failed(const char* call, DWORD code) {
    printf("[SC] %s FAILED %lu:\n\n%s\n\n", call, static_cast<unsigned long>(code),
           ErrorText(code));
    return ExitStatus(code);
}

int UsageError(const std::string& verb, const std::string& message) {
    const Verb* v = FindVerb(verb);
    printf("svcctl: %s\n", message.c_str());
    if (v)
        printf("DESCRIPTION:\n        %s\nUSAGE:\n        %s\n", v->description, v->usage);
    return ExitStatus(ERROR_INVALID_COMMAND_LINE);
}

SC_HANDLE OpenManager(DWORD access) {
    return OpenSCManagerA(gMachine.empty() ? nullptr : gMachine.c_str(), nullptr, access);
}

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

bool Lookup(const std::map<std::string, DWORD>& table, const std::string& value, DWORD& out) {
    auto it = table.find(Lower(value));
    if (it == table.end())
        return false;
    out = it->second;
    return true;
}

bool ParseNumber(const std::string& text, DWORD& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno || *end || v > 0xFFFFFFFFull)
        return false;
    out = static_cast<DWORD>(v);
    return true;
}

const char* StateName(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED:
        return "STOPPED";
    case SERVICE_START_PENDING:
        return "START_PENDING";
    case SERVICE_STOP_PENDING:
        return "STOP_PENDING";
    case SERVICE_RUNNING:
        return "RUNNING";
    case SERVICE_CONTINUE_PENDING:
        return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
        return "PAUSE_PENDING";
    case SERVICE_PAUSED:
        return "PAUSED";
    default:
        return "UNKNOWN";
    }
}

namespace {

std::string TypeText(DWORD type) {
    std::string s;
    switch (type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS)) {
    case SERVICE_WIN32_OWN_PROCESS:
        s = "WIN32_OWN_PROCESS";
        break;
    case SERVICE_WIN32_SHARE_PROCESS:
        s = "WIN32_SHARE_PROCESS";
        break;
    case SERVICE_KERNEL_DRIVER:
        s = "KERNEL_DRIVER";
        break;
    case SERVICE_FILE_SYSTEM_DRIVER:
        s = "FILE_SYSTEM_DRIVER";
        break;
    default:
        s = "UNKNOWN";
    }
    if (type & SERVICE_INTERACTIVE_PROCESS)
        s += "  (interactive)";
    return s;
}

std::string Hex(DWORD v) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%lx", static_cast<unsigned long>(v));
    return buf;
}

} // namespace

void PrintField(const char* name, const std::string& value) {
    printf("        %-19s: %s\n", name, value.c_str());
}

void PrintStatus(const std::string& name, const SERVICE_STATUS& st, const std::string* display,
                 const SERVICE_STATUS_PROCESS* extended) {
    printf("\nSERVICE_NAME: %s\n", name.c_str());
    if (display)
        printf("DISPLAY_NAME: %s\n", display->c_str());
    char buf[64];
    snprintf(buf, sizeof buf, "%lx  ", static_cast<unsigned long>(st.dwServiceType));
    PrintField("TYPE", buf + TypeText(st.dwServiceType));
    snprintf(buf, sizeof buf, "%lu  %s", static_cast<unsigned long>(st.dwCurrentState),
             StateName(st.dwCurrentState));
    PrintField("STATE", buf);
    // sc shows the accepted controls of a service that is not stopped.
    if (st.dwCurrentState != SERVICE_STOPPED)
        printf("                                (%s, %s, %s)\n",
               st.dwControlsAccepted & SERVICE_ACCEPT_STOP ? "STOPPABLE" : "NOT_STOPPABLE",
               st.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE ? "PAUSABLE" : "NOT_PAUSABLE",
               st.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN ? "ACCEPTS_SHUTDOWN"
                                                               : "IGNORES_SHUTDOWN");
    snprintf(buf, sizeof buf, "%lu  (%s)", static_cast<unsigned long>(st.dwWin32ExitCode),
             Hex(st.dwWin32ExitCode).c_str());
    PrintField("WIN32_EXIT_CODE", buf);
    snprintf(buf, sizeof buf, "%lu  (%s)", static_cast<unsigned long>(st.dwServiceSpecificExitCode),
             Hex(st.dwServiceSpecificExitCode).c_str());
    PrintField("SERVICE_EXIT_CODE", buf);
    PrintField("CHECKPOINT", Hex(st.dwCheckPoint));
    PrintField("WAIT_HINT", Hex(st.dwWaitHint));
    if (extended) {
        PrintField("PID", std::to_string(extended->dwProcessId));
        PrintField("FLAGS", extended->dwServiceFlags & SERVICE_RUNS_IN_SYSTEM_PROCESS
                                ? "RUNS_IN_SYSTEM_PROCESS"
                                : "");
    }
}

bool ServiceNames(SC_HANDLE mgr, DWORD state, std::vector<std::string>& names, DWORD& error) {
    // Batches through the resume handle, so a list that grows between the
    // calls is still read whole.
    names.clear();
    std::vector<BYTE> buf(64 * 1024);
    DWORD resume = 0;
    for (;;) {
        DWORD needed = 0, count = 0;
        BOOL ok = EnumServicesStatusExA(mgr, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, state, buf.data(),
                                        static_cast<DWORD>(buf.size()), &needed, &count, &resume,
                                        nullptr);
        if (!ok && GetLastError() != ERROR_MORE_DATA) {
            error = GetLastError();
            return false;
        }
        auto* list = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSA*>(buf.data());
        for (DWORD i = 0; i < count; ++i)
            names.emplace_back(list[i].lpServiceName);
        if (ok)
            return true;
        if (count == 0)
            buf.resize(std::max<size_t>(needed, buf.size() * 2));
    }
}

bool EnablePrivilege(const char* name) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // A privilege the token lacks leaves ERROR_NOT_ALL_ASSIGNED behind.
    SetLastError(ERROR_SUCCESS);
    bool ok = LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid) &&
              AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr) &&
              GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

bool ParseOptions(const std::vector<std::string>& args, size_t from,
                  std::initializer_list<const char*> known, Options& out, std::string& error) {
    for (size_t i = from; i < args.size(); ++i) {
        const std::string& word = args[i];
        size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) {
            error = "unexpected argument \"" + word + "\" (options are written \"word= value\")";
            return false;
        }
        std::string key = Lower(word.substr(0, eq));
        bool ok = false;
        for (const char* k : known)
            ok |= key == k;
        if (!ok) {
            error = "unknown option \"" + word.substr(0, eq + 1) + "\"";
            return false;
        }
        std::string value;
        if (eq + 1 < word.size()) {
            value = word.substr(eq + 1);
        } else {
            if (i + 1 >= args.size()) {
                error = "option \"" + word + "\" needs a value";
                return false;
            }
            value = args[++i];
        }
        out.emplace_back(key, value);
    }
    return true;
}

namespace {

// The service and the rights a verb needs, or the failure's exit status.
struct Opened {
    Sc mgr, svc;
    int status = 0;
};

void OpenService(const std::string& name, DWORD managerAccess, DWORD access, Opened& o) {
    o.mgr.h = OpenManager(managerAccess);
    if (!o.mgr.h) {
        o.status = Failed("OpenSCManager", GetLastError());
        return;
    }
    o.svc.h = OpenServiceA(o.mgr.h, name.c_str(), access);
    if (!o.svc.h)
        o.status = Failed("OpenService", GetLastError());
}

// ---- create, config -------------------------------------------------------

struct ConfigArgs {
    DWORD type = SERVICE_NO_CHANGE, start = SERVICE_NO_CHANGE, error = SERVICE_NO_CHANGE;
    int delayed = -1; // -1: unchanged
    std::string binPath, group, deps, obj, display, password;
    bool hasBinPath = false, hasGroup = false, hasDeps = false, hasObj = false, hasDisplay = false,
         hasPassword = false, wantTag = false;
};

bool ReadConfigArgs(const Options& opts, ConfigArgs& c, std::string& error) {
    static const std::map<std::string, DWORD> types = {
        {"own", SERVICE_WIN32_OWN_PROCESS},       {"share", SERVICE_WIN32_SHARE_PROCESS},
        {"kernel", SERVICE_KERNEL_DRIVER},        {"filesys", SERVICE_FILE_SYSTEM_DRIVER},
        {"rec", SERVICE_RECOGNIZER_DRIVER},       {"adapt", SERVICE_ADAPTER},
        {"interact", SERVICE_INTERACTIVE_PROCESS}};
    static const std::map<std::string, DWORD> starts = {{"boot", SERVICE_BOOT_START},
                                                        {"system", SERVICE_SYSTEM_START},
                                                        {"auto", SERVICE_AUTO_START},
                                                        {"demand", SERVICE_DEMAND_START},
                                                        {"disabled", SERVICE_DISABLED}};
    static const std::map<std::string, DWORD> errors = {{"normal", SERVICE_ERROR_NORMAL},
                                                        {"severe", SERVICE_ERROR_SEVERE},
                                                        {"critical", SERVICE_ERROR_CRITICAL},
                                                        {"ignore", SERVICE_ERROR_IGNORE}};
    for (const auto& [key, value] : opts) {
        if (key == "type") {
            // Repeated type= words combine, as in "type= own type= interact".
            DWORD t;
            if (!Lookup(types, value, t)) {
                error = "type= must be own, share, interact, kernel, filesys, rec or adapt";
                return false;
            }
            c.type = (c.type == SERVICE_NO_CHANGE ? 0 : c.type) | t;
        } else if (key == "start") {
            if (Lower(value) == "delayed-auto") {
                c.start = SERVICE_AUTO_START;
                c.delayed = 1;
            } else if (Lookup(starts, value, c.start)) {
                c.delayed = c.start == SERVICE_AUTO_START ? 0 : -1;
            } else {
                error = "start= must be boot, system, auto, delayed-auto, demand or disabled";
                return false;
            }
        } else if (key == "error") {
            if (!Lookup(errors, value, c.error)) {
                error = "error= must be normal, severe, critical or ignore";
                return false;
            }
        } else if (key == "tag") {
            std::string v = Lower(value);
            if (v != "yes" && v != "no") {
                error = "tag= must be yes or no";
                return false;
            }
            c.wantTag = v == "yes";
        } else if (key == "binpath") {
            c.binPath = value;
            c.hasBinPath = true;
        } else if (key == "group") {
            c.group = value;
            c.hasGroup = true;
        } else if (key == "obj") {
            c.obj = value;
            c.hasObj = true;
        } else if (key == "displayname") {
            c.display = value;
            c.hasDisplay = true;
        } else if (key == "password") {
            c.password = value;
            c.hasPassword = true;
        } else if (key == "depend") {
            // "A/B" becomes the double-NUL list "A\0B\0\0".
            c.deps.clear();
            size_t start = 0;
            while (start <= value.size()) {
                size_t slash = value.find('/', start);
                std::string item = value.substr(start, slash - start);
                if (!item.empty()) {
                    c.deps += item;
                    c.deps += '\0';
                }
                if (slash == std::string::npos)
                    break;
                start = slash + 1;
            }
            c.deps += '\0';
            c.hasDeps = true;
        }
    }
    if (c.type != SERVICE_NO_CHANGE && c.type == SERVICE_INTERACTIVE_PROCESS) {
        error = "type= interact needs type= own or type= share as well";
        return false;
    }
    return true;
}

int SetDelayed(SC_HANDLE svc, int delayed) {
    if (delayed < 0)
        return 0;
    SERVICE_DELAYED_AUTO_START_INFO info{delayed ? TRUE : FALSE};
    if (!ChangeServiceConfig2A(svc, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info))
        return Failed("ChangeServiceConfig2", GetLastError());
    return 0;
}

constexpr std::initializer_list<const char*> kConfigWords = {
    "binpath", "type",   "start", "error",       "group",
    "tag",     "depend", "obj",   "displayname", "password"};

int DoCreateOrConfig(const std::string& verb, const std::vector<std::string>& args) {
    if (args.size() < 2)
        return UsageError(verb, "missing service name");
    Options opts;
    std::string error;
    ConfigArgs c;
    if (!ParseOptions(args, 2, kConfigWords, opts, error) || !ReadConfigArgs(opts, c, error))
        return UsageError(verb, error);
    const std::string& name = args[1];
    bool create = verb == "create";
    if (create && !c.hasBinPath)
        return UsageError(verb, "create needs binPath=");
    if (!create && opts.empty())
        return UsageError(verb, "nothing to change");
    DWORD tag = 0;
    if (create) {
        Sc mgr(OpenManager(SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT));
        if (!mgr.h)
            return Failed("OpenSCManager", GetLastError());
        Sc svc(CreateServiceA(
            mgr.h, name.c_str(), c.hasDisplay ? c.display.c_str() : nullptr, SERVICE_ALL_ACCESS,
            c.type == SERVICE_NO_CHANGE ? SERVICE_WIN32_OWN_PROCESS : c.type,
            c.start == SERVICE_NO_CHANGE ? SERVICE_DEMAND_START : c.start,
            c.error == SERVICE_NO_CHANGE ? SERVICE_ERROR_NORMAL : c.error, c.binPath.c_str(),
            c.hasGroup ? c.group.c_str() : nullptr, c.wantTag ? &tag : nullptr,
            c.hasDeps ? c.deps.data() : nullptr, c.hasObj ? c.obj.c_str() : nullptr,
            c.hasPassword ? c.password.c_str() : nullptr));
        if (!svc.h)
            return Failed("CreateService", GetLastError());
        if (c.delayed == 1)
            if (int st = SetDelayed(svc.h, 1))
                return st;
        printf("[SC] CreateService SUCCESS\n");
        return 0;
    }
    Opened o;
    OpenService(name, SC_MANAGER_CONNECT, SERVICE_CHANGE_CONFIG, o);
    if (o.status)
        return o.status;
    if (!ChangeServiceConfigA(
            o.svc.h, c.type, c.start, c.error, c.hasBinPath ? c.binPath.c_str() : nullptr,
            c.hasGroup ? c.group.c_str() : nullptr, c.wantTag ? &tag : nullptr,
            c.hasDeps ? c.deps.data() : nullptr, c.hasObj ? c.obj.c_str() : nullptr,
            c.hasPassword ? c.password.c_str() : nullptr,
            c.hasDisplay ? c.display.c_str() : nullptr))
        return Failed("ChangeServiceConfig", GetLastError());
    if (int st = SetDelayed(o.svc.h, c.delayed))
        return st;
    printf("[SC] ChangeServiceConfig SUCCESS\n");
    return 0;
}

int DoCreate(const std::vector<std::string>& args) {
    return DoCreateOrConfig("create", args);
}

int DoConfig(const std::vector<std::string>& args) {
    return DoCreateOrConfig("config", args);
}

// ---- queries of the configuration ------------------------------------------

// The optional buffer size argument of sc's query verbs (default: enough).
bool BufferSize(const std::vector<std::string>& args, size_t at, DWORD& size) {
    size = 64 * 1024;
    return args.size() <= at || ParseNumber(args[at], size);
}

// QueryServiceConfig2A into a buffer of the given size; 0 or the status.
int QueryConfig2(SC_HANDLE svc, DWORD level, DWORD size, std::vector<BYTE>& buf) {
    buf.assign(std::max<DWORD>(size, 1), 0);
    DWORD needed = 0;
    if (QueryServiceConfig2A(svc, level, buf.data(), size, &needed))
        return 0;
    DWORD err = GetLastError();
    int st = Failed("QueryServiceConfig2", err);
    if (err == ERROR_INSUFFICIENT_BUFFER)
        printf("[SC] GetServiceConfig2 needs %lu bytes\n", static_cast<unsigned long>(needed));
    return st;
}

int DoQc(const std::vector<std::string>& args) {
    DWORD size;
    if (args.size() < 2 || args.size() > 3 || !BufferSize(args, 2, size))
        return UsageError("qc", "expected a service name and an optional buffer size");
    Opened o;
    OpenService(args[1], SC_MANAGER_CONNECT, SERVICE_QUERY_CONFIG, o);
    if (o.status)
        return o.status;
    std::vector<unsigned char> buf(std::max<DWORD>(size, 1));
    auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data());
    DWORD needed = 0;
    if (!QueryServiceConfigA(o.svc.h, cfg, size, &needed)) {
        DWORD err = GetLastError();
        int st = Failed("QueryServiceConfig", err);
        if (err == ERROR_INSUFFICIENT_BUFFER)
            printf("[SC] GetServiceConfig needs %lu bytes\n", static_cast<unsigned long>(needed));
        return st;
    }
    bool delayed = false;
    std::vector<BYTE> info;
    DWORD infoNeeded = 0;
    info.resize(sizeof(SERVICE_DELAYED_AUTO_START_INFO));
    if (QueryServiceConfig2A(o.svc.h, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, info.data(),
                             static_cast<DWORD>(info.size()), &infoNeeded))
        delayed =
            reinterpret_cast<SERVICE_DELAYED_AUTO_START_INFO*>(info.data())->fDelayedAutostart;
    static const char* starts[] = {"BOOT_START", "SYSTEM_START", "AUTO_START", "DEMAND_START",
                                   "DISABLED"};
    static const char* errors[] = {"IGNORE", "NORMAL", "SEVERE", "CRITICAL"};
    printf("[SC] QueryServiceConfig SUCCESS\n\nSERVICE_NAME: %s\n", args[1].c_str());
    char line[64];
    snprintf(line, sizeof line, "%lx  ", static_cast<unsigned long>(cfg->dwServiceType));
    PrintField("TYPE", line + TypeText(cfg->dwServiceType));
    snprintf(line, sizeof line, "%lu   %s%s", static_cast<unsigned long>(cfg->dwStartType),
             cfg->dwStartType <= 4 ? starts[cfg->dwStartType] : "UNKNOWN",
             delayed && cfg->dwStartType == SERVICE_AUTO_START ? "  (DELAYED)" : "");
    PrintField("START_TYPE", line);
    snprintf(line, sizeof line, "%lu   %s", static_cast<unsigned long>(cfg->dwErrorControl),
             cfg->dwErrorControl <= 3 ? errors[cfg->dwErrorControl] : "UNKNOWN");
    PrintField("ERROR_CONTROL", line);
    PrintField("BINARY_PATH_NAME", cfg->lpBinaryPathName ? cfg->lpBinaryPathName : "");
    PrintField("LOAD_ORDER_GROUP", cfg->lpLoadOrderGroup ? cfg->lpLoadOrderGroup : "");
    PrintField("TAG", std::to_string(cfg->dwTagId));
    PrintField("DISPLAY_NAME", cfg->lpDisplayName ? cfg->lpDisplayName : "");
    bool first = true;
    for (const char* d = cfg->lpDependencies; d && *d; d += strlen(d) + 1) {
        if (first)
            PrintField("DEPENDENCIES", d);
        else
            printf("                           : %s\n", d);
        first = false;
    }
    if (first)
        PrintField("DEPENDENCIES", "");
    PrintField("SERVICE_START_NAME", cfg->lpServiceStartName ? cfg->lpServiceStartName : "");
    return 0;
}

int DoQDescription(const std::vector<std::string>& args) {
    DWORD size;
    if (args.size() < 2 || args.size() > 3 || !BufferSize(args, 2, size))
        return UsageError("qdescription", "expected a service name and an optional buffer size");
    Opened o;
    OpenService(args[1], SC_MANAGER_CONNECT, SERVICE_QUERY_CONFIG, o);
    if (o.status)
        return o.status;
    std::vector<BYTE> buf;
    if (int st = QueryConfig2(o.svc.h, SERVICE_CONFIG_DESCRIPTION, size, buf))
        return st;
    const char* text = reinterpret_cast<SERVICE_DESCRIPTIONA*>(buf.data())->lpDescription;
    printf("[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: %s\nDESCRIPTION:  %s\n",
           args[1].c_str(), text ? text : "");
    return 0;
}

void PrintField2(const char* name, const std::string& value) {
    printf("        %-29s: %s\n", name, value.c_str());
}

int DoQFailure(const std::vector<std::string>& args) {
    DWORD size;
    if (args.size() < 2 || args.size() > 3 || !BufferSize(args, 2, size))
        return UsageError("qfailure", "expected a service name and an optional buffer size");
    Opened o;
    OpenService(args[1], SC_MANAGER_CONNECT, SERVICE_QUERY_CONFIG, o);
    if (o.status)
        return o.status;
    std::vector<BYTE> buf;
    if (int st = QueryConfig2(o.svc.h, SERVICE_CONFIG_FAILURE_ACTIONS, size, buf))
        return st;
    auto* fa = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buf.data());
    printf("[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: %s\n", args[1].c_str());
    PrintField2("RESET_PERIOD (in seconds)",
                fa->dwResetPeriod == INFINITE ? "INFINITE" : std::to_string(fa->dwResetPeriod));
    PrintField2("REBOOT_MESSAGE", fa->lpRebootMsg ? fa->lpRebootMsg : "");
    PrintField2("COMMAND_LINE", fa->lpCommand ? fa->lpCommand : "");
    for (DWORD i = 0; i < fa->cActions; ++i) {
        static const char* names[] = {"NONE", "RESTART", "REBOOT", "RUN PROCESS"};
        DWORD t = static_cast<DWORD>(fa->lpsaActions[i].Type);
        std::string text = std::string(t <= 3 ? names[t] : "UNKNOWN") +
                           " -- Delay = " + std::to_string(fa->lpsaActions[i].Delay) +
                           " milliseconds.";
        if (i == 0)
            PrintField2("FAILURE_ACTIONS", text);
        else
            printf("%39s%s\n", "", text.c_str());
    }
    return 0;
}

int DoQFailureFlag(const std::vector<std::string>& args) {
    if (args.size() != 2)
        return UsageError("qfailureflag", "expected one service name");
    Opened o;
    OpenService(args[1], SC_MANAGER_CONNECT, SERVICE_QUERY_CONFIG, o);
    if (o.status)
        return o.status;
    std::vector<BYTE> buf;
    if (int st = QueryConfig2(o.svc.h, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
                              sizeof(SERVICE_FAILURE_ACTIONS_FLAG), buf))
        return st;
    bool on = reinterpret_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(buf.data())
                  ->fFailureActionsOnNonCrashFailures;
    printf("[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: %s\n", args[1].c_str());
    printf("        FAILURE_ACTIONS_ON_NONCRASH_FAILURES: %s\n", on ? "TRUE" : "FALSE");
    return 0;
}

// ---- optional configuration -------------------------------------------------

int ChangeConfig2(const std::string& name, DWORD access, DWORD level, void* info) {
    Opened o;
    OpenService(name, SC_MANAGER_CONNECT, access, o);
    if (o.status)
        return o.status;
    if (!ChangeServiceConfig2A(o.svc.h, level, info))
        return Failed("ChangeServiceConfig2", GetLastError());
    printf("[SC] ChangeServiceConfig2 SUCCESS\n");
    return 0;
}

int DoDescription(const std::vector<std::string>& args) {
    if (args.size() < 2)
        return UsageError("description", "expected a service name and a text");
    // The words after the name make the text, as sc joins them.
    std::string text;
    for (size_t i = 2; i < args.size(); ++i)
        text += (i > 2 ? " " : "") + args[i];
    SERVICE_DESCRIPTIONA desc{text.data()};
    return ChangeConfig2(args[1], SERVICE_CHANGE_CONFIG, SERVICE_CONFIG_DESCRIPTION, &desc);
}

int DoFailure(const std::vector<std::string>& args) {
    if (args.size() < 2)
        return UsageError("failure", "missing service name");
    Options opts;
    std::string error;
    if (!ParseOptions(args, 2, {"reset", "reboot", "command", "actions"}, opts, error))
        return UsageError("failure", error);
    if (opts.empty())
        return UsageError("failure", "nothing to change");
    SERVICE_FAILURE_ACTIONSA fa{0, nullptr, nullptr, 0, nullptr};
    std::string reboot, command;
    std::vector<SC_ACTION> actions;
    bool hasReset = false, hasActions = false, wantsReboot = false;
    for (const auto& [key, value] : opts) {
        if (key == "reset") {
            if (Lower(value) == "infinite")
                fa.dwResetPeriod = INFINITE;
            else if (!ParseNumber(value, fa.dwResetPeriod))
                return UsageError("failure", "reset= must be a number of seconds");
            hasReset = true;
        } else if (key == "reboot") {
            reboot = value;
            fa.lpRebootMsg = reboot.data();
        } else if (key == "command") {
            command = value;
            fa.lpCommand = command.data();
        } else {
            // "restart/60000/run/1000/reboot/0", or "" for no actions.
            static const std::map<std::string, DWORD> kinds = {{"none", SC_ACTION_NONE},
                                                               {"restart", SC_ACTION_RESTART},
                                                               {"reboot", SC_ACTION_REBOOT},
                                                               {"run", SC_ACTION_RUN_COMMAND}};
            actions.clear();
            std::vector<std::string> parts;
            for (size_t start = 0; !value.empty();) {
                size_t slash = value.find('/', start);
                parts.push_back(value.substr(start, slash - start));
                if (slash == std::string::npos)
                    break;
                start = slash + 1;
            }
            if (parts.size() % 2)
                return UsageError("failure", "actions= takes pairs ACTION/MILLISECONDS");
            for (size_t i = 0; i < parts.size(); i += 2) {
                DWORD kind, delay;
                if (!Lookup(kinds, parts[i], kind) || !ParseNumber(parts[i + 1], delay))
                    return UsageError("failure",
                                      "actions= takes run, restart or reboot, each with a delay");
                actions.push_back({static_cast<SC_ACTION_TYPE>(kind), delay});
                wantsReboot |= kind == SC_ACTION_REBOOT;
            }
            hasActions = true;
        }
    }
    if (hasReset != hasActions)
        return UsageError("failure", "reset= and actions= go together");
    if (hasActions) {
        fa.cActions = static_cast<DWORD>(actions.size());
        // A non-NULL array with no actions removes them.
        static SC_ACTION none{SC_ACTION_NONE, 0};
        fa.lpsaActions = actions.empty() ? &none : actions.data();
    }
    if (wantsReboot)
        EnablePrivilege(SE_SHUTDOWN_NAME);
    return ChangeConfig2(args[1], SERVICE_CHANGE_CONFIG | SERVICE_START,
                         SERVICE_CONFIG_FAILURE_ACTIONS, &fa);
}

int DoFailureFlag(const std::vector<std::string>& args) {
    DWORD flag = 0;
    if (args.size() != 3 || !ParseNumber(args[2], flag) || flag > 1)
        return UsageError("failureflag", "expected a service name and 1 or 0");
    SERVICE_FAILURE_ACTIONS_FLAG info{flag ? TRUE : FALSE};
    return ChangeConfig2(args[1], SERVICE_CHANGE_CONFIG, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
                         &info);
}

// ---- start and controls ---------------------------------------------------------

int DoStart(const std::vector<std::string>& args) {
    if (args.size() < 2)
        return UsageError("start", "missing service name");
    Opened o;
    OpenService(args[1], SC_MANAGER_CONNECT, SERVICE_START | SERVICE_QUERY_STATUS, o);
    if (o.status)
        return o.status;
    std::vector<const char*> argv;
    for (size_t i = 2; i < args.size(); ++i)
        argv.push_back(args[i].c_str());
    if (!StartServiceA(o.svc.h, static_cast<DWORD>(argv.size()), argv.data()))
        return Failed("StartService", GetLastError());
    SERVICE_STATUS_PROCESS sp{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(o.svc.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&sp),
                              sizeof sp, &needed))
        return Failed("QueryServiceStatusEx", GetLastError());
    SERVICE_STATUS st;
    memcpy(&st, &sp, sizeof st);
    PrintStatus(args[1], st, nullptr, &sp);
    return 0;
}

int Control(const std::vector<std::string>& args, DWORD code, DWORD access) {
    Opened o;
    OpenService(args[1], SC_MANAGER_CONNECT, access, o);
    if (o.status)
        return o.status;
    SERVICE_STATUS st{};
    if (!ControlService(o.svc.h, code, &st))
        return Failed("ControlService", GetLastError());
    PrintStatus(args[1], st, nullptr, nullptr);
    return 0;
}

int DoStop(const std::vector<std::string>& args) {
    if (args.size() != 2)
        return UsageError("stop", "expected one service name");
    return Control(args, SERVICE_CONTROL_STOP, SERVICE_STOP);
}

int DoPause(const std::vector<std::string>& args) {
    if (args.size() != 2)
        return UsageError("pause", "expected one service name");
    return Control(args, SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_CONTINUE);
}

int DoContinue(const std::vector<std::string>& args) {
    if (args.size() != 2)
        return UsageError("continue", "expected one service name");
    return Control(args, SERVICE_CONTROL_CONTINUE, SERVICE_PAUSE_CONTINUE);
}

int DoInterrogate(const std::vector<std::string>& args) {
    if (args.size() != 2)
        return UsageError("interrogate", "expected one service name");
    return Control(args, SERVICE_CONTROL_INTERROGATE, SERVICE_INTERROGATE);
}

int DoControl(const std::vector<std::string>& args) {
    if (args.size() != 3)
        return UsageError("control", "expected a service name and a control code");
    static const std::map<std::string, DWORD> named = {
        {"paramchange", SERVICE_CONTROL_PARAMCHANGE},
        {"netbindadd", SERVICE_CONTROL_NETBINDADD},
        {"netbindremove", SERVICE_CONTROL_NETBINDREMOVE},
        {"netbindenable", SERVICE_CONTROL_NETBINDENABLE},
        {"netbinddisable", SERVICE_CONTROL_NETBINDDISABLE}};
    DWORD code;
    if (Lookup(named, args[2], code))
        return Control(args, code, SERVICE_PAUSE_CONTINUE);
    if (!ParseNumber(args[2], code) || code < 128 || code > 255)
        return UsageError("control", "CODE must be 128-255 or a control name");
    return Control(args, code, SERVICE_USER_DEFINED_CONTROL);
}

// ---- query, queryex -----------------------------------------------------------

int Query(const std::string& verb, const std::vector<std::string>& args) {
    bool ex = verb == "queryex";
    size_t optFrom = 1;
    std::string name;
    if (args.size() >= 2 && args[1].find('=') == std::string::npos) {
        name = args[1];
        optFrom = 2;
    }
    Options opts;
    std::string error;
    if (!ParseOptions(args, optFrom, {"type", "state", "bufsize", "ri", "group"}, opts, error))
        return UsageError(verb, error);
    if (!name.empty()) {
        if (!opts.empty())
            return UsageError(verb, "the options apply to the list of all services");
        Opened o;
        OpenService(name, SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS, o);
        if (o.status)
            return o.status;
        SERVICE_STATUS_PROCESS sp{};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(o.svc.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&sp),
                                  sizeof sp, &needed))
            return Failed(ex ? "QueryServiceStatusEx" : "QueryServiceStatus", GetLastError());
        SERVICE_STATUS st;
        memcpy(&st, &sp, sizeof st);
        PrintStatus(name, st, nullptr, ex ? &sp : nullptr);
        return 0;
    }
    static const std::map<std::string, DWORD> types = {{"service", SERVICE_WIN32},
                                                       {"driver", SERVICE_DRIVER},
                                                       {"all", SERVICE_TYPE_ALL},
                                                       {"own", SERVICE_WIN32_OWN_PROCESS},
                                                       {"share", SERVICE_WIN32_SHARE_PROCESS},
                                                       {"kernel", SERVICE_KERNEL_DRIVER},
                                                       {"filesys", SERVICE_FILE_SYSTEM_DRIVER},
                                                       {"interact", SERVICE_INTERACTIVE_PROCESS}};
    static const std::map<std::string, DWORD> states = {
        {"active", SERVICE_ACTIVE}, {"inactive", SERVICE_INACTIVE}, {"all", SERVICE_STATE_ALL}};
    DWORD type = 0, state = SERVICE_ACTIVE, bufsize = 0, resume = 0;
    std::string group;
    bool hasGroup = false;
    for (const auto& [key, value] : opts) {
        DWORD v;
        if (key == "type") {
            if (!Lookup(types, value, v))
                return UsageError(verb, "type= must be service, driver, all, own, share, "
                                        "kernel, filesys or interact");
            type |= v;
        } else if (key == "state") {
            if (!Lookup(states, value, state))
                return UsageError(verb, "state= must be active, inactive or all");
        } else if (key == "bufsize") {
            if (!ParseNumber(value, bufsize))
                return UsageError(verb, "bufsize= must be a number of bytes");
        } else if (key == "ri") {
            if (!ParseNumber(value, resume))
                return UsageError(verb, "ri= must be an index");
        } else {
            group = value;
            hasGroup = true;
        }
    }
    if ((type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS)) == 0)
        type |= SERVICE_WIN32;
    Sc mgr(OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    // With bufsize= one call of that size, as sc makes; without, as many as
    // it takes.
    for (;;) {
        std::vector<BYTE> buf(bufsize ? bufsize : 64 * 1024);
        DWORD needed = 0, count = 0, from = resume;
        BOOL ok = EnumServicesStatusExA(mgr.h, SC_ENUM_PROCESS_INFO, type, state, buf.data(),
                                        static_cast<DWORD>(buf.size()), &needed, &count, &resume,
                                        hasGroup ? group.c_str() : nullptr);
        DWORD err = ok ? 0 : GetLastError();
        if (!ok && err != ERROR_MORE_DATA)
            return Failed("EnumQueryServicesStatus:OpenService", err);
        auto* list = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSA*>(buf.data());
        for (DWORD i = 0; i < count; ++i) {
            std::string display = list[i].lpDisplayName;
            SERVICE_STATUS st;
            memcpy(&st, &list[i].ServiceStatusProcess, sizeof st);
            PrintStatus(list[i].lpServiceName, st, &display,
                        ex ? &list[i].ServiceStatusProcess : nullptr);
        }
        if (ok)
            return 0;
        if (bufsize || count == 0) {
            printf("[SC] EnumQueryServicesStatus: more data, need %lu bytes start resume at "
                   "index %lu\n",
                   static_cast<unsigned long>(needed), static_cast<unsigned long>(resume));
            return ExitStatus(ERROR_MORE_DATA);
        }
        (void)from;
    }
}

int DoQuery(const std::vector<std::string>& args) {
    return Query("query", args);
}

int DoQueryEx(const std::vector<std::string>& args) {
    return Query("queryex", args);
}

// ---- names, dependents, deletion, the lock --------------------------------------

// GetServiceDisplayNameA / GetServiceKeyNameA through their size protocol.
template <class Call> bool NameCall(Call call, std::string& out) {
    DWORD chars = 256;
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::vector<char> buf(chars + 1, 0);
        DWORD size = chars;
        if (call(buf.data(), &size)) {
            out = buf.data();
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return false;
        chars = std::max(size + 1, chars * 2);
    }
    return false;
}

int DoGetName(const std::vector<std::string>& args, bool display) {
    const char* verb = display ? "getdisplayname" : "getkeyname";
    const char* call = display ? "GetServiceDisplayName" : "GetServiceKeyName";
    DWORD size;
    if (args.size() < 2 || args.size() > 3 || !BufferSize(args, 2, size))
        return UsageError(verb, "expected a name and an optional buffer size");
    Sc mgr(OpenManager(SC_MANAGER_CONNECT));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    std::string name;
    bool ok = NameCall(
        [&](char* buf, DWORD* chars) {
            return display ? GetServiceDisplayNameA(mgr.h, args[1].c_str(), buf, chars)
                           : GetServiceKeyNameA(mgr.h, args[1].c_str(), buf, chars);
        },
        name);
    if (!ok)
        return Failed(call, GetLastError());
    printf("[SC] %s SUCCESS  Name = %s\n", call, name.c_str());
    return 0;
}

int DoGetDisplayName(const std::vector<std::string>& args) {
    return DoGetName(args, true);
}

int DoGetKeyName(const std::vector<std::string>& args) {
    return DoGetName(args, false);
}

int DoEnumDepend(const std::vector<std::string>& args) {
    DWORD size;
    if (args.size() < 2 || args.size() > 3 || !BufferSize(args, 2, size))
        return UsageError("enumdepend", "expected a service name and an optional buffer size");
    Opened o;
    OpenService(args[1], SC_MANAGER_CONNECT, SERVICE_ENUMERATE_DEPENDENTS, o);
    if (o.status)
        return o.status;
    std::vector<BYTE> buf(std::max<DWORD>(size, 1));
    DWORD needed = 0, count = 0;
    if (!EnumDependentServicesA(o.svc.h, SERVICE_STATE_ALL,
                                reinterpret_cast<ENUM_SERVICE_STATUSA*>(buf.data()), size, &needed,
                                &count)) {
        DWORD err = GetLastError();
        int st = Failed("EnumDependentServices", err);
        if (err == ERROR_MORE_DATA)
            printf("[SC] EnumDependentServices: more data, need %lu bytes\n",
                   static_cast<unsigned long>(needed));
        return st;
    }
    printf("Enum: entriesRead = %lu\n", static_cast<unsigned long>(count));
    auto* list = reinterpret_cast<ENUM_SERVICE_STATUSA*>(buf.data());
    for (DWORD i = 0; i < count; ++i) {
        std::string display = list[i].lpDisplayName;
        PrintStatus(list[i].lpServiceName, list[i].ServiceStatus, &display, nullptr);
    }
    return 0;
}

int DoDelete(const std::vector<std::string>& args) {
    if (args.size() != 2)
        return UsageError("delete", "expected one service name");
    Opened o;
    OpenService(args[1], SC_MANAGER_CONNECT, DELETE, o);
    if (o.status)
        return o.status;
    if (!DeleteService(o.svc.h))
        return Failed("DeleteService", GetLastError());
    printf("[SC] DeleteService SUCCESS\n");
    return 0;
}

int DoQueryLock(const std::vector<std::string>& args) {
    if (args.size() != 1)
        return UsageError("querylock", "querylock takes no arguments");
    Sc mgr(OpenManager(SC_MANAGER_QUERY_LOCK_STATUS));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    std::vector<BYTE> buf(1024);
    DWORD needed = 0;
    auto* st = reinterpret_cast<QUERY_SERVICE_LOCK_STATUSA*>(buf.data());
    if (!QueryServiceLockStatusA(mgr.h, st, static_cast<DWORD>(buf.size()), &needed)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return Failed("QueryServiceLockStatus", GetLastError());
        buf.resize(needed);
        st = reinterpret_cast<QUERY_SERVICE_LOCK_STATUSA*>(buf.data());
        if (!QueryServiceLockStatusA(mgr.h, st, needed, &needed))
            return Failed("QueryServiceLockStatus", GetLastError());
    }
    printf("[SC] QueryServiceLockStatus - Success\n");
    printf("        IsLocked      : %s\n", st->fIsLocked ? "TRUE" : "FALSE");
    printf("        LockOwner     : %s\n", st->lpLockOwner ? st->lpLockOwner : "");
    printf("        LockDuration  : %lu (seconds since acquired)\n",
           static_cast<unsigned long>(st->dwLockDuration));
    return 0;
}

// Holds the database lock for another program's benefit (scripts and tests
// that need a database locked by a second process).
int DoLock(const std::vector<std::string>& args) {
    DWORD seconds = 0;
    if (args.size() > 2 || (args.size() == 2 && !ParseNumber(args[1], seconds)))
        return UsageError("lock", "expected at most a number of seconds");
    Sc mgr(OpenManager(SC_MANAGER_LOCK));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    SC_LOCK lock = LockServiceDatabase(mgr.h);
    if (!lock)
        return Failed("LockServiceDatabase", GetLastError());
    printf("[SC] LockServiceDatabase SUCCESS\n");
    fflush(stdout);
    if (args.size() == 2) {
        sleep(static_cast<unsigned>(seconds));
    } else {
        char buf[256];
        while (fread(buf, 1, sizeof buf, stdin) > 0) {
        }
    }
    UnlockServiceDatabase(lock);
    return 0;
}

const Verb kVerbs[] = {
    {"query", "Shows the status of a service, or lists the services.",
     "svcctl query [NAME] [type= service|driver|all|own|share|interact] "
     "[state= active|inactive|all] [bufsize= BYTES] [ri= INDEX] [group= GROUP]",
     DoQuery},
    {"queryex", "Shows the extended status (with the process id) of a service, or lists them.",
     "svcctl queryex [NAME] [type= ...] [state= ...] [bufsize= BYTES] [ri= INDEX] "
     "[group= GROUP]",
     DoQueryEx},
    {"start", "Starts a service, with optional start arguments.", "svcctl start NAME [ARGS...]",
     DoStart},
    {"pause", "Sends a PAUSE control to a service.", "svcctl pause NAME", DoPause},
    {"continue", "Sends a CONTINUE control to a service.", "svcctl continue NAME", DoContinue},
    {"interrogate", "Sends an INTERROGATE control to a service.", "svcctl interrogate NAME",
     DoInterrogate},
    {"stop", "Sends a STOP control to a service.", "svcctl stop NAME", DoStop},
    {"control", "Sends a control to a service.",
     "svcctl control NAME CODE   (CODE: 128-255, paramchange, netbindadd, netbindremove, "
     "netbindenable, netbinddisable)",
     DoControl},
    {"config", "Changes the configuration of a service (kept in the service database).",
     "svcctl config NAME [binPath= CMD] [type= own|share|interact ...] "
     "[start= auto|delayed-auto|demand|disabled] [error= normal|severe|critical|ignore] "
     "[group= GROUP] [tag= yes|no] [depend= A/B] [obj= ACCOUNT] [DisplayName= TEXT] "
     "[password= TEXT]",
     DoConfig},
    {"description", "Sets the description of a service (an empty TEXT removes it).",
     "svcctl description NAME TEXT", DoDescription},
    {"failure", "Sets what the manager does when a service fails.",
     "svcctl failure NAME [reset= SECONDS actions= ACTION/MS[/ACTION/MS...]] "
     "[reboot= MESSAGE] [command= COMMAND]   (ACTION: restart, run, reboot; actions= \"\" "
     "removes them; %1% in the command is the failure count)",
     DoFailure},
    {"failureflag", "Whether a stop with an error counts as a failure too.",
     "svcctl failureflag NAME 1|0", DoFailureFlag},
    {"sdshow", "Shows a service's security descriptor in SDDL.", "svcctl sdshow NAME", DoSdShow},
    {"sdset", "Sets a service's security descriptor from SDDL.", "svcctl sdset NAME SDDL", DoSdSet},
    {"qc", "Shows the configuration of a service.", "svcctl qc NAME [BUFSIZE]", DoQc},
    {"qdescription", "Shows the description of a service.", "svcctl qdescription NAME [BUFSIZE]",
     DoQDescription},
    {"qfailure", "Shows the failure actions of a service.", "svcctl qfailure NAME [BUFSIZE]",
     DoQFailure},
    {"qfailureflag", "Shows the failure actions flag of a service.", "svcctl qfailureflag NAME",
     DoQFailureFlag},
    {"delete", "Marks a service for deletion.", "svcctl delete NAME", DoDelete},
    {"create", "Creates a service in the service database.",
     "svcctl create NAME binPath= CMD [type= own|share|interact ...] "
     "[start= auto|delayed-auto|demand|disabled] [error= normal|severe|critical|ignore] "
     "[group= GROUP] [tag= yes|no] [depend= A/B] [obj= ACCOUNT] [DisplayName= TEXT] "
     "[password= TEXT]",
     DoCreate},
    {"getdisplayname", "Shows the display name of a service.",
     "svcctl getdisplayname NAME [BUFSIZE]", DoGetDisplayName},
    {"getkeyname", "Shows the service (key) name of a display name.",
     "svcctl getkeyname DISPLAYNAME [BUFSIZE]", DoGetKeyName},
    {"enumdepend", "Lists the services that depend on a service, in stop order.",
     "svcctl enumdepend NAME [BUFSIZE]", DoEnumDepend},
    {"querylock", "Shows the lock status of the service database.", "svcctl querylock",
     DoQueryLock},
    {"lock", "Locks the service database until SECONDS have passed or standard input ends.",
     "svcctl lock [SECONDS]", DoLock},
    {"boot",
     "Starts every automatic service in dependency order, then the delayed ones after the "
     "delay (default 120 s).",
     "svcctl boot [delay= SECONDS]", DoBoot},
    {"logs", "Shows a service's log (its standard output and error); -f follows it.",
     "svcctl logs NAME [-f] [-n LINES]", DoLogs},
    {"debug",
     "Runs a service program in this terminal as a temporary service: Ctrl-C stops it (twice: "
     "ends it), Ctrl-Z pauses, fg continues; exits with the program's status.",
     "svcctl debug [--] PROGRAM [ARGS...]", DoDebug},
};

const Verb* FindVerb(const std::string& name) {
    for (const Verb& v : kVerbs)
        if (Lower(name) == v.name)
            return &v;
    return nullptr;
}

void PrintUsage() {
    printf("svcctl: the controller of the service control manager, used like Windows' sc.\n"
           "Usage: svcctl [\\\\MACHINE] VERB [NAME] [options]   (svcctl VERB --help for "
           "details)\n\nVerbs:\n");
    for (const Verb& v : kVerbs)
        printf("  %-15s %s\n", v.name, v.description);
    printf("\nThe exit status is the Windows error code of a failure (its low 8 bits), 0 on "
           "success.\nA service's log: <state root>/logs/<name>.log, shown by svcctl logs.\n");
}

} // namespace
} // namespace svcctl

int main(int argc, char** argv) {
    using namespace svcctl;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 1 && args[0] == "--debug-attach")
        return RunDebugAttach(args);
    // sc's optional server name comes first.
    if (!args.empty() && args[0].size() > 2 && args[0].compare(0, 2, "\\\\") == 0) {
        gMachine = args[0];
        args.erase(args.begin());
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || Lower(args[0]) == "help" ||
        args[0] == "/?") {
        PrintUsage();
        return args.empty() ? ExitStatus(ERROR_INVALID_COMMAND_LINE) : 0;
    }
    const Verb* verb = FindVerb(args[0]);
    if (!verb) {
        printf("svcctl: unknown verb \"%s\" (svcctl --help lists the verbs)\n", args[0].c_str());
        return ExitStatus(ERROR_INVALID_COMMAND_LINE);
    }
    args[0] = verb->name;
    if (Lower(verb->name) != "debug" && Lower(verb->name) != "description")
        for (size_t i = 1; i < args.size(); ++i)
            if (args[i] == "--help" || args[i] == "/?") {
                printf("DESCRIPTION:\n        %s\nUSAGE:\n        %s\n", verb->description,
                       verb->usage);
                return 0;
            }
    if (args.size() == 2 && (args[1] == "--help" || args[1] == "/?")) {
        printf("DESCRIPTION:\n        %s\nUSAGE:\n        %s\n", verb->description, verb->usage);
        return 0;
    }
    return verb->run(args);
}
