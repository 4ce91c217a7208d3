// The identity, window-station and administration tests need a state root
// of their own for the Windows layer. When nothing else in this program has
// set one up before the first static object runs, make a temporary one and
// remove it at exit.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

struct OwnStateRoot {
    std::string path;
    OwnStateRoot() {
        if (std::getenv("WIN32POSIX_ROOT"))
            return;
        char pattern[] = "/tmp/servane-admin-gtest-XXXXXX";
        if (const char* dir = mkdtemp(pattern)) {
            path = dir;
            setenv("WIN32POSIX_ROOT", dir, 1);
        }
    }
    ~OwnStateRoot() {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
};

__attribute__((init_priority(101))) OwnStateRoot gOwnStateRoot;

} // namespace
