#include "kdc_fixture.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace ostrel_test {

namespace {

std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> buildEnv(const EnvChanges& changes) {
    std::vector<std::string> out;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('='));
        if (changes.count(key) == 0)
            out.push_back(entry);
    }
    for (const auto& [key, value] : changes)
        if (value)
            out.push_back(key + "=" + *value);
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> ptrs;
    for (auto& s : strings)
        ptrs.push_back(s.data());
    ptrs.push_back(nullptr);
    return ptrs;
}

pid_t spawn(const std::string& file, std::vector<std::string> argv, const EnvChanges& env,
            const std::string& outFile, const std::string& errFile) {
    std::vector<std::string> envStrings = buildEnv(env);
    auto argvPtrs = pointers(argv);
    auto envPtrs = pointers(envStrings);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, file.c_str(), &fa, nullptr, argvPtrs.data(), envPtrs.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        throw std::runtime_error("cannot start " + file + ": " + std::strerror(rc));
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A port on 127.0.0.1 that is free for both UDP and TCP right now.
int freePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int tcp = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(tcp, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            getsockname(tcp, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            close(tcp);
            continue;
        }
        int udp = socket(AF_INET, SOCK_DGRAM, 0);
        bool ok = bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(udp);
        close(tcp);
        if (ok)
            return ntohs(a.sin_port);
    }
    throw std::runtime_error("no free port");
}

} // namespace

RunResult runProgram(const std::string& file, const std::vector<std::string>& argv,
                     const EnvChanges& env) {
    char tmpl[] = "/tmp/ostrel-run-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    const std::string dir = tmpl;
    RunResult r;
    r.status = waitFor(spawn(file, argv, env, dir + "/out", dir + "/err"));
    r.out = slurp(dir + "/out");
    r.err = slurp(dir + "/err");
    std::filesystem::remove_all(dir);
    return r;
}

void LoopbackKdc::mustRun(const std::vector<std::string>& argv) const {
    RunResult r = runProgram(argv[0], argv, env_);
    if (r.status != 0)
        throw std::runtime_error(argv[0] + " failed (" + std::to_string(r.status) + "): " + r.err +
                                 r.out);
}

void LoopbackKdc::admin(const char* realm, const std::string& query) const {
    mustRun({KADMIN_LOCAL_PROGRAM, "-r", realm, "-q", query});
}

void LoopbackKdc::writeConfig(int port) const {
    const std::string kdc = "127.0.0.1:" + std::to_string(port);
    // Realm blocks span several lines: a one-line block does not parse.
    std::ofstream conf(path("krb5.conf"));
    conf << "[libdefaults]\n"
         << "    default_realm = " << kRealm << "\n"
         << "    dns_lookup_kdc = false\n"
         << "    dns_lookup_realm = false\n"
         << "    rdns = false\n"
         << "[realms]\n";
    for (const char* realm : {kRealm, kOtherRealm})
        conf << "    " << realm << " = {\n        kdc = " << kdc << "\n    }\n";
    conf << "[capaths]\n    " << kRealm << " = {\n        " << kOtherRealm << " = .\n    }\n";

    std::ofstream kdcConf(path("kdc.conf"));
    kdcConf << "[kdcdefaults]\n    kdc_listen = " << kdc << "\n    kdc_tcp_listen = " << kdc
            << "\n[realms]\n";
    for (const char* realm : {kRealm, kOtherRealm})
        kdcConf << "    " << realm << " = {\n        database_name = " << path(realm) + ".db"
                << "\n        key_stash_file = " << path(realm) + ".stash"
                << "\n        acl_file = " << path("kadm5.acl")
                << "\n        max_life = 10h\n        max_renewable_life = 0\n    }\n";
    kdcConf << "[logging]\n    kdc = FILE:" << path("kdc.log") << "\n";
}

// Starts krb5kdc on the configured port and retries kinit until it answers.
// False when the KDC exits first (its port was taken meanwhile).
bool LoopbackKdc::startKdc() {
    kdcPid_ = spawn(KRB5KDC_PROGRAM, {"krb5kdc", "-n", "-r", kRealm, "-r", kOtherRealm}, env_,
                    path("krb5kdc.out"), path("krb5kdc.err"));
    const std::string user = std::string(kUser) + "@" + kRealm;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        RunResult r =
            runProgram(KINIT_PROGRAM, {"kinit", "-k", "-t", path("alice.keytab"), user}, env_);
        if (r.status == 0)
            return true;
        int st = 0;
        if (waitpid(kdcPid_, &st, WNOHANG) == kdcPid_) {
            kdcPid_ = -1;
            return false;
        }
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("KDC does not answer: " + r.err);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

LoopbackKdc::LoopbackKdc() {
    char tmpl[] = "/tmp/ostrel-kdc-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    env_ = {{"KRB5_CONFIG", path("krb5.conf")},
            {"KRB5_KDC_PROFILE", path("kdc.conf")},
            {"KRB5CCNAME", "FILE:" + path("ccache")},
            {"KRB5_CLIENT_KTNAME", std::nullopt},
            {"KRB5_KTNAME", std::nullopt},
            {"KRB5_TRACE", std::nullopt},
            {"KRBTKFILE", path("tkt")}};

    try {
        writeConfig(freePort());
        std::ofstream(path("kadm5.acl")) << "";
        for (const char* realm : {kRealm, kOtherRealm})
            mustRun({KDB5_UTIL_PROGRAM, "-r", realm, "create", "-s", "-P", "master-key-pw"});
        const std::string user = std::string(kUser) + "@" + kRealm;
        admin(kRealm, "addprinc -randkey " + user);
        admin(kRealm, "ktadd -k " + path("alice.keytab") + " " + user);
        admin(kRealm, std::string("addprinc -randkey host/svc.test@") + kRealm);
        // The cross-realm key: the same password and name in both databases.
        const std::string cross = std::string("krbtgt/") + kOtherRealm + "@" + kRealm;
        admin(kRealm, "addprinc -pw cross-realm-pw " + cross);
        admin(kOtherRealm, "addprinc -pw cross-realm-pw " + cross);
        admin(kOtherRealm, std::string("addprinc -randkey host/svc.other@") + kOtherRealm);

        // Another process may take the chosen port before the KDC binds it.
        for (int attempt = 0;; ++attempt) {
            if (startKdc())
                break;
            if (attempt == 4)
                throw std::runtime_error("krb5kdc exited: " + slurp(path("krb5kdc.err")) +
                                         slurp(path("kdc.log")));
            writeConfig(freePort());
        }
    } catch (...) {
        stop();
        throw;
    }
}

void LoopbackKdc::kinit() const {
    mustRun({KINIT_PROGRAM, "-k", "-t", path("alice.keytab"), std::string(kUser) + "@" + kRealm});
}

LoopbackKdc::~LoopbackKdc() {
    stop();
}

void LoopbackKdc::stop() {
    if (kdcPid_ > 0) {
        kill(kdcPid_, SIGTERM);
        waitFor(kdcPid_);
        kdcPid_ = -1;
    }
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        dir_.clear();
    }
}

} // namespace ostrel_test
