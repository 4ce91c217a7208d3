// Throughput of RegSetValueExA and of RegQueryValueExA on one key, single
// process and four processes at once (each process its own value). The
// baseline does the same upsert or select on a bare SQLite database in the
// same journal mode, so the figures show what the registry layer adds on
// this machine.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sqlite3.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One worker: runs its operation for `seconds` and returns how many it did,
// or -1 when an operation failed.
using Worker = std::function<long(int worker, double seconds)>;

enum class Mode { Set, Query };
Mode gMode = Mode::Set;

long RegistryWorker(int worker, double seconds) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Bench", 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return -1;
    std::string name = "value" + std::to_string(worker);
    long ops = 0;
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        for (int i = 0; i < 50; ++i, ++ops) {
            DWORD in = static_cast<DWORD>(ops), out = 0, size = sizeof out, type = 0;
            if (gMode == Mode::Set || ops == 0) {
                if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, (const BYTE*)&in, 4))
                    return -1;
            } else if (RegQueryValueExA(key, name.c_str(), nullptr, &type, (BYTE*)&out, &size) ||
                       type != REG_DWORD) {
                return -1;
            }
        }
    }
    RegCloseKey(key);
    return ops;
}

std::string gBaselinePath;

long SqliteWorker(int worker, double seconds) {
    sqlite3* db = nullptr;
    if (sqlite3_open(gBaselinePath.c_str(), &db) != SQLITE_OK)
        return -1;
    sqlite3_busy_timeout(db, 30000);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
                 nullptr);
    sqlite3_stmt *set = nullptr, *get = nullptr;
    if (sqlite3_prepare_v2(db,
                           "INSERT INTO vals(name, data) VALUES(?, ?) ON CONFLICT(name) DO UPDATE "
                           "SET data=excluded.data",
                           -1, &set, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, "SELECT data FROM vals WHERE name=?", -1, &get, nullptr) !=
            SQLITE_OK)
        return -1;
    std::string name = "value" + std::to_string(worker);
    long ops = 0;
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        for (int i = 0; i < 50; ++i, ++ops) {
            if (gMode == Mode::Set || ops == 0) {
                sqlite3_bind_text(set, 1, name.c_str(), -1, SQLITE_STATIC);
                sqlite3_bind_int64(set, 2, ops);
                if (sqlite3_step(set) != SQLITE_DONE)
                    return -1;
                sqlite3_reset(set);
            } else {
                sqlite3_bind_text(get, 1, name.c_str(), -1, SQLITE_STATIC);
                if (sqlite3_step(get) != SQLITE_ROW)
                    return -1;
                sqlite3_reset(get);
            }
        }
    }
    sqlite3_finalize(set);
    sqlite3_finalize(get);
    sqlite3_close(db);
    return ops;
}

// Runs `processes` forked workers at once (started together) and returns
// the total operations per second.
double Run(const Worker& worker, int processes, double seconds) {
    int ready[2], go[2], results[2];
    if (pipe(ready) || pipe(go) || pipe(results))
        return -1;
    std::vector<pid_t> pids;
    for (int p = 0; p < processes; ++p) {
        pid_t pid = fork();
        if (pid == 0) {
            char c = 0;
            if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1)
                _exit(1);
            long ops = worker(p, seconds);
            _exit(write(results[1], &ops, sizeof ops) == sizeof ops ? 0 : 1);
        }
        pids.push_back(pid);
    }
    char c;
    for (int p = 0; p < processes; ++p)
        if (read(ready[0], &c, 1) != 1)
            return -1;
    auto start = Clock::now();
    std::string release(processes, 'g');
    if (write(go[1], release.data(), release.size()) != static_cast<ssize_t>(release.size()))
        return -1;
    long total = 0;
    bool failed = false;
    for (int p = 0; p < processes; ++p) {
        long ops = 0;
        if (read(results[0], &ops, sizeof ops) != sizeof ops || ops < 0)
            failed = true;
        total += ops;
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    for (pid_t pid : pids)
        waitpid(pid, nullptr, 0);
    for (int fd : {ready[0], ready[1], go[0], go[1], results[0], results[1]})
        close(fd);
    return failed ? -1 : total / elapsed;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    if (seconds <= 0)
        seconds = 2.0;
    char tmpl[] = "/tmp/w32p-bench-reg-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string root = tmpl;
    setenv("WIN32POSIX_ROOT", root.c_str(), 1);
    gBaselinePath = root + "/baseline.db";
    {
        sqlite3* db = nullptr;
        sqlite3_open(gBaselinePath.c_str(), &db);
        sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; CREATE TABLE vals(id INTEGER PRIMARY KEY, name TEXT "
                     "UNIQUE, data BLOB);",
                     nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    // Create the store and the key before timing.
    if (RegistryWorker(0, 0.01) < 0) {
        std::fprintf(stderr, "registry setup failed\n");
        return 1;
    }
    std::printf("Registry operations on one REG_DWORD value, %.1f s per case; baseline: the\n"
                "same upsert (set) or select (query) on bare SQLite with a WAL journal.\n\n",
                seconds);
    std::printf("%-34s %14s %14s %8s\n", "case", "registry op/s", "baseline op/s", "ratio");
    int status = 0;
    for (Mode mode : {Mode::Set, Mode::Query}) {
        gMode = mode;
        for (int processes : {1, 4}) {
            double reg = Run(RegistryWorker, processes, seconds);
            double base = Run(SqliteWorker, processes, seconds);
            std::string label =
                std::string(mode == Mode::Set ? "RegSetValueExA" : "RegQueryValueExA") +
                (processes == 1 ? ", one process" : ", four processes");
            if (reg < 0 || base < 0) {
                std::printf("%-34s failed\n", label.c_str());
                status = 1;
                continue;
            }
            std::printf("%-34s %14.0f %14.0f %7.2fx\n", label.c_str(), reg, base, reg / base);
        }
    }
    std::string cmd = "rm -rf '" + root + "'";
    (void)!std::system(cmd.c_str());
    return status;
}
