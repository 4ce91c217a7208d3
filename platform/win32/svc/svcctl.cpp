// svcctl: the command-line controller of the service control manager, with
// the verbs, option words and output layout Windows administrators know
// from sc.exe. Exit status: 0 success, 1 a failed call, 2 a usage error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

const char* ErrorText(DWORD code) {
    static const std::map<DWORD, const char*> texts = {
        {ERROR_SUCCESS, "The operation completed successfully."},
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
        {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
        {ERROR_ACCESS_DENIED, "Access is denied."},
        {ERROR_INVALID_HANDLE, "The handle is invalid."},
        {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this "
                                  "command."},
        {ERROR_INVALID_DATA, "The data is invalid."},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
        {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
        {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is "
                             "incorrect."},
        {ERROR_INVALID_LEVEL, "The system call level is not correct."},
        {ERROR_MORE_DATA, "More data is available."},
        {ERROR_INVALID_ADDRESS, "Attempt to access invalid address."},
        {ERROR_INVALID_SERVICE_CONTROL, "The requested control is not valid for this service."},
        {ERROR_SERVICE_REQUEST_TIMEOUT, "The service did not respond to the start or control "
                                        "request in a timely fashion."},
        {ERROR_SERVICE_NO_THREAD, "A thread could not be created for the service."},
        {ERROR_SERVICE_DATABASE_LOCKED, "The service database is locked."},
        {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running."},
        {ERROR_INVALID_SERVICE_ACCOUNT, "The account name is invalid or does not exist, or the "
                                        "password is invalid for the account name specified."},
        {ERROR_SERVICE_DISABLED, "The service cannot be started, either because it is disabled "
                                 "or because it has no enabled devices associated with it."},
        {ERROR_CIRCULAR_DEPENDENCY, "Circular service dependency was specified."},
        {ERROR_SERVICE_DOES_NOT_EXIST, "The specified service does not exist as an installed "
                                       "service."},
        {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, "The service cannot accept control messages at this "
                                           "time."},
        {ERROR_SERVICE_NOT_ACTIVE, "The service has not been started."},
        {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, "The service process could not connect to the "
                                                  "service controller."},
        {ERROR_DATABASE_DOES_NOT_EXIST, "The database specified does not exist."},
        {ERROR_SERVICE_SPECIFIC_ERROR, "The service has returned a service-specific error "
                                       "code."},
        {ERROR_PROCESS_ABORTED, "The process terminated unexpectedly."},
        {ERROR_SERVICE_DEPENDENCY_FAIL, "The dependency service or group failed to start."},
        {ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion."},
        {ERROR_SERVICE_EXISTS, "The specified service already exists."},
        {ERROR_SERVICE_DEPENDENCY_DELETED, "The dependency service does not exist or has been "
                                           "marked for deletion."},
        {1077, "No attempts to start the service have been made since the last boot."},
        {ERROR_DUPLICATE_SERVICE_NAME, "The name is already in use as either a service name or "
                                       "a service display name."},
        {ERROR_INVALID_SECURITY_DESCR, "The security descriptor structure is invalid."},
        {ERROR_PRIVILEGE_NOT_HELD, "A required privilege is not held by the client."},
        {ERROR_INVALID_SERVICE_LOCK, "The specified service database lock is invalid."},
        {RPC_S_SERVER_UNAVAILABLE, "The RPC server is unavailable."},
    };
    auto it = texts.find(code);
    return it == texts.end() ? "Unknown error." : it->second;
}

int Failed(const char* call, DWORD code) {
    fprintf(stderr, "[SC] %s FAILED %lu:\n\n%s\n\n", call, static_cast<unsigned long>(code),
            ErrorText(code));
    return 1;
}

struct Verb {
    const char* name;
    const char* usage;
};

const Verb kVerbs[] = {
    {"create", "svcctl create NAME binPath= CMD [type= own|share|interact] "
               "[start= auto|demand|disabled] [error= normal|severe|critical|ignore] "
               "[group= GROUP] [tag= yes|no] [depend= A/B] [obj= ACCOUNT] "
               "[DisplayName= TEXT] [password= TEXT]\n"
               "  Creates a service entry in the service database."},
    {"config", "svcctl config NAME [binPath= CMD] [type= own|share|interact] "
               "[start= auto|demand|disabled] [error= normal|severe|critical|ignore] "
               "[group= GROUP] [tag= yes|no] [depend= A/B] [obj= ACCOUNT] "
               "[DisplayName= TEXT] [password= TEXT]\n"
               "  Changes the configuration of a service."},
    {"qc", "svcctl qc NAME\n  Shows the configuration of a service."},
    {"description", "svcctl description NAME TEXT\n  Sets the description of a service "
                    "(an empty TEXT removes it)."},
    {"start", "svcctl start NAME [ARGS...]\n  Starts a service with optional start "
              "arguments."},
    {"stop", "svcctl stop NAME\n  Sends a STOP control to a service."},
    {"pause", "svcctl pause NAME\n  Sends a PAUSE control to a service."},
    {"continue", "svcctl continue NAME\n  Sends a CONTINUE control to a service."},
    {"interrogate", "svcctl interrogate NAME\n  Sends an INTERROGATE control to a service."},
    {"control", "svcctl control NAME CODE\n  Sends a control to a service: CODE is 128-255, "
                "paramchange, netbindadd, netbindremove, netbindenable or netbinddisable."},
    {"query", "svcctl query [NAME] [state= active|inactive|all]\n  Shows the status of a "
              "service, or of all services."},
    {"delete", "svcctl delete NAME\n  Marks a service for deletion."},
    {"sdshow", "svcctl sdshow NAME\n  Shows a service's security descriptor in SDDL."},
    {"lock", "svcctl lock [SECONDS]\n  Locks the service database, prints one line once it is "
             "held, and\n  keeps it until SECONDS have passed or, without SECONDS, until "
             "standard\n  input ends."},
};

void PrintUsage(FILE* out) {
    fprintf(out, "Usage: svcctl VERB [NAME] [options]   (svcctl VERB --help for details)\n");
    for (const Verb& v : kVerbs)
        fprintf(out, "  %s\n", v.usage);
}

const char* VerbUsage(const std::string& verb) {
    for (const Verb& v : kVerbs)
        if (verb == v.name)
            return v.usage;
    return nullptr;
}

int UsageError(const std::string& verb, const std::string& message) {
    fprintf(stderr, "svcctl: %s\nUsage: %s\n", message.c_str(), VerbUsage(verb));
    return 2;
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

void PrintField(const char* name, const std::string& value) {
    printf("        %-19s: %s\n", name, value.c_str());
}

std::string Hex(DWORD v) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%lx", static_cast<unsigned long>(v));
    return buf;
}

void PrintStatus(const std::string& name, const SERVICE_STATUS& st, const std::string* display,
                 const DWORD* pid) {
    printf("\nSERVICE_NAME: %s\n", name.c_str());
    if (display)
        printf("DISPLAY_NAME: %s\n", display->c_str());
    char buf[64];
    snprintf(buf, sizeof buf, "%lx  ", static_cast<unsigned long>(st.dwServiceType));
    PrintField("TYPE", buf + TypeText(st.dwServiceType));
    snprintf(buf, sizeof buf, "%lu  %s", static_cast<unsigned long>(st.dwCurrentState),
             StateName(st.dwCurrentState));
    PrintField("STATE", buf);
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
    if (pid) {
        PrintField("PID", std::to_string(*pid));
        PrintField("FLAGS", "");
    }
}

// Handles closed on scope exit.
struct Sc {
    SC_HANDLE h = nullptr;
    Sc() = default;
    explicit Sc(SC_HANDLE x) : h(x) {}
    Sc(const Sc&) = delete;
    Sc& operator=(const Sc&) = delete;
    ~Sc() {
        if (h)
            CloseServiceHandle(h);
    }
};

// sc-style options: "word= value" (or "word=value").
bool ParseOptions(const std::string& verb, const std::vector<std::string>& args, size_t from,
                  std::map<std::string, std::string>& out, std::string& error) {
    static const char* known[] = {"binpath", "type", "start",       "error",    "group", "tag",
                                  "depend",  "obj",  "displayname", "password", "state"};
    for (size_t i = from; i < args.size(); ++i) {
        std::string word = args[i];
        size_t eq = word.find('=');
        if (eq == std::string::npos) {
            error = "unexpected argument \"" + word + "\"";
            return false;
        }
        std::string key = word.substr(0, eq);
        for (char& c : key)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
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
        bool ok = false;
        for (const char* k : known)
            ok |= key == k;
        if (!ok || (key == "state") != (verb == "query")) {
            error = "unknown option \"" + word + "\"";
            return false;
        }
        out[key] = value;
    }
    return true;
}

bool Lookup(const std::map<std::string, DWORD>& table, std::string value, DWORD& out) {
    for (char& c : value)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    auto it = table.find(value);
    if (it == table.end())
        return false;
    out = it->second;
    return true;
}

struct ConfigArgs {
    DWORD type = SERVICE_NO_CHANGE, start = SERVICE_NO_CHANGE, error = SERVICE_NO_CHANGE;
    std::string binPath, group, deps, obj, display, password;
    bool hasBinPath = false, hasGroup = false, hasDeps = false, hasObj = false, hasDisplay = false,
         hasPassword = false, wantTag = false;
};

bool ReadConfigArgs(const std::map<std::string, std::string>& opts, ConfigArgs& c,
                    std::string& error) {
    static const std::map<std::string, DWORD> types = {
        {"own", SERVICE_WIN32_OWN_PROCESS},
        {"share", SERVICE_WIN32_SHARE_PROCESS},
        {"interact", SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS}};
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
        if (key == "type" && !Lookup(types, value, c.type)) {
            error = "type= must be own, share or interact";
            return false;
        }
        if (key == "start" && !Lookup(starts, value, c.start)) {
            error = "start= must be boot, system, auto, demand or disabled";
            return false;
        }
        if (key == "error" && !Lookup(errors, value, c.error)) {
            error = "error= must be normal, severe, critical or ignore";
            return false;
        }
        if (key == "tag") {
            std::string v = value;
            for (char& ch : v)
                ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
            if (v != "yes" && v != "no") {
                error = "tag= must be yes or no";
                return false;
            }
            c.wantTag = v == "yes";
        }
        if (key == "binpath") {
            c.binPath = value;
            c.hasBinPath = true;
        }
        if (key == "group") {
            c.group = value;
            c.hasGroup = true;
        }
        if (key == "obj") {
            c.obj = value;
            c.hasObj = true;
        }
        if (key == "displayname") {
            c.display = value;
            c.hasDisplay = true;
        }
        if (key == "password") {
            c.password = value;
            c.hasPassword = true;
        }
        if (key == "depend") {
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
    return true;
}

SC_HANDLE OpenManager(DWORD access) {
    return OpenSCManagerA(nullptr, nullptr, access);
}

int DoCreateOrConfig(const std::string& verb, const std::vector<std::string>& args) {
    if (args.size() < 2)
        return UsageError(verb, "missing service name");
    std::map<std::string, std::string> opts;
    std::string error;
    ConfigArgs c;
    if (!ParseOptions(verb, args, 2, opts, error) || !ReadConfigArgs(opts, c, error))
        return UsageError(verb, error);
    const std::string& name = args[1];
    bool create = verb == "create";
    if (create && !c.hasBinPath)
        return UsageError(verb, "create needs binPath=");
    Sc mgr(
        OpenManager(create ? SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT : SC_MANAGER_CONNECT));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    DWORD tag = 0;
    if (create) {
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
        printf("[SC] CreateService SUCCESS\n");
        return 0;
    }
    Sc svc(OpenServiceA(mgr.h, name.c_str(), SERVICE_CHANGE_CONFIG));
    if (!svc.h)
        return Failed("OpenService", GetLastError());
    if (!ChangeServiceConfigA(
            svc.h, c.type, c.start, c.error, c.hasBinPath ? c.binPath.c_str() : nullptr,
            c.hasGroup ? c.group.c_str() : nullptr, c.wantTag ? &tag : nullptr,
            c.hasDeps ? c.deps.data() : nullptr, c.hasObj ? c.obj.c_str() : nullptr,
            c.hasPassword ? c.password.c_str() : nullptr,
            c.hasDisplay ? c.display.c_str() : nullptr))
        return Failed("ChangeServiceConfig", GetLastError());
    printf("[SC] ChangeServiceConfig SUCCESS\n");
    return 0;
}

int DoQc(const std::vector<std::string>& args) {
    if (args.size() != 2)
        return UsageError("qc", "expected one service name");
    Sc mgr(OpenManager(SC_MANAGER_CONNECT));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    Sc svc(OpenServiceA(mgr.h, args[1].c_str(), SERVICE_QUERY_CONFIG));
    if (!svc.h)
        return Failed("OpenService", GetLastError());
    DWORD needed = 0;
    QueryServiceConfigA(svc.h, nullptr, 0, &needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return Failed("QueryServiceConfig", GetLastError());
    std::vector<unsigned char> buf(needed);
    auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data());
    if (!QueryServiceConfigA(svc.h, cfg, needed, &needed))
        return Failed("QueryServiceConfig", GetLastError());
    static const char* starts[] = {"BOOT_START", "SYSTEM_START", "AUTO_START", "DEMAND_START",
                                   "DISABLED"};
    static const char* errors[] = {"IGNORE", "NORMAL", "SEVERE", "CRITICAL"};
    printf("[SC] QueryServiceConfig SUCCESS\n\nSERVICE_NAME: %s\n", args[1].c_str());
    char line[64];
    snprintf(line, sizeof line, "%lx  ", static_cast<unsigned long>(cfg->dwServiceType));
    PrintField("TYPE", line + TypeText(cfg->dwServiceType));
    snprintf(line, sizeof line, "%lu   %s", static_cast<unsigned long>(cfg->dwStartType),
             cfg->dwStartType <= 4 ? starts[cfg->dwStartType] : "UNKNOWN");
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

int DoDescription(const std::vector<std::string>& args) {
    if (args.size() != 3)
        return UsageError("description", "expected a service name and a text");
    Sc mgr(OpenManager(SC_MANAGER_CONNECT));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    Sc svc(OpenServiceA(mgr.h, args[1].c_str(), SERVICE_CHANGE_CONFIG));
    if (!svc.h)
        return Failed("OpenService", GetLastError());
    std::string text = args[2];
    SERVICE_DESCRIPTIONA desc{text.data()};
    if (!ChangeServiceConfig2A(svc.h, SERVICE_CONFIG_DESCRIPTION, &desc))
        return Failed("ChangeServiceConfig2", GetLastError());
    printf("[SC] ChangeServiceConfig2 SUCCESS\n");
    return 0;
}

int DoStart(const std::vector<std::string>& args) {
    if (args.size() < 2)
        return UsageError("start", "missing service name");
    Sc mgr(OpenManager(SC_MANAGER_CONNECT));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    Sc svc(OpenServiceA(mgr.h, args[1].c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
    if (!svc.h)
        return Failed("OpenService", GetLastError());
    std::vector<const char*> argv;
    for (size_t i = 2; i < args.size(); ++i)
        argv.push_back(args[i].c_str());
    if (!StartServiceA(svc.h, static_cast<DWORD>(argv.size()), argv.data()))
        return Failed("StartService", GetLastError());
    SERVICE_STATUS_PROCESS sp{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(svc.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&sp),
                              sizeof sp, &needed))
        return Failed("QueryServiceStatusEx", GetLastError());
    SERVICE_STATUS st;
    memcpy(&st, &sp, sizeof st);
    PrintStatus(args[1], st, nullptr, &sp.dwProcessId);
    return 0;
}

int DoControl(const std::string& verb, const std::vector<std::string>& args) {
    DWORD code = 0, access = 0;
    size_t expected = 2;
    if (verb == "stop") {
        code = SERVICE_CONTROL_STOP;
        access = SERVICE_STOP;
    } else if (verb == "pause" || verb == "continue") {
        code = verb == "pause" ? SERVICE_CONTROL_PAUSE : SERVICE_CONTROL_CONTINUE;
        access = SERVICE_PAUSE_CONTINUE;
    } else if (verb == "interrogate") {
        code = SERVICE_CONTROL_INTERROGATE;
        access = SERVICE_INTERROGATE;
    } else {
        expected = 3;
        if (args.size() != 3)
            return UsageError(verb, "expected a service name and a control code");
        static const std::map<std::string, DWORD> named = {
            {"paramchange", SERVICE_CONTROL_PARAMCHANGE},
            {"netbindadd", SERVICE_CONTROL_NETBINDADD},
            {"netbindremove", SERVICE_CONTROL_NETBINDREMOVE},
            {"netbindenable", SERVICE_CONTROL_NETBINDENABLE},
            {"netbinddisable", SERVICE_CONTROL_NETBINDDISABLE}};
        if (!Lookup(named, args[2], code)) {
            char* end = nullptr;
            unsigned long v = strtoul(args[2].c_str(), &end, 0);
            if (args[2].empty() || *end || v < 128 || v > 255)
                return UsageError(verb, "CODE must be 128-255 or a control name");
            code = static_cast<DWORD>(v);
            access = SERVICE_USER_DEFINED_CONTROL;
        } else {
            access = SERVICE_PAUSE_CONTINUE;
        }
    }
    if (args.size() != expected)
        return UsageError(verb, "expected one service name");
    Sc mgr(OpenManager(SC_MANAGER_CONNECT));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    Sc svc(OpenServiceA(mgr.h, args[1].c_str(), access));
    if (!svc.h)
        return Failed("OpenService", GetLastError());
    SERVICE_STATUS st{};
    if (!ControlService(svc.h, code, &st))
        return Failed("ControlService", GetLastError());
    PrintStatus(args[1], st, nullptr, nullptr);
    return 0;
}

int DoQuery(const std::vector<std::string>& args) {
    size_t optFrom = 1;
    std::string name;
    if (args.size() >= 2 && args[1].find('=') == std::string::npos) {
        name = args[1];
        optFrom = 2;
    }
    std::map<std::string, std::string> opts;
    std::string error;
    if (!ParseOptions("query", args, optFrom, opts, error))
        return UsageError("query", error);
    Sc mgr(OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    if (!name.empty()) {
        if (!opts.empty())
            return UsageError("query", "state= applies to the list of all services");
        Sc svc(OpenServiceA(mgr.h, name.c_str(), SERVICE_QUERY_STATUS));
        if (!svc.h)
            return Failed("OpenService", GetLastError());
        SERVICE_STATUS st;
        if (!QueryServiceStatus(svc.h, &st))
            return Failed("QueryService", GetLastError());
        PrintStatus(name, st, nullptr, nullptr);
        return 0;
    }
    DWORD state = SERVICE_ACTIVE;
    if (auto it = opts.find("state"); it != opts.end()) {
        static const std::map<std::string, DWORD> states = {
            {"active", SERVICE_ACTIVE}, {"inactive", SERVICE_INACTIVE}, {"all", SERVICE_STATE_ALL}};
        if (!Lookup(states, it->second, state))
            return UsageError("query", "state= must be active, inactive or all");
    }
    DWORD resume = 0;
    for (;;) {
        std::vector<unsigned char> buf(64 * 1024);
        DWORD needed = 0, count = 0;
        BOOL ok = EnumServicesStatusA(mgr.h, SERVICE_WIN32, state,
                                      reinterpret_cast<ENUM_SERVICE_STATUSA*>(buf.data()),
                                      static_cast<DWORD>(buf.size()), &needed, &count, &resume);
        DWORD err = ok ? 0 : GetLastError();
        if (!ok && err != ERROR_MORE_DATA)
            return Failed("EnumQueryServicesStatus:OpenService", err);
        auto* list = reinterpret_cast<ENUM_SERVICE_STATUSA*>(buf.data());
        for (DWORD i = 0; i < count; ++i) {
            std::string display = list[i].lpDisplayName;
            PrintStatus(list[i].lpServiceName, list[i].ServiceStatus, &display, nullptr);
        }
        if (ok)
            break;
        if (count == 0)
            return Failed("EnumQueryServicesStatus:OpenService", err);
    }
    return 0;
}

int DoDelete(const std::vector<std::string>& args) {
    if (args.size() != 2)
        return UsageError("delete", "expected one service name");
    Sc mgr(OpenManager(SC_MANAGER_CONNECT));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    Sc svc(OpenServiceA(mgr.h, args[1].c_str(), DELETE));
    if (!svc.h)
        return Failed("OpenService", GetLastError());
    if (!DeleteService(svc.h))
        return Failed("DeleteService", GetLastError());
    printf("[SC] DeleteService SUCCESS\n");
    return 0;
}

// SDDL text of a self-relative descriptor (service rights as letters).
std::string SidText(const unsigned char* sid) {
    static const std::map<std::string, const char*> aliases = {
        {"S-1-5-18", "SY"}, {"S-1-5-32-544", "BA"}, {"S-1-5-4", "IU"},      {"S-1-5-6", "SU"},
        {"S-1-5-11", "AU"}, {"S-1-1-0", "WD"},      {"S-1-5-32-545", "BU"}, {"S-1-5-19", "LS"},
        {"S-1-5-20", "NS"}, {"S-1-3-0", "CO"}};
    std::string s = "S-" + std::to_string(sid[0]) + "-";
    uint64_t auth = 0;
    for (int i = 2; i < 8; ++i)
        auth = (auth << 8) | sid[i];
    s += std::to_string(auth);
    for (int i = 0; i < sid[1]; ++i) {
        DWORD sub;
        memcpy(&sub, sid + 8 + 4 * i, 4);
        s += "-" + std::to_string(sub);
    }
    auto it = aliases.find(s);
    return it == aliases.end() ? s : it->second;
}

std::string MaskText(DWORD mask) {
    static const std::pair<DWORD, const char*> rights[] = {{SERVICE_QUERY_CONFIG, "CC"},
                                                           {SERVICE_CHANGE_CONFIG, "DC"},
                                                           {SERVICE_QUERY_STATUS, "LC"},
                                                           {SERVICE_ENUMERATE_DEPENDENTS, "SW"},
                                                           {SERVICE_START, "RP"},
                                                           {SERVICE_STOP, "WP"},
                                                           {SERVICE_PAUSE_CONTINUE, "DT"},
                                                           {SERVICE_INTERROGATE, "LO"},
                                                           {SERVICE_USER_DEFINED_CONTROL, "CR"},
                                                           {DELETE, "SD"},
                                                           {READ_CONTROL, "RC"},
                                                           {WRITE_DAC, "WD"},
                                                           {WRITE_OWNER, "WO"},
                                                           {GENERIC_ALL, "GA"},
                                                           {GENERIC_READ, "GR"},
                                                           {GENERIC_WRITE, "GW"},
                                                           {GENERIC_EXECUTE, "GX"}};
    std::string s;
    DWORD rest = mask;
    for (const auto& [bit, text] : rights)
        if (mask & bit) {
            s += text;
            rest &= ~bit;
        }
    return rest ? Hex(mask) : s;
}

std::string AclText(const unsigned char* acl, bool audit) {
    std::string s;
    WORD count;
    memcpy(&count, acl + 4, 2);
    size_t off = 8;
    for (WORD i = 0; i < count; ++i) {
        const unsigned char* ace = acl + off;
        WORD size;
        memcpy(&size, ace + 2, 2);
        DWORD mask;
        memcpy(&mask, ace + 4, 4);
        std::string type = ace[0] == ACCESS_ALLOWED_ACE_TYPE  ? "A"
                           : ace[0] == ACCESS_DENIED_ACE_TYPE ? "D"
                           : ace[0] == SYSTEM_AUDIT_ACE_TYPE  ? "AU"
                                                              : Hex(ace[0]);
        std::string flags;
        if (ace[1] & OBJECT_INHERIT_ACE)
            flags += "OI";
        if (ace[1] & CONTAINER_INHERIT_ACE)
            flags += "CI";
        if (ace[1] & NO_PROPAGATE_INHERIT_ACE)
            flags += "NP";
        if (ace[1] & INHERIT_ONLY_ACE)
            flags += "IO";
        if (ace[1] & INHERITED_ACE)
            flags += "ID";
        if (audit && (ace[1] & SUCCESSFUL_ACCESS_ACE_FLAG))
            flags += "SA";
        if (audit && (ace[1] & FAILED_ACCESS_ACE_FLAG))
            flags += "FA";
        s += "(" + type + ";" + flags + ";" + MaskText(mask) + ";;;" + SidText(ace + 8) + ")";
        off += size;
    }
    return s;
}

int DoSdShow(const std::vector<std::string>& args) {
    if (args.size() != 2)
        return UsageError("sdshow", "expected one service name");
    Sc mgr(OpenManager(SC_MANAGER_CONNECT));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    // The SACL too when SeSecurityPrivilege can be enabled, as sc does.
    DWORD info = DACL_SECURITY_INFORMATION;
    Sc svc(nullptr);
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        TOKEN_PRIVILEGES tp{};
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueA(nullptr, SE_SECURITY_NAME, &tp.Privileges[0].Luid) &&
            AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr))
            svc.h = OpenServiceA(mgr.h, args[1].c_str(), READ_CONTROL | ACCESS_SYSTEM_SECURITY);
        CloseHandle(token);
    }
    if (svc.h)
        info |= SACL_SECURITY_INFORMATION;
    else
        svc.h = OpenServiceA(mgr.h, args[1].c_str(), READ_CONTROL);
    if (!svc.h)
        return Failed("OpenService", GetLastError());
    DWORD needed = 0;
    QueryServiceObjectSecurity(svc.h, info, nullptr, 0, &needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return Failed("QueryServiceObjectSecurity", GetLastError());
    std::vector<unsigned char> sd(needed);
    if (!QueryServiceObjectSecurity(svc.h, info, sd.data(), needed, &needed))
        return Failed("QueryServiceObjectSecurity", GetLastError());
    DWORD offs[4];
    memcpy(offs, sd.data() + 4, 16);
    std::string text;
    if (offs[3])
        text += "D:" + AclText(sd.data() + offs[3], false);
    if (offs[2])
        text += "S:" + AclText(sd.data() + offs[2], true);
    printf("\n%s\n", text.c_str());
    return 0;
}

// Holds the database lock for another program's benefit (scripts and tests
// that need a database locked by a second process).
int DoLock(const std::vector<std::string>& args) {
    if (args.size() > 2)
        return UsageError("lock", "expected at most a number of seconds");
    long seconds = -1;
    if (args.size() == 2) {
        char* end = nullptr;
        seconds = strtol(args[1].c_str(), &end, 10);
        if (args[1].empty() || *end != '\0' || seconds < 0)
            return UsageError("lock", "SECONDS must be a whole number");
    }
    Sc mgr(OpenManager(SC_MANAGER_LOCK));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    SC_LOCK lock = LockServiceDatabase(mgr.h);
    if (!lock)
        return Failed("LockServiceDatabase", GetLastError());
    printf("[SC] LockServiceDatabase SUCCESS\n");
    fflush(stdout);
    if (seconds >= 0) {
        sleep(static_cast<unsigned>(seconds));
    } else {
        char buf[256];
        while (fread(buf, 1, sizeof buf, stdin) > 0) {
        }
    }
    UnlockServiceDatabase(lock);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        PrintUsage(args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    std::string verb = args[0];
    if (!VerbUsage(verb)) {
        fprintf(stderr, "svcctl: unknown verb \"%s\"\n", verb.c_str());
        PrintUsage(stderr);
        return 2;
    }
    for (size_t i = 1; i < args.size(); ++i)
        if (args[i] == "--help") {
            printf("Usage: %s\n", VerbUsage(verb));
            return 0;
        }
    if (verb == "create" || verb == "config")
        return DoCreateOrConfig(verb, args);
    if (verb == "qc")
        return DoQc(args);
    if (verb == "description")
        return DoDescription(args);
    if (verb == "start")
        return DoStart(args);
    if (verb == "stop" || verb == "pause" || verb == "continue" || verb == "interrogate" ||
        verb == "control")
        return DoControl(verb, args);
    if (verb == "query")
        return DoQuery(args);
    if (verb == "delete")
        return DoDelete(args);
    if (verb == "lock")
        return DoLock(args);
    return DoSdShow(args);
}
