// The same administration cycle (the core's CreateService, QueryServiceConfig
// and DeleteService) and the same control round trip (INTERROGATE to a
// running service built on the core) on whichever service manager this
// build talks to: the Windows layer on Linux, Wine's as a Windows program.
// run.sh runs both builds in one go and prints the ratios.
//
//   bench_servane_wine [cycles] [round-trips]
#include "admin.h"
#include "runtime.h"
#include "service_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Cycles per second, or a negative value when a step failed.
double AdministrationRate(int cycles) {
    auto start = Clock::now();
    for (int i = 0; i < cycles; ++i) {
        servane::ServiceInfo info;
        info.name = suite::UniqueName("BenchCycle");
        info.display = "Bench " + *info.name;
        info.path = "C:\\Program Files\\bench.exe";
        info.parameters = "-x";
        info.description = "A benchmark service";
        servane::ServiceConfig config;
        if (servane::CreateService(info) != 1 ||
            servane::QueryServiceConfig("", *info.name, config) != 1 ||
            servane::DeleteService("", *info.name) != 1) {
            std::fprintf(stderr, "cycle %d failed: error %lu\n", i,
                         static_cast<unsigned long>(gdwLastError));
            return -1;
        }
    }
    return cycles / Seconds(Clock::now() - start);
}

// Microseconds of each INTERROGATE round trip, sorted; empty on failure.
std::vector<double> InterrogateTrips(int trips) {
    std::vector<double> us;
    suite::ServiceRun run("mode=poll");
    if (!run.installed() || !run.Start() || !run.WaitForState(SERVICE_RUNNING)) {
        std::fprintf(stderr, "the service did not run: %s\n", run.Describe().c_str());
        return us;
    }
    for (int i = 0; i < trips; ++i) {
        SERVICE_STATUS status = {};
        auto start = Clock::now();
        if (!run.Control(SERVICE_CONTROL_INTERROGATE, &status))
            return {};
        us.push_back(Seconds(Clock::now() - start) * 1e6);
    }
    std::sort(us.begin(), us.end());
    return us;
}

} // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
#endif
    std::string reason = suite::SkipReason();
    if (!reason.empty()) {
        std::fprintf(stderr, "%s\n", reason.c_str());
        return 77;
    }
    int cycles = argc > 1 ? std::atoi(argv[1]) : 200;
    int trips = argc > 2 ? std::atoi(argv[2]) : 500;
    // One unmeasured cycle and service run first: the manager's start-up
    // is not what is measured.
    AdministrationRate(1);
    double rate = AdministrationRate(cycles);
    std::vector<double> us = InterrogateTrips(trips);
    if (rate < 0 || us.empty())
        return 1;
    std::printf("%s: %d cycles %.1f/s; %d interrogate round trips median %.0f us p99 %.0f us\n",
                suite::SideName(), cycles, rate, trips, us[us.size() / 2],
                us[us.size() * 99 / 100]);
    std::printf("result cycles_per_second=%.3f interrogate_median_us=%.3f\n", rate,
                us[us.size() / 2]);
    return 0;
}
