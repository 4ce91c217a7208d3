// One administration cycle (create with a description and a dependency,
// query with the description, reconfigure with a new description, delete),
// run in rounds alternately as Windows calls from C++ and through
// Win32::Servane from Perl, each on a fresh state root. Prints cycles per
// second of both, and the Perl API's cost on top of the C++ cycle.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char kKeyPrefix[] = "System\\CurrentControlSet\\Services\\";

// The steps Win32::Servane takes for each call, made directly.
void SetDescription(const std::string& name, const char* text) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kKeyPrefix + name).c_str(), 0, KEY_SET_VALUE, &key) ==
        ERROR_SUCCESS) {
        RegSetValueExA(key, "Description", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                       DWORD(strlen(text) + 1));
        RegCloseKey(key);
    }
}

bool Create(const std::string& name) {
    SC_HANDLE manager = OpenSCManagerA("", "ServicesActive", SC_MANAGER_ALL_ACCESS);
    SC_LOCK lock = manager ? LockServiceDatabase(manager) : nullptr;
    bool ok = false;
    if (lock) {
        SC_HANDLE service = CreateServiceA(
            manager, name.c_str(), "Bench service", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
            SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, "\"C:\\Program Files\\bench.exe\" -x",
            nullptr, nullptr, "Tcpip\0", nullptr, nullptr);
        if (service) {
            SetDescription(name, "A benchmark service");
            CloseServiceHandle(service);
            ok = true;
        }
        UnlockServiceDatabase(lock);
    }
    if (manager)
        CloseServiceHandle(manager);
    return ok;
}

bool Query(const std::string& name) {
    SC_HANDLE manager = OpenSCManagerA("", "ServicesActive", GENERIC_READ | SC_MANAGER_LOCK);
    SC_LOCK lock = manager ? LockServiceDatabase(manager) : nullptr;
    bool ok = false;
    if (lock) {
        if (SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_CONFIG)) {
            DWORD needed = 0;
            QueryServiceConfigA(service, nullptr, 0, &needed);
            std::vector<BYTE> block(needed);
            auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(block.data());
            ok = QueryServiceConfigA(service, config, needed, &needed) &&
                 config->lpBinaryPathName != nullptr;
            HKEY key = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kKeyPrefix + name).c_str(), 0, KEY_QUERY_VALUE,
                              &key) == ERROR_SUCCESS) {
                char text[1024];
                DWORD type = 0, size = sizeof text;
                RegQueryValueExA(key, "Description", nullptr, &type, reinterpret_cast<BYTE*>(text),
                                 &size);
                RegCloseKey(key);
            }
            CloseServiceHandle(service);
        }
        UnlockServiceDatabase(lock);
    }
    if (manager)
        CloseServiceHandle(manager);
    return ok;
}

bool Configure(const std::string& name) {
    SC_HANDLE manager = OpenSCManagerA("", "ServicesActive", SC_MANAGER_ALL_ACCESS);
    SC_LOCK lock = manager ? LockServiceDatabase(manager) : nullptr;
    bool ok = false;
    if (lock) {
        if (SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_CHANGE_CONFIG)) {
            ok = ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_DISABLED,
                                      SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr);
            if (ok)
                SetDescription(name, "Changed");
            CloseServiceHandle(service);
        }
        UnlockServiceDatabase(lock);
    }
    if (manager)
        CloseServiceHandle(manager);
    return ok;
}

bool Delete(const std::string& name) {
    SC_HANDLE manager = OpenSCManagerA("", "ServicesActive", SC_MANAGER_ALL_ACCESS);
    SC_LOCK lock = manager ? LockServiceDatabase(manager) : nullptr;
    bool ok = false;
    if (lock) {
        if (SC_HANDLE service = OpenServiceA(manager, name.c_str(), DELETE)) {
            ok = DeleteService(service);
            CloseServiceHandle(service);
        }
        UnlockServiceDatabase(lock);
    }
    if (manager)
        CloseServiceHandle(manager);
    return ok;
}

