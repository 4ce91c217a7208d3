// A loopback Kerberos 5 KDC in a private temporary directory, and a helper
// that runs programs with a chosen environment and captures their output.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace ostrel_test {

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Environment changes: a value sets the variable, nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// Runs `file` with the given argument vector (argv[0] may be anything) and
// captures both output streams; standard input is /dev/null.
RunResult runProgram(const std::string& file, const std::vector<std::string>& argv,
                     const EnvChanges& env);

class LoopbackKdc {
public:
    static constexpr const char* kRealm = "TEST.REALM";
    static constexpr const char* kOtherRealm = "OTHER.TEST";
    static constexpr const char* kUser = "alice";

    // Creates both realms' databases and principals, starts krb5kdc on a
    // free port and obtains the user's credentials. Throws on failure.
    LoopbackKdc();
    ~LoopbackKdc(); // stops the KDC and removes the directory

    LoopbackKdc(const LoopbackKdc&) = delete;
    LoopbackKdc& operator=(const LoopbackKdc&) = delete;

    const std::string& dir() const { return dir_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // The environment that points the Kerberos tools at this KDC.
    const EnvChanges& env() const { return env_; }
    // Fetches a fresh initial ticket into the default cache.
    void kinit() const;

private:
    void stop();
    void writeConfig(int port) const;
    bool startKdc();
    void admin(const char* realm, const std::string& query) const;
    void mustRun(const std::vector<std::string>& argv) const;

    std::string dir_;
    pid_t kdcPid_ = -1;
    EnvChanges env_;
};

} // namespace ostrel_test
