// Benchmark of the service control manager, each figure beside a baseline
// measured in the same run:
//   control round trip (ControlService INTERROGATE, handler only reports)
//     vs. a bare SOCK_SEQPACKET ping-pong between two processes;
//   create + query + delete of a service per second
//     vs. create + set value + delete of a plain registry key;
//   CPU used by an idle supervisor vs. its idle service process;
//   boot (svcctl boot) of 100 AUTO_START services, some depending on others,
//   vs. starting the same 100 one by one with StartServiceA.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void Summarize(const char* what, std::vector<double>& samples) {
    std::sort(samples.begin(), samples.end());
    double median = samples[samples.size() / 2];
    double p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    printf("  %-34s median %8.1f us   p99 %8.1f us   (n=%zu)\n", what, median, p99, samples.size());
}

std::vector<double> PingPongBaseline(int rounds) {
    int sv[2];
    socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv);
    pid_t pid = fork();
    if (pid == 0) {
        close(sv[0]);
        char buf[64];
        while (recv(sv[1], buf, sizeof buf, 0) > 0)
            send(sv[1], buf, 32, 0);
        _exit(0);
    }
    close(sv[1]);
    std::vector<double> out;
    char buf[64] = {};
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        send(sv[0], buf, 32, 0);
        recv(sv[0], buf, sizeof buf, 0);
        out.push_back(Micros(Clock::now() - t0));
    }
    close(sv[0]);
    waitpid(pid, nullptr, 0);
    return out;
}

long CpuTicks(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::vector<std::string> fields;
    size_t pos = close + 2;
    while (pos < text.size()) {
        size_t sp = text.find(' ', pos);
        fields.push_back(text.substr(pos, sp - pos));
        if (sp == std::string::npos)
            break;
        pos = sp + 1;
    }
    // Fields after the name: state is [0]; utime [11], stime [12].
    return fields.size() > 12 ? atol(fields[11].c_str()) + atol(fields[12].c_str()) : -1;
}

