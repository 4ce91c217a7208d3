// Benchmark: walking a list of 10,000 modules with top_module/next reading
// each name, and 10,000 find_linked_module calls, from Perl inside
// zephra-host against the same work in C++ in this process. Prints both
// figures and their ratio.
//
//   bench_module [MODULES] [WALK_ROUNDS]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zephra/core.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string module_name(int i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "bench_%05d.c", i);
    return buf;
}

} // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
    if (count <= 0 || count > 99999 || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_module [MODULES (1-99999)] [WALK_ROUNDS]\n");
        return 2;
    }

    // The C++ baseline on a list built the same way as the host's.
    zp_pool* pool = zp_pool_create();
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        names.push_back(module_name(i));
        if (const char* err = zp_add_builtin_module(pool, names.back().c_str())) {
            std::fprintf(stderr, "bench_module: %s\n", err);
            return 1;
        }
    }
    volatile size_t sink = 0;
    auto t0 = Clock::now();
    long visited = 0;
    for (int r = 0; r < rounds; ++r) {
        for (zp_module* m = zp_top_module; m; m = m->next) {
            sink = sink + std::strlen(m->name);
            ++visited;
        }
    }
    double cpp_walk = seconds_since(t0) / rounds;
    t0 = Clock::now();
    int found = 0;
    for (const auto& n : names)
        found += zp_find_linked_module(n.c_str()) != nullptr;
    double cpp_find = seconds_since(t0);
    zp_unload_modules();
    zp_pool_destroy(pool);

    // The same list for zephra-host.
    char conf[] = "/tmp/bench_module_XXXXXX";
    int fd = mkstemp(conf);
    if (fd < 0) {
        std::perror("bench_module: mkstemp");
        return 1;
    }
    std::string text;
    for (const auto& n : names)
        text += "Module " + n + "\n";
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written) {
        std::fprintf(stderr, "bench_module: cannot write %s\n", conf);
        unlink(conf);
        return 1;
    }
    std::string cmd = std::string("\"") + ZEPHRA_HOST + "\" -f \"" + conf + "\" \"-I" +
                      ZEPHRA_BLIB + "\" \"" + WALK_SCRIPT + "\" " + std::to_string(rounds) + " " +
                      std::to_string(count);
    FILE* out = popen(cmd.c_str(), "r");
    char line[256] = {0};
    bool got = out && std::fgets(line, sizeof line, out) != nullptr;
    int status = out ? pclose(out) : -1;
    unlink(conf);
    long perl_visited = 0;
    int perl_found = 0;
    double perl_walk = 0, perl_find = 0;
    if (!got || status != 0 ||
        std::sscanf(line, "visited=%ld found=%d walk_s=%lf find_s=%lf", &perl_visited, &perl_found,
                    &perl_walk, &perl_find) != 4) {
        std::fprintf(stderr, "bench_module: the Perl run failed (%s): %s\n", cmd.c_str(), line);
        return 1;
    }

    std::printf("modules: %d (C++ walk visited %ld, Perl walk visited %ld; found %d / %d)\n", count,
                visited / rounds, perl_visited, found, perl_found);
    std::printf("%-28s %14s %14s %10s\n", "", "C++", "Perl", "Perl/C++");
    std::printf("%-28s %12.3f ms %12.3f ms %9.1fx\n", "walk (top_module/next/name)", cpp_walk * 1e3,
                perl_walk * 1e3, perl_walk / cpp_walk);
    std::printf("%-28s %12.3f ms %12.3f ms %9.2fx\n", "find_linked_module x all", cpp_find * 1e3,
                perl_find * 1e3, perl_find / cpp_find);
    std::printf("per module: walk %.1f ns vs %.1f ns; find %.1f us vs %.1f us\n",
                cpp_walk / count * 1e9, perl_walk / count * 1e9, cpp_find / count * 1e6,
                perl_find / count * 1e6);
    return 0;
}
