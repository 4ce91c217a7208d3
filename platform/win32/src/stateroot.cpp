#include "stateroot.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace w32p {
namespace {

// Constant-initialised or constructed on first use: the API may be called
// from a library's load-time constructor, before this file's dynamic
// initialisers would have run.
constinit std::mutex gRootMutex;
constinit bool gResolved = false;

std::string& Root() {
    static std::string root;
    return root;
}

std::string DefaultRoot() {
    if (const char* xdg = getenv("XDG_STATE_HOME"); xdg && *xdg)
        return std::string(xdg) + "/win32posix";
    const char* home = getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.local/state/win32posix";
    if (passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
        return std::string(pw->pw_dir) + "/.local/state/win32posix";
    return "/tmp/win32posix-" + std::to_string(getuid());
}

} // namespace

bool MakeDirs(const std::string& path) {
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        std::string partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

const std::string& StateRoot() {
    std::lock_guard lock(gRootMutex);
    if (!gResolved) {
        const char* env = getenv("WIN32POSIX_ROOT");
        std::string root = (env && *env) ? std::string(env) : DefaultRoot();
        while (root.size() > 1 && root.back() == '/')
            root.pop_back();
        if (!root.empty() && root[0] != '/') {
            // Absolute: supervisors and services run in another directory
            // and must name the same folder.
            char cwd[4096];
            root = getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + root : std::string();
        }
        Root() = MakeDirs(root) ? root : std::string();
        gResolved = true;
    }
    return Root();
}

void ResetStateRootForTests() {
    std::lock_guard lock(gRootMutex);
    gResolved = false;
}

} // namespace w32p