bool WaitAll(SC_HANDLE mgr, int count, DWORD state) {
    for (int i = 0; i < count; ++i) {
        std::string name = "Boot" + std::to_string(i);
        SC_HANDLE s = OpenServiceA(mgr, name.c_str(), SERVICE_QUERY_STATUS);
        SERVICE_STATUS st{};
        bool reached = false;
        for (int k = 0; k < 3000 && !reached; ++k) {
            reached = QueryServiceStatus(s, &st) && st.dwCurrentState == state;
            if (!reached)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        CloseServiceHandle(s);
        if (!reached)
            return false;
    }
    return true;
}

void StopAll(SC_HANDLE mgr, int count) {
    for (int i = 0; i < count; ++i) {
        std::string name = "Boot" + std::to_string(i);
        SC_HANDLE s = OpenServiceA(mgr, name.c_str(), SERVICE_STOP);
        SERVICE_STATUS st;
        ControlService(s, SERVICE_CONTROL_STOP, &st);
        CloseServiceHandle(s);
    }
    WaitAll(mgr, count, SERVICE_STOPPED);
}

// Seconds for 100 AUTO_START services to run: started by svcctl boot, and,
// as the baseline, by StartServiceA one after the other. Every fifth one
// depends on the one before it.
bool BootBenchmark(SC_HANDLE mgr) {
    const int count = 100;
    for (int i = 0; i < count; ++i) {
        std::string name = "Boot" + std::to_string(i);
        std::string deps;
        if (i % 5 == 0 && i > 0)
            deps = "Boot" + std::to_string(i - 1) + '\0';
        deps += '\0';
        SC_HANDLE s =
            CreateServiceA(mgr, name.c_str(), nullptr, SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                           BENCH_SERVICE, nullptr, nullptr, deps.c_str(), nullptr, nullptr);
        if (!s) {
            fprintf(stderr, "CreateServiceA failed %lu\n",
                    static_cast<unsigned long>(GetLastError()));
            return false;
        }
        CloseServiceHandle(s);
    }
    auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::string name = "Boot" + std::to_string(i);
        SC_HANDLE s = OpenServiceA(mgr, name.c_str(), SERVICE_START);
        if (!StartServiceA(s, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
            fprintf(stderr, "StartServiceA failed %lu\n",
                    static_cast<unsigned long>(GetLastError()));
        CloseServiceHandle(s);
    }
    bool ok = WaitAll(mgr, count, SERVICE_RUNNING);
    double manual = std::chrono::duration<double>(Clock::now() - t0).count();
    StopAll(mgr, count);

    t0 = Clock::now();
    std::string cmd = std::string("'") + BENCH_SVCCTL + "' boot delay= 0 >/dev/null";
    ok = system(cmd.c_str()) == 0 && WaitAll(mgr, count, SERVICE_RUNNING) && ok;
    double boot = std::chrono::duration<double>(Clock::now() - t0).count();
    StopAll(mgr, count);
    printf("\nBoot of %d AUTO_START services%s\n", count, ok ? "" : " (some did not run)");
    printf("  %-34s %8.3f s\n", "svcctl boot", boot);
    printf("  %-34s %8.3f s   (boot / baseline %.2f)\n", "baseline: StartServiceA one by one",
           manual, manual > 0 ? boot / manual : 0.0);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 2000;
    char tmpl[] = "/tmp/scm-bench-XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    std::string root = tmpl;
    setenv("WIN32POSIX_ROOT", root.c_str(), 1);
    setenv("WIN32POSIX_SUPERVISOR", BENCH_SUPERVISOR, 1);
    printf("Service control manager benchmark (state root %s)\n", root.c_str());

    SC_HANDLE mgr = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!mgr) {
        fprintf(stderr, "OpenSCManagerA failed %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }

    // 1. Control round trip.
    SC_HANDLE svc =
        CreateServiceA(mgr, "BenchSvc", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, BENCH_SERVICE, nullptr, nullptr,
                       nullptr, nullptr, nullptr);
    if (!svc || !StartServiceA(svc, 0, nullptr)) {
        fprintf(stderr, "start failed %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    SERVICE_STATUS st{};
    for (int i = 0;
         i < 500 && (!QueryServiceStatus(svc, &st) || st.dwCurrentState != SERVICE_RUNNING); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (int i = 0; i < 50; ++i)
        ControlService(svc, SERVICE_CONTROL_INTERROGATE, &st);
    std::vector<double> control;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        if (!ControlService(svc, SERVICE_CONTROL_INTERROGATE, &st)) {
            fprintf(stderr, "ControlService failed %lu\n",
                    static_cast<unsigned long>(GetLastError()));
            return 1;
        }
        control.push_back(Micros(Clock::now() - t0));
    }
    std::vector<double> baseline = PingPongBaseline(rounds);
    printf("\nControl round trip (target: median under 1 ms)\n");
    Summarize("ControlService INTERROGATE", control);
    Summarize("baseline: socket ping-pong", baseline);

    // 3. Idle supervisor CPU (the service is running and gets no controls).
    std::string runFile;
    {
        FILE* p = popen(("ls " + root + "/scm/*.run").c_str(), "r");
        char line[512] = {};
        if (p && fgets(line, sizeof line, p))
            runFile = std::string(line, strcspn(line, "\n"));
        if (p)
            pclose(p);
    }
    long supervisor = 0;
    std::ifstream(runFile) >> supervisor;
    SERVICE_STATUS_PROCESS sp{};
    DWORD needed = 0;
    QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&sp), sizeof sp,
                         &needed);
    long supBefore = CpuTicks(supervisor), svcBefore = CpuTicks(sp.dwProcessId);
    const int idleSeconds = 5;
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    long supAfter = CpuTicks(supervisor), svcAfter = CpuTicks(sp.dwProcessId);
    printf("\nIdle CPU over %d s (clock ticks of %ld per second)\n", idleSeconds,
           sysconf(_SC_CLK_TCK));
    printf("  %-34s %ld ticks\n", "supervisor", supAfter - supBefore);
    printf("  %-34s %ld ticks\n", "baseline: the idle service process", svcAfter - svcBefore);

    ControlService(svc, SERVICE_CONTROL_STOP, &st);
    for (int i = 0;
         i < 500 && (!QueryServiceStatus(svc, &st) || st.dwCurrentState != SERVICE_STOPPED); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    DeleteService(svc);
    CloseServiceHandle(svc);

    // 2. Create, query and delete.
    const int ops = 300;
    auto t0 = Clock::now();
    for (int i = 0; i < ops; ++i) {
        std::string name = "Cqd" + std::to_string(i);
        SC_HANDLE s =
            CreateServiceA(mgr, name.c_str(), nullptr, SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           "/bin/true", nullptr, nullptr, nullptr, nullptr, nullptr);
        if (!s) {
            fprintf(stderr, "CreateServiceA failed %lu\n",
                    static_cast<unsigned long>(GetLastError()));
            return 1;
        }
        QueryServiceStatus(s, &st);
        DeleteService(s);
        CloseServiceHandle(s);
    }
    double cqd = ops / std::chrono::duration<double>(Clock::now() - t0).count();
    t0 = Clock::now();
    for (int i = 0; i < ops; ++i) {
        std::string path = "Software\\ScmBench\\Key" + std::to_string(i);
        HKEY key;
        DWORD disp;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, &disp);
        DWORD v = 1;
        RegSetValueExA(key, "Type", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), sizeof v);
        RegCloseKey(key);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    }
    double raw = ops / std::chrono::duration<double>(Clock::now() - t0).count();
    printf("\nCreate + query + delete\n");
    printf("  %-34s %8.0f per second\n", "CreateService/Query/DeleteService", cqd);
    printf("  %-34s %8.0f per second\n", "baseline: registry key create/delete", raw);

    // 4. Boot.
    bool booted = BootBenchmark(mgr);

    CloseServiceHandle(mgr);
    std::string cmd = "rm -rf '" + root + "'";
    return system(cmd.c_str()) == 0 && booted ? 0 : 1;
}
