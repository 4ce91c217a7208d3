// svcctl boot: what Windows' manager does at system start. Every
// AUTO_START service starts, a service only after the services it depends
// on have left START_PENDING; then, after the delay, the delayed auto-start
// services, one at a time in the same order. The failure counts start
// again from zero, as they count failures since the system started.
#include "svcctl.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>

namespace svcctl {
namespace {

struct BootService {
    std::string name;
    std::vector<std::string> deps; // services only, lower case
    bool delayed = false;
    DWORD result = 0;
    bool tried = false;
};

DWORD WaitLimitMs() {
    if (const char* env = getenv("WIN32POSIX_SCM_TIMEOUT_MS"); env && *env) {
        DWORD v;
        if (ParseNumber(env, v) && v > 0)
            return v;
    }
    return 30000;
}

SERVICE_STATUS StatusOf(SC_HANDLE mgr, const std::string& name) {
    SERVICE_STATUS st{};
    st.dwCurrentState = SERVICE_STOPPED;
    Sc svc(OpenServiceA(mgr, name.c_str(), SERVICE_QUERY_STATUS));
    if (svc.h)
        QueryServiceStatus(svc.h, &st);
    return st;
}

// Until the service leaves START_PENDING (or the limit passes).
DWORD SettledState(SC_HANDLE mgr, const std::string& name) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitLimitMs());
    for (;;) {
        DWORD state = StatusOf(mgr, name).dwCurrentState;
        if (state != SERVICE_START_PENDING || std::chrono::steady_clock::now() >= end)
            return state;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ResetFailureCount(const std::string& name) {
    HKEY key;
    std::string path = "System\\CurrentControlSet\\Services\\" + name;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, "FailureCount");
    RegDeleteValueA(key, "FailureTime");
    RegCloseKey(key);
}

// The automatic services with their dependencies, in name order.
bool ReadServices(SC_HANDLE mgr, std::vector<BootService>& out, DWORD& error) {
    std::vector<std::string> names;
    if (!ServiceNames(mgr, SERVICE_STATE_ALL, names, error))
        return false;
    for (const std::string& name : names) {
        ResetFailureCount(name);
        Sc svc(OpenServiceA(mgr, name.c_str(), SERVICE_QUERY_CONFIG));
        if (!svc.h)
            continue;
        DWORD size = 0;
        QueryServiceConfigA(svc.h, nullptr, 0, &size);
        std::vector<BYTE> cfgBuf(size ? size : 1);
        auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(cfgBuf.data());
        if (!QueryServiceConfigA(svc.h, cfg, size, &size) || cfg->dwStartType != SERVICE_AUTO_START)
            continue;
        BootService b;
        b.name = name;
        for (const char* d = cfg->lpDependencies; d && *d; d += strlen(d) + 1)
            if (*d != SC_GROUP_IDENTIFIERA)
                b.deps.push_back(Lower(d));
        SERVICE_DELAYED_AUTO_START_INFO delayed{};
        if (QueryServiceConfig2A(svc.h, SERVICE_CONFIG_DELAYED_AUTO_START_INFO,
                                 reinterpret_cast<BYTE*>(&delayed), sizeof delayed, &size))
            b.delayed = delayed.fDelayedAutostart != 0;
        out.push_back(std::move(b));
    }
    return true;
}

class Boot {
public:
    Boot(SC_HANDLE mgr, std::vector<BootService>& services) : mgr_(mgr), services_(services) {}

    // Starts the services of one phase, each after its dependencies.
    void Phase(bool delayed) {
        for (BootService& s : services_)
            if (s.delayed == delayed)
                Start(s, 0);
    }
    DWORD FirstError() const { return firstError_; }

private:
    BootService* Find(const std::string& lowerName) {
        for (BootService& s : services_)
            if (Lower(s.name) == lowerName)
                return &s;
        return nullptr;
    }

    void Report(BootService& s, DWORD result) {
        s.result = result;
        if (result == 0) {
            printf("[SC] StartService SUCCESS  Name = %s\n", s.name.c_str());
        } else {
            printf("[SC] StartService FAILED %lu  Name = %s: %s\n",
                   static_cast<unsigned long>(result), s.name.c_str(), ErrorText(result));
            if (!firstError_)
                firstError_ = result;
        }
        fflush(stdout);
    }

    void Start(BootService& s, int depth) {
        if (s.tried)
            return;
        if (depth > 64) {
            s.tried = true;
            Report(s, ERROR_CIRCULAR_DEPENDENCY);
            return;
        }
        // Automatic dependencies of this phase first (a dependency that is
        // not automatic is started by StartServiceA itself).
        for (const std::string& d : s.deps) {
            BootService* dep = Find(d);
            if (!dep || dep->delayed != s.delayed)
                continue;
            Start(*dep, depth + 1);
        }
        if (s.tried)
            return; // reached again through a dependency cycle
        s.tried = true;
        for (const std::string& d : s.deps) {
            BootService* dep = Find(d);
            if (!dep || !dep->tried)
                continue;
            if (dep->result || SettledState(mgr_, dep->name) != SERVICE_RUNNING) {
                Report(s, ERROR_SERVICE_DEPENDENCY_FAIL);
                return;
            }
        }
        Sc svc(OpenServiceA(mgr_, s.name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
        if (!svc.h) {
            Report(s, GetLastError());
            return;
        }
        if (StartServiceA(svc.h, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING)
            Report(s, 0);
        else
            Report(s, GetLastError());
    }

    SC_HANDLE mgr_;
    std::vector<BootService>& services_;
    DWORD firstError_ = 0;
};

} // namespace

int DoBoot(const std::vector<std::string>& args) {
    // sc's "boot ok|bad" saves or refuses the last-known-good configuration,
    // which this manager does not keep.
    if (args.size() == 2 && (Lower(args[1]) == "ok" || Lower(args[1]) == "bad"))
        return Failed("NotifyBootConfigStatus", ERROR_NOT_SUPPORTED);
    Options opts;
    std::string error;
    if (!ParseOptions(args, 1, {"delay"}, opts, error))
        return UsageError("boot", error);
    DWORD delay = 120; // Windows' delay before the delayed auto-start services
    for (const auto& [key, value] : opts)
        if (!ParseNumber(value, delay))
            return UsageError("boot", "delay= must be a number of seconds");
    Sc mgr(OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    std::vector<BootService> services;
    DWORD err = 0;
    if (!ReadServices(mgr.h, services, err))
        return Failed("EnumServicesStatusEx", err);
    size_t delayedCount = 0;
    for (const BootService& s : services)
        delayedCount += s.delayed;
    printf("[SC] Boot: %zu automatic services, %zu of them delayed\n", services.size(),
           delayedCount);
    fflush(stdout);
    Boot boot(mgr.h, services);
    boot.Phase(false);
    if (delayedCount) {
        printf("[SC] Boot: the delayed services start in %lu seconds\n",
               static_cast<unsigned long>(delay));
        fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(delay));
        boot.Phase(true);
    }
    return ExitStatus(boot.FirstError());
}

} // namespace svcctl
