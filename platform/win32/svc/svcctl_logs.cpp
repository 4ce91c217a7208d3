// svcctl logs NAME [-f] [-n LINES]: a service's log, the rotated files
// first, and with -f whatever the service writes next (across rotations).
#include "svcctl.h"

#include "svc/logfile.h"
#include "svc/scm.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace svcctl {
namespace {

bool WriteOut(const char* data, size_t size) {
    return TransferAll(size, [&](size_t done) { return write(1, data + done, size - done); });
}

// Copies what fd has from its position on; false when standard output is
// gone.
bool CopyRest(int fd) {
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        if (!WriteOut(buf, static_cast<size_t>(n)))
            return false;
    }
}

std::string ReadAll(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

// The stored spelling of a service name (names are case-insensitive).
bool StoredName(SC_HANDLE mgr, const std::string& name, std::string& stored) {
    std::vector<std::string> names;
    DWORD error = 0;
    if (!ServiceNames(mgr, SERVICE_STATE_ALL, names, error))
        return false;
    for (const std::string& n : names)
        if (Lower(n) == Lower(name)) {
            stored = n;
            return true;
        }
    return false;
}

// Follows the log file: new text as it comes; when the file is rotated
// away, the rest of the old one and then the new one from its start.
int Follow(const std::string& path, off_t from) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && lseek(fd, from, SEEK_SET) < 0)
        lseek(fd, 0, SEEK_END);
    for (;;) {
        if (fd >= 0 && !CopyRest(fd))
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        struct stat now, cur;
        bool exists = stat(path.c_str(), &now) == 0;
        if (fd < 0) {
            if (exists)
                fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            continue;
        }
        if (fstat(fd, &cur) != 0)
            continue;
        if (exists && (now.st_ino != cur.st_ino || now.st_dev != cur.st_dev)) {
            if (!CopyRest(fd))
                return 0;
            close(fd);
            fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        } else if (lseek(fd, 0, SEEK_CUR) > cur.st_size) {
            lseek(fd, 0, SEEK_SET); // truncated by hand
        }
    }
}

} // namespace

int DoLogs(const std::vector<std::string>& args) {
    std::string name;
    bool follow = false;
    DWORD lines = 0;
    bool hasLines = false;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "-f" || args[i] == "--follow") {
            follow = true;
        } else if (args[i] == "-n" && i + 1 < args.size()) {
            if (!ParseNumber(args[++i], lines))
                return UsageError("logs", "-n takes a number of lines");
            hasLines = true;
        } else if (name.empty() && !args[i].empty() && args[i][0] != '-') {
            name = args[i];
        } else {
            return UsageError("logs", "unexpected argument \"" + args[i] + "\"");
        }
    }
    if (name.empty())
        return UsageError("logs", "missing service name");
    Sc mgr(OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    std::string stored;
    bool exists = StoredName(mgr.h, name, stored);
    // A deleted service's log stays readable under the name it had.
    std::string path = w32p::scm::LogPath(exists ? stored : name);
    std::vector<std::string> files = w32p::scm::LogFiles(path);
    if (!exists && files.empty())
        return Failed("OpenService", ERROR_SERVICE_DOES_NOT_EXIST);
    std::string text;
    off_t end = 0; // how much of the current file is shown
    for (const std::string& f : files) {
        std::string part = ReadAll(f);
        if (f == path)
            end = static_cast<off_t>(part.size());
        text += part;
    }
    if (hasLines) {
        // The start of the last LINES lines (a final line feed ends the
        // last line, it does not begin another).
        size_t at = text.size();
        if (at && text[at - 1] == '\n')
            --at;
        for (DWORD n = 0; at > 0; --at)
            if (text[at - 1] == '\n' && ++n == lines)
                break;
        text = lines ? text.substr(at) : std::string();
    }
    if (!WriteOut(text.data(), text.size()))
        return 0;
    return follow ? Follow(path, end) : 0;
}

} // namespace svcctl
