// The suite on Linux, over the Windows layer: a private state root, set up
// before the library's load-time attach reads the registry; the layer's
// supervisor for services; and at exit the end of every supervisor (and so
// every service) this run left behind.
#include "service_run.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <unistd.h>

namespace suite {

namespace {

struct LayerRoot {
    std::string path;
    LayerRoot() {
        char pattern[] = "/tmp/servane-suite-XXXXXX";
        if (const char* dir = mkdtemp(pattern)) {
            path = dir;
            setenv("WIN32POSIX_ROOT", dir, 1);
            setenv("WIN32POSIX_SUPERVISOR", SUITE_SUPERVISOR, 1);
        }
    }
    ~LayerRoot() {
        if (path.empty())
            return;
        KillSupervisors();
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }

    // Each supervisor names itself in <root>/scm/<service>.run.
    void KillSupervisors() const {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(path + "/scm", error)) {
            if (entry.path().extension() != ".run")
                continue;
            std::ifstream run(entry.path());
            long pid = 0;
            if (!(run >> pid) || pid <= 1)
                continue;
            std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
            std::string program;
            std::getline(cmdline, program, '\0');
            if (program.find("svcsupervisor") != std::string::npos)
                kill(static_cast<pid_t>(pid), SIGKILL);
        }
    }
};

__attribute__((init_priority(101))) LayerRoot gRoot;

} // namespace

Side CurrentSide() {
    return Side::kLayer;
}

const char* SideName() {
    return "the Windows layer";
}

std::string SkipReason() {
    if (gRoot.path.empty())
        return "no temporary state root";
    // Only LocalSystem (root) may create and control services on the layer.
    if (geteuid() != 0)
        return "administering services on the Windows layer needs root (LocalSystem)";
    return "";
}

std::string ServiceProgram() {
    return SUITE_SERVICE_PROGRAM;
}

std::string ScratchDirectory() {
    std::string dir = gRoot.path + "/reports/";
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    return dir;
}

} // namespace suite
