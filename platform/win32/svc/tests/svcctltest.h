#pragma once
// Running svcctl as a person does: a child process with its output and
// exit status, as root or as another user.
#include "scmtest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

namespace svcctltest {

struct Result {
    int status = -1;
    std::string out, err;
};

inline std::string Drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
}

// Replaces this (child) process by svcctl with the arguments.
[[noreturn]] inline void ExecSvcctl(const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(SCM_SVCCTL)};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(SCM_SVCCTL, argv.data());
    _exit(98);
}

// Runs svcctl; uid >= 0 runs it as that user.
inline Result Svcctl(const std::vector<std::string>& args, int uid = -1) {
    std::string outPath = std::string(getenv("WIN32POSIX_ROOT")) + "/svcctl-out";
    std::string errPath = outPath + ".err";
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        if (uid >= 0 &&
            (setgid(static_cast<gid_t>(uid)) != 0 || setuid(static_cast<uid_t>(uid)) != 0))
            _exit(99);
        ExecSvcctl(args);
    }
    Result r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = Drain(open(outPath.c_str(), O_RDONLY));
    r.err = Drain(open(errPath.c_str(), O_RDONLY));
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    return r;
}

inline bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace svcctltest

using namespace svcctltest;