// Seconds for the C++ round.
double CxxRound(int cycles, int round) {
    auto start = Clock::now();
    for (int i = 0; i < cycles; ++i) {
        std::string name = "BenchC" + std::to_string(round) + "_" + std::to_string(i);
        if (!Create(name) || !Query(name) || !Configure(name) || !Delete(name)) {
            std::fprintf(stderr, "C++ cycle %d failed: %u\n", i, GetLastError());
            std::exit(1);
        }
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

const char kPerlCycle[] = R"PERL(
use strict; use warnings;
use Time::HiRes qw(time);
use Win32::Servane;
my ($cycles, $round) = @ARGV;
my $start = time;
for my $i (0 .. $cycles - 1) {
    my $name = "BenchP${round}_$i";
    Win32::Servane::CreateService({ name => $name, display => 'Bench service',
        path => 'C:\\Program Files\\bench.exe', parameters => '-x',
        start_type => SERVICE_DEMAND_START, description => 'A benchmark service',
        dependencies => ['Tcpip'] }) or die "create: " . Win32::Servane::GetLastError();
    my %info = (name => $name);
    Win32::Servane::QueryServiceConfig(\%info) or die "query";
    Win32::Servane::ConfigureService({ name => $name, start_type => SERVICE_DISABLED,
        description => 'Changed' }) or die "configure";
    Win32::Servane::DeleteService($name) or die "delete";
}
printf "%.9f\n", time - $start;
)PERL";

// Seconds for the Perl round, timed inside the interpreter (its start-up
// and the library's load are not counted).
double PerlRound(int cycles, int round, const std::string& root) {
    std::string script = root + "/cycle.pl";
    if (FILE* f = std::fopen(script.c_str(), "w")) {
        std::fputs(kPerlCycle, f);
        std::fclose(f);
    }
    std::string command = "WIN32POSIX_ROOT='" + root + "' " BENCH_PERL " -I" BENCH_BLIB " '" +
                          script + "' " + std::to_string(cycles) + " " + std::to_string(round);
    FILE* p = popen(command.c_str(), "r");
    double seconds = -1;
    if (p) {
        if (std::fscanf(p, "%lf", &seconds) != 1)
            seconds = -1;
        pclose(p);
    }
    if (seconds < 0) {
        std::fprintf(stderr, "Perl round failed: %s\n", command.c_str());
        std::exit(1);
    }
    return seconds;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    int cycles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

    char pattern[] = "/tmp/bench-servane-admin-XXXXXX";
    const char* base = mkdtemp(pattern);
    if (!base) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string cxxRoot = std::string(base) + "/cxx";
    std::string perlRoot = std::string(base) + "/perl";
    std::filesystem::create_directories(cxxRoot);
    std::filesystem::create_directories(perlRoot);
    setenv("WIN32POSIX_ROOT", cxxRoot.c_str(), 1);

    CxxRound(10, -1); // warm up: the store is created and seeded
    PerlRound(10, -1, perlRoot);
    std::vector<double> cxx, perl;
    for (int r = 0; r < rounds; ++r) {
        cxx.push_back(CxxRound(cycles, r));
        perl.push_back(PerlRound(cycles, r, perlRoot));
    }
    std::filesystem::remove_all(base);

    double c = Median(cxx), p = Median(perl);
    std::printf("cycle: create + query + configure + delete, %d cycles x %d rounds (median)\n",
                cycles, rounds);
    std::printf("C++ on the Windows layer : %8.1f cycles/s\n", cycles / c);
    std::printf("Perl API (Win32::Servane): %8.1f cycles/s\n", cycles / p);
    std::printf("Perl time / C++ time     : %8.3f (%+.1f%% for the Perl layer)\n", p / c,
                (p / c - 1) * 100);
    return 0;
}
