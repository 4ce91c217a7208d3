// The service library reads the process user's SID and opens the registry
// while the program loads. Give this test program a state root of its own
// before that happens (init_priority runs ahead of ordinary static objects),
// and remove it at exit.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

struct TestStateRoot {
    std::string path;
    TestStateRoot() {
        char pattern[] = "/tmp/servane-gtest-XXXXXX";
        if (const char* dir = mkdtemp(pattern)) {
            path = dir;
            setenv("WIN32POSIX_ROOT", dir, 1);
        }
    }
    ~TestStateRoot() {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
};

__attribute__((init_priority(101))) TestStateRoot gTestStateRoot;

} // namespace
