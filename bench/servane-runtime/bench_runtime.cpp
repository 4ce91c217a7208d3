// Benchmark of the Win32::Servane service runtime (not a test: prints
// figures). Perl service scripts run under the Windows layer's service
// control manager, in a state root of the benchmark's own.
//
//  1. ControlService(INTERROGATE) to the entry of a callback-mode script's
//     "interrogate" callback: median and 99th percentile (target: median
//     under 2 ms). Baseline: the time ControlService itself takes, which the
//     handler's own report ends.
//  2. CPU of an idle callback-mode service (5 s timer) over 10 s (target:
//     under 1% of one core), and of a polling service that sleeps 100 ms
//     between polls against the same loop in a plain perl without the
//     library (target: no difference of the library's own).
//  3. StopService: with SERVICE_STOPPED already reported (target: 0.3 s) and
//     with the dispatcher still waiting (target: 1.6 s). Baseline:
//     StopService in a plain perl process that started no service.
//
// Usage: bench_servane_runtime [samples]   (default 200)
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kBlib = SERVANE_BLIB;
const std::string kPerl = PERL_PATH;
std::string gRoot;

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

double Pct(std::vector<int64_t> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return static_cast<double>(v[i]) / 1e6;
}

std::string WriteScript(const std::string& file, const std::string& code) {
    std::string path = gRoot + "/" + file;
    std::ofstream(path) << code;
    return path;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// Waits until the file has at least n complete lines.
bool WaitLines(const std::string& path, size_t n, int timeoutMs) {
    int64_t end = NowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
    while (NowNs() < end) {
        if (ReadLines(path).size() >= n)
            return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

// CPU time (user + system) of a process, in seconds.
double ProcessCpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

pid_t Spawn(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

struct Service {
    SC_HANDLE manager = nullptr;
    SC_HANDLE handle = nullptr;
    std::string name;

    bool Install(const std::string& serviceName, const std::string& script,
                 const std::string& log) {
        name = serviceName;
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        std::string cmd = kPerl + " -I" + kBlib + " " + script + " " + log;
        handle =
            CreateServiceA(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           cmd.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        return handle != nullptr;
    }
    DWORD State() {
        SERVICE_STATUS st{};
        return QueryServiceStatus(handle, &st) ? st.dwCurrentState : 0;
    }
    bool WaitState(DWORD state, int timeoutMs) {
        int64_t end = NowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
        while (NowNs() < end) {
            if (State() == state)
                return true;
            SleepMs(5);
        }
        return false;
    }
    bool Start() { return StartServiceA(handle, 0, nullptr) && WaitState(SERVICE_RUNNING, 20000); }
    pid_t Pid() {
        SERVICE_STATUS_PROCESS st{};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&st),
                                  sizeof st, &needed))
            return 0;
        return static_cast<pid_t>(st.dwProcessId);
    }
    void Stop() {
        SERVICE_STATUS st{};
        ControlService(handle, SERVICE_CONTROL_STOP, &st);
        WaitState(SERVICE_STOPPED, 20000);
    }
    ~Service() {
        if (handle) {
            DeleteService(handle);
            CloseServiceHandle(handle);
        }
        if (manager)
            CloseServiceHandle(manager);
    }
};

const char kCallbackScript[] = R"(use strict; use warnings; use IO::Handle;
use Time::HiRes qw(clock_gettime CLOCK_MONOTONIC);
use Win32::Servane;
open my $fh, '>>', $ARGV[0] or die; $fh->autoflush(1);
Win32::Servane::RegisterCallbacks({
    interrogate => sub { printf $fh "%.0f\n", clock_gettime(CLOCK_MONOTONIC) * 1e9; return },
    start => sub { SERVICE_RUNNING },
    timer => sub { return },
    stop => sub {
        Win32::Servane::State(SERVICE_STOPPED);
        my $t = clock_gettime(CLOCK_MONOTONIC);
        Win32::Servane::StopService();
        printf $fh "stop %.6f\n", clock_gettime(CLOCK_MONOTONIC) - $t;
        return;
    },
});
Win32::Servane::StartService(undef, 5000);
)";

const char kPollingScript[] = R"(use strict; use warnings; use IO::Handle;
use Time::HiRes qw(sleep clock_gettime CLOCK_MONOTONIC);
use Win32::Servane;
open my $fh, '>>', $ARGV[0] or die; $fh->autoflush(1);
my $hang = ($ARGV[1] // '') eq 'hang';
Win32::Servane::StartService();
sleep 0.01 while Win32::Servane::State() == 0;
Win32::Servane::State(SERVICE_RUNNING);
while (1) {
    my $m = Win32::Servane::QueryLastMessage();
    if ($m == SERVICE_CONTROL_STOP) {
        Win32::Servane::State(SERVICE_STOPPED) unless $hang;
        my $t = clock_gettime(CLOCK_MONOTONIC);
        Win32::Servane::StopService();
        printf $fh "stop %.6f\n", clock_gettime(CLOCK_MONOTONIC) - $t;
        last;
    }
    sleep 0.1;
}
)";

// The same loop without the library: the baseline of the polling service.
const char kPlainLoop[] = R"(use strict; use warnings; use Time::HiRes qw(sleep);
my $m = -1; my $end = time + 60;
while (time < $end) { $m = -1; sleep 0.1; }
)";

