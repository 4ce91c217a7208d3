#pragma once
// A service's log: its standard output and error, written by the supervisor
// into <root>/logs/<key name>.log and rotated by size. When the file reaches
// the limit (WIN32POSIX_LOG_MAX_BYTES, default 1 MiB) it becomes <name>.log.1,
// older files move up one number, and at most WIN32POSIX_LOG_FILES (default
// 4) rotated files are kept.
#include <cstddef>
#include <string>
#include <vector>

namespace w32p::scm {

constexpr size_t kDefaultLogMaxBytes = 1024 * 1024;
constexpr int kDefaultLogFiles = 4;

size_t LogMaxBytes();
int LogFilesKept();

// The log and its rotated predecessors that exist, oldest first.
std::vector<std::string> LogFiles(const std::string& logPath);

class LogWriter {
public:
    explicit LogWriter(std::string path);
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Appends, rotating first when the file is full.
    void Write(const char* data, size_t size);
    // One line of the supervisor's own, stamped with the UTC time.
    void Note(const std::string& text);
    // A descriptor of the current file for a child that writes directly
    // (-1 when the log cannot be opened); the caller closes it.
    int DuplicateFd() const;

private:
    void Open();
    void Rotate();
    void Append(const char* data, size_t size);

    std::string path_;
    int fd_ = -1;
    size_t size_ = 0;
    size_t max_;
    int keep_;
};

} // namespace w32p::scm
