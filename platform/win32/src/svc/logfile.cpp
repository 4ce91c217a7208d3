// Service logs: size-based rotation and the list of a log's files.
#include "logfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace w32p::scm {
namespace {

unsigned long EnvNumber(const char* name, unsigned long fallback, unsigned long low,
                        unsigned long high) {
    const char* env = getenv(name);
    if (!env || !*env)
        return fallback;
    char* end = nullptr;
    unsigned long v = strtoul(env, &end, 10);
    return (end && *end == 0 && v >= low && v <= high) ? v : fallback;
}

std::string Numbered(const std::string& path, int n) {
    return path + "." + std::to_string(n);
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

} // namespace

size_t LogMaxBytes() {
    return EnvNumber("WIN32POSIX_LOG_MAX_BYTES", kDefaultLogMaxBytes, 1024, 1ul << 40);
}

int LogFilesKept() {
    return static_cast<int>(EnvNumber("WIN32POSIX_LOG_FILES", kDefaultLogFiles, 0, 99));
}

std::vector<std::string> LogFiles(const std::string& logPath) {
    std::vector<std::string> files;
    for (int n = 99; n >= 1; --n)
        if (Exists(Numbered(logPath, n)))
            files.push_back(Numbered(logPath, n));
    if (Exists(logPath))
        files.push_back(logPath);
    return files;
}

LogWriter::LogWriter(std::string path)
    : path_(std::move(path)), max_(LogMaxBytes()), keep_(LogFilesKept()) {
    Open();
}

LogWriter::~LogWriter() {
    if (fd_ >= 0)
        close(fd_);
}

void LogWriter::Open() {
    if (fd_ >= 0)
        close(fd_);
    fd_ = path_.empty() ? -1 : open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    struct stat st;
    size_ = (fd_ >= 0 && fstat(fd_, &st) == 0) ? static_cast<size_t>(st.st_size) : 0;
}

void LogWriter::Rotate() {
    if (keep_ == 0) {
        // No history kept: start the file afresh.
        unlink(path_.c_str());
    } else {
        unlink(Numbered(path_, keep_).c_str());
        for (int n = keep_ - 1; n >= 1; --n)
            rename(Numbered(path_, n).c_str(), Numbered(path_, n + 1).c_str());
        rename(path_.c_str(), Numbered(path_, 1).c_str());
    }
    Open();
}

void LogWriter::Append(const char* data, size_t size) {
    while (size > 0 && fd_ >= 0) {
        ssize_t n = write(fd_, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // a full disk loses log text, never the service
        data += n;
        size -= static_cast<size_t>(n);
        size_ += static_cast<size_t>(n);
    }
}

void LogWriter::Write(const char* data, size_t size) {
    // No file grows past the limit: what does not fit goes to the next
    // file, split after the last whole line that fits where there is one.
    while (size > 0 && fd_ >= 0) {
        size_t room = size_ < max_ ? max_ - size_ : 0;
        if (size <= room) {
            Append(data, size);
            return;
        }
        size_t part = room;
        for (size_t i = room; i > 0; --i)
            if (data[i - 1] == '\n') {
                part = i;
                break;
            }
        if (part == room && size_ > 0 && room < max_ / 4)
            part = 0; // a nearly full file: start the line in the next one
        Append(data, part);
        data += part;
        size -= part;
        Rotate();
    }
}

void LogWriter::Note(const std::string& text) {
    char stamp[32];
    time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string line = std::string("svcsupervisor ") + stamp + ": " + text + "\n";
    Write(line.data(), line.size());
}

int LogWriter::DuplicateFd() const {
    return fd_ >= 0 ? fcntl(fd_, F_DUPFD_CLOEXEC, 0) : -1;
}

} // namespace w32p::scm