double StopSeconds(const std::string& log) {
    for (const auto& line : ReadLines(log))
        if (line.rfind("stop ", 0) == 0)
            return std::stod(line.substr(5));
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    int samples = argc > 1 ? std::atoi(argv[1]) : 200;
    char pattern[] = "/tmp/servane-bench-XXXXXX";
    if (!mkdtemp(pattern)) {
        perror("mkdtemp");
        return 1;
    }
    gRoot = pattern;
    setenv("WIN32POSIX_ROOT", pattern, 1);
    printf("Win32::Servane service runtime benchmark (state root %s)\n\n", pattern);

    // 1. Control to callback.
    std::string callbackScript = WriteScript("callbacks.pl", kCallbackScript);
    std::string callbackLog = gRoot + "/callbacks.log";
    {
        Service svc;
        if (!svc.Install("BenchCallbacks", callbackScript, callbackLog) || !svc.Start()) {
            fprintf(stderr, "the callback service did not start (see %s/logs)\n", pattern);
            return 1;
        }
        std::vector<int64_t> latency, baseline;
        for (int i = 0; i < samples; ++i) {
            SERVICE_STATUS st{};
            int64_t t0 = NowNs();
            BOOL sent = ControlService(svc.handle, SERVICE_CONTROL_INTERROGATE, &st);
            int64_t t1 = NowNs();
            if (!sent || !WaitLines(callbackLog, static_cast<size_t>(i) + 1, 5000)) {
                fprintf(stderr, "control %d got no callback\n", i);
                break;
            }
            int64_t entry = std::stoll(ReadLines(callbackLog)[static_cast<size_t>(i)]);
            latency.push_back(entry - t0);
            baseline.push_back(t1 - t0);
            SleepMs(2);
        }
        printf("1. ControlService -> callback entry (%zu samples)\n", latency.size());
        printf(
            "   callback entry:          median %7.3f ms   p99 %7.3f ms   (target median < 2 ms)\n",
            Pct(latency, 0.5), Pct(latency, 0.99));
        printf("   baseline ControlService: median %7.3f ms   p99 %7.3f ms\n\n", Pct(baseline, 0.5),
               Pct(baseline, 0.99));

        // 2a. Idle callback service against an idle plain perl, side by side.
        pid_t pid = svc.Pid();
        pid_t idle = Spawn({kPerl, "-e", "sleep 12"});
        SleepMs(500);
        double c0 = ProcessCpu(pid), b0 = ProcessCpu(idle);
        SleepMs(10000);
        double c1 = ProcessCpu(pid), b1 = ProcessCpu(idle);
        kill(idle, SIGKILL);
        waitpid(idle, nullptr, 0);
        printf("2. CPU over 10 s\n");
        printf(
            "   idle callback service (5 s timer): %6.3f s = %5.2f%% of a core   (target < 1%%)\n",
            c1 - c0, (c1 - c0) * 10);
        printf("   baseline idle perl:                %6.3f s = %5.2f%% of a core\n", b1 - b0,
               (b1 - b0) * 10);
        svc.Stop();
        // The script logs after StopService returns, which is after STOPPED.
        for (int i = 0; i < 500 && StopSeconds(callbackLog) < 0; ++i)
            SleepMs(10);
    }
    double stopAfterStopped = StopSeconds(callbackLog);

    // 2b. Polling service against the same loop without the library.
    std::string pollScript = WriteScript("polling.pl", kPollingScript);
    std::string plainScript = WriteScript("plain.pl", kPlainLoop);
    {
        Service svc;
        std::string log = gRoot + "/polling.log";
        if (!svc.Install("BenchPolling", pollScript, log) || !svc.Start()) {
            fprintf(stderr, "the polling service did not start\n");
            return 1;
        }
        pid_t pid = svc.Pid();
        pid_t plain = Spawn({kPerl, plainScript});
        SleepMs(500);
        double c0 = ProcessCpu(pid), b0 = ProcessCpu(plain);
        SleepMs(10000);
        double c1 = ProcessCpu(pid), b1 = ProcessCpu(plain);
        kill(plain, SIGKILL);
        waitpid(plain, nullptr, 0);
        printf("   polling service (100 ms sleeps):   %6.3f s = %5.2f%% of a core\n", c1 - c0,
               (c1 - c0) * 10);
        printf("   baseline plain perl, same loop:    %6.3f s = %5.2f%% of a core\n\n", b1 - b0,
               (b1 - b0) * 10);
        svc.Stop();
    }

    // 3. StopService.
    double stopHung = -1;
    {
        Service svc;
        std::string log = gRoot + "/hang.log";
        if (svc.Install("BenchHang", pollScript, log + " hang") && svc.Start()) {
            svc.Stop();
            for (int i = 0; i < 500 && StopSeconds(log) < 0; ++i)
                SleepMs(10);
            stopHung = StopSeconds(log);
        }
    }
    std::string baseLog = gRoot + "/plainstop.log";
    std::string baseScript =
        WriteScript("plainstop.pl", "use Win32::Servane; use Time::HiRes qw(time); my $t = time; "
                                    "Win32::Servane::StopService(); open my $f, '>', $ARGV[0]; "
                                    "printf $f \"stop %.6f\\n\", time - $t;\n");
    pid_t base = Spawn({kPerl, "-I" + kBlib, baseScript, baseLog});
    waitpid(base, nullptr, 0);
    printf("3. StopService\n");
    printf("   after SERVICE_STOPPED was reported: %6.3f s   (target < 0.3 s)\n", stopAfterStopped);
    printf("   with the dispatcher still waiting:  %6.3f s   (target < 1.6 s)\n", stopHung);
    printf("   baseline, no service started:       %6.3f s\n", StopSeconds(baseLog));

    std::error_code ignored;
    std::filesystem::remove_all(gRoot, ignored);
    return 0;
}
