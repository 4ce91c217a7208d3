// Processes killed with SIGKILL at random moments: a registry writer, a
// service create/delete loop that holds the database lock, a service
// process and its supervisor. After every kill the store passes SQLite's
// integrity check, everything the killed process had completed is there,
// and nothing it held stays locked. Also stored state that no process may
// trust blindly. Each scenario is bounded in kills and
// in time; the random moments come from CRASH_TEST_SEED when set (the seed
// used is printed).
#include "scmtest.h"
#include "temproot.h"

#include <map>
#include <poll.h>
#include <random>
#include <set>
#include <sqlite3.h>
#include <vector>

namespace {

constexpr int kRounds = 10;
constexpr auto kBudget = std::chrono::seconds(15); // no new round starts after this

std::mt19937& Rng() {
    static std::mt19937 rng = [] {
        const char* env = std::getenv("CRASH_TEST_SEED");
        unsigned seed = env && *env ? static_cast<unsigned>(std::strtoul(env, nullptr, 10))
                                    : std::random_device{}();
        std::printf("CRASH_TEST_SEED=%u\n", seed);
        return std::mt19937(seed);
    }();
    return rng;
}

int Random(int below) {
    return std::uniform_int_distribution<int>(0, below - 1)(Rng());
}

// One step of a child's work, as the child reports it once it completed.
struct Op {
    enum Kind : uint32_t { Lock, Set, Delete, CreateKey, CreateService, DeleteService } kind;
    uint32_t index;
};

// A forked child that runs `ops` in order, writing each finished op's
// position to a pipe ('-1' on a failure), killed after its first report and
// a random delay. `done` is how many ops completed: ops[done] may or may
// not have happened.
struct KilledChild {
    size_t done = 0;
    bool failed = false;

    KilledChild(const std::vector<Op>& ops, const std::function<bool(const Op&)>& run,
                int maxDelayUs) {
        int fds[2];
        if (pipe(fds) != 0) {
            failed = true;
            return;
        }
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            for (uint32_t i = 0; i < ops.size(); ++i) {
                int32_t report = run(ops[i]) ? static_cast<int32_t>(i) : -1;
                if (write(fds[1], &report, sizeof report) != sizeof report || report < 0)
                    _exit(1);
            }
            _exit(0);
        }
        close(fds[1]);
        pollfd p{fds[0], POLLIN, 0};
        if (pid < 0 || poll(&p, 1, 30000) != 1) {
            failed = true;
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(Random(maxDelayUs)));
            kill(pid, SIGKILL);
        }
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        int32_t report;
        while (read(fds[0], &report, sizeof report) == sizeof report) {
            if (report < 0)
                failed = true;
            else
                done = static_cast<size_t>(report) + 1;
        }
        close(fds[0]);
    }
};

// SQLite's verdict on a database file: "ok" when sound.
std::string IntegrityCheck(const std::string& path) {
    sqlite3* db = nullptr;
    std::string verdict;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        verdict = "cannot open";
    } else {
        sqlite3_exec(
            db, "PRAGMA integrity_check",
            [](void* out, int, char** row, char**) {
                auto* text = static_cast<std::string*>(out);
                *text += (text->empty() ? "" : "; ") + std::string(row[0] ? row[0] : "");
                return 0;
            },
            &verdict, nullptr);
    }
    sqlite3_close(db);
    return verdict;
}

std::string Name(const char* prefix, int round, uint32_t i) {
    return prefix + std::to_string(round) + "_" + std::to_string(i);
}

// The data of value i of a round: sizes vary so that writes span pages.
std::vector<BYTE> Payload(int round, uint32_t i) {
    std::vector<BYTE> data(16 + (i * 397) % 6000);
    for (size_t k = 0; k < data.size(); ++k)
        data[k] = static_cast<BYTE>(round * 31 + i * 7 + k);
    return data;
}

// Deadline of a scenario; at least two rounds run whatever the time.
struct Rounds {
    std::chrono::steady_clock::time_point end = std::chrono::steady_clock::now() + kBudget;
    bool More(int round) const {
        return round < kRounds && (round < 2 || std::chrono::steady_clock::now() < end);
    }
};

// Starts the service; it stays START_PENDING for a random time under 300 ms.
::testing::AssertionResult StartPendingAWhile(SC_HANDLE svc) {
    std::string pending = "pending=" + std::to_string(Random(300));
    const char* args[] = {pending.c_str()};
    if (StartServiceA(svc, 1, args))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "StartService: " << GetLastError();
}

HKEY OpenCrashKey() {
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Crash", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &key, nullptr);
    return key;
}

} // namespace

// The registry needs no administrator; the service fixture's check is skipped.
class RegistryCrash : public TempStateRoot {};

TEST_F(RegistryCrash, KilledWriterLosesNothingCommitted) {
    HKEY key = OpenCrashKey();
    ASSERT_NE(key, nullptr);
    // Per round: set value i, every fifth a subkey, every third the
    // deletion of the value before.
    std::map<std::string, std::vector<BYTE>> values; // what must be there
    std::set<std::string> keys, maybe;               // maybe: the op in flight
    Rounds rounds;
    int round = 0;
    for (; rounds.More(round); ++round) {
        std::vector<Op> ops;
        for (uint32_t i = 0; i < 400; ++i) {
            ops.push_back({Op::Set, i});
            if (i % 5 == 4)
                ops.push_back({Op::CreateKey, i});
            if (i % 3 == 2)
                ops.push_back({Op::Delete, i - 1});
        }
        KilledChild child(
            ops,
            [&](const Op& op) {
                std::string name = Name(op.kind == Op::CreateKey ? "k" : "v", round, op.index);
                if (op.kind == Op::Set) {
                    std::vector<BYTE> data = Payload(round, op.index);
                    return RegSetValueExA(key, name.c_str(), 0, REG_BINARY, data.data(),
                                          static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
                }
                if (op.kind == Op::Delete)
                    return RegDeleteValueA(key, name.c_str()) == ERROR_SUCCESS;
                HKEY sub = nullptr;
                bool ok = RegCreateKeyExA(key, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                          &sub, nullptr) == ERROR_SUCCESS;
                RegCloseKey(sub);
                return ok;
            },
            30000);
        ASSERT_FALSE(child.failed) << "round " << round;
        ASSERT_GT(child.done, 0u);
        for (size_t i = 0; i < child.done; ++i) {
            const Op& op = ops[i];
            std::string name = Name(op.kind == Op::CreateKey ? "k" : "v", round, op.index);
            if (op.kind == Op::Set)
                values[name] = Payload(round, op.index);
            else if (op.kind == Op::Delete)
                values.erase(name);
            else
                keys.insert(name);
        }
        if (child.done < ops.size()) {
            const Op& next = ops[child.done];
            maybe.insert(Name(next.kind == Op::CreateKey ? "k" : "v", round, next.index));
        }

        ASSERT_EQ(IntegrityCheck(root_ + "/registry.db"), "ok") << "round " << round;
        for (const auto& [name, data] : values) {
            if (maybe.count(name))
                continue;
            std::vector<BYTE> got(data.size() + 1);
            DWORD size = static_cast<DWORD>(got.size()), type = 0;
            ASSERT_EQ(RegQueryValueExA(key, name.c_str(), nullptr, &type, got.data(), &size),
                      ERROR_SUCCESS)
                << name << " in round " << round;
            got.resize(size);
            EXPECT_EQ(got, data) << name;
        }
        for (uint32_t i = 0; i < 400; ++i) {
            std::string name = Name("v", round, i);
            if (!values.count(name) && !maybe.count(name)) {
                EXPECT_EQ(RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, nullptr),
                          ERROR_FILE_NOT_FOUND)
                    << name << " was deleted or never written";
            }
        }
        for (const auto& name : keys) {
            HKEY sub = nullptr;
            EXPECT_EQ(RegOpenKeyExA(key, name.c_str(), 0, KEY_READ, &sub), ERROR_SUCCESS) << name;
            RegCloseKey(sub);
        }
        // Nothing stays locked: this process writes at once.
        DWORD one = 1;
        ASSERT_EQ(RegSetValueExA(key, "after", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
                  ERROR_SUCCESS);
    }
    RegCloseKey(key);
    std::printf("%d writers killed\n", round);
}

class ScmCrash : public ScmTest {};

TEST_F(ScmCrash, KilledCreateDeleteLoopHoldingTheLockLosesNothing) {
    Handle mgr(Manager());
    std::set<std::string> present, absent; // uncertain ones (an op in flight) in neither
    Rounds rounds;
    int round = 0;
    for (; rounds.More(round); ++round) {
        // Per round: take the lock, then create service i and delete every
        // even one again.
        std::vector<Op> ops{{Op::Lock, 0}};
        for (uint32_t i = 0; i < 200; ++i) {
            ops.push_back({Op::CreateService, i});
            if (i % 2 == 0)
                ops.push_back({Op::DeleteService, i});
        }
        SC_HANDLE childManager = nullptr, last = nullptr;
        KilledChild child(
            ops,
            [&](const Op& op) {
                if (op.kind == Op::Lock) {
                    childManager = Manager();
                    return LockServiceDatabase(childManager) != nullptr;
                }
                std::string name = Name("Churn", round, op.index);
                if (op.kind == Op::CreateService) {
                    last = CreateTestService(childManager, name.c_str(),
                                             "normal " + std::to_string(op.index));
                    if (last && op.index % 2)
                        CloseServiceHandle(last);
                    return last != nullptr;
                }
                bool ok = DeleteService(last);
                CloseServiceHandle(last);
                return ok;
            },
            100000);
        ASSERT_FALSE(child.failed) << "round " << round;
        ASSERT_GT(child.done, 0u);
        for (size_t i = 1; i <= child.done && i < ops.size(); ++i) {
            std::string name = Name("Churn", round, ops[i].index);
            if (i == child.done) {
                present.erase(name);
            } else if (ops[i].kind == Op::CreateService) {
                present.insert(name);
            } else {
                present.erase(name);
                absent.insert(name);
            }
        }

        ASSERT_EQ(IntegrityCheck(root + "/registry.db"), "ok") << "round " << round;
        SC_LOCK lock = LockServiceDatabase(mgr.h); // released by the death of its holder
        ASSERT_NE(lock, nullptr) << GetLastError();
        EXPECT_TRUE(UnlockServiceDatabase(lock));
        for (const auto& name : present) {
            Handle svc(OpenServiceA(mgr.h, name.c_str(), SERVICE_QUERY_CONFIG));
            ASSERT_NE(svc.h, nullptr) << name << ": " << GetLastError();
            char buf[8192];
            DWORD needed = 0;
            ASSERT_TRUE(QueryServiceConfigA(svc.h, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf),
                                            sizeof buf, &needed));
            std::string index = name.substr(name.rfind('_') + 1);
            EXPECT_EQ(reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf)->lpBinaryPathName,
                      TestImage("normal " + index));
        }
        for (const auto& name : absent) {
            EXPECT_EQ(OpenServiceA(mgr.h, name.c_str(), SERVICE_QUERY_STATUS), nullptr) << name;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST)) << name;
        }
    }
    std::printf("%d create/delete loops killed\n", round);
}

TEST_F(ScmCrash, KilledServiceEndsAbortedAndStartsAgain) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Victim"));
    ASSERT_NE(svc.h, nullptr);
    Rounds rounds;
    int round = 0;
    for (; rounds.More(round); ++round) {
        // Killed while start is pending or while running.
        ASSERT_TRUE(StartPendingAWhile(svc.h)) << "round " << round;
        std::this_thread::sleep_for(std::chrono::milliseconds(Random(400)));
        DWORD pid = 0;
        for (int i = 0; i < 1000 && !(pid = PidOf(svc.h)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_NE(pid, 0u);
        kill(static_cast<pid_t>(pid), SIGKILL);
        ASSERT_TRUE(WaitForState(svc.h, SERVICE_STOPPED)) << "round " << round;
        EXPECT_EQ(Status(svc.h).dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
        EXPECT_TRUE(WaitGone(pid));
    }
    std::printf("%d services killed\n", round);
}

TEST_F(ScmCrash, KilledSupervisorEndsAbortedAndTheServiceStartsAgain) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Orphaned"));
    ASSERT_NE(svc.h, nullptr);
    Rounds rounds;
    int round = 0;
    for (; rounds.More(round); ++round) {
        // Killed while start is pending, while running, or while a stop
        // control is on its way (odd rounds).
        ASSERT_TRUE(StartPendingAWhile(svc.h)) << "round " << round;
        std::thread stopper;
        if (round % 2) {
            int delay = Random(400);
            stopper = std::thread([&, delay] {
                std::this_thread::sleep_for(std::chrono::milliseconds(delay));
                SERVICE_STATUS st;
                ControlService(svc.h, SERVICE_CONTROL_STOP, &st); // may come too early or late
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(Random(400)));
        DWORD pid = PidOf(svc.h);
        KillSupervisors();
        if (stopper.joinable())
            stopper.join();
        SERVICE_STATUS st = Status(svc.h);
        EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << "round " << round;
        if (round % 2 == 0)
            EXPECT_EQ(st.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
        else
            EXPECT_TRUE(st.dwWin32ExitCode == ERROR_PROCESS_ABORTED || st.dwWin32ExitCode == 0)
                << st.dwWin32ExitCode;
        if (pid) {
            EXPECT_TRUE(WaitGone(pid)) << "the service outlived its supervisor";
        }
    }
    // The last round's kill left nothing behind either.
    ASSERT_TRUE(StartServiceA(svc.h, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    SERVICE_STATUS st;
    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st));
    EXPECT_TRUE(WaitForState(svc.h, SERVICE_STOPPED));
    EXPECT_EQ(Status(svc.h).dwWin32ExitCode, 0u);
    std::printf("%d supervisors killed\n", round);
}

// A "Security" value is stored bytes: one that claims the absolute form
// holds no pointers worth following, and the default descriptor applies.
TEST_F(ScmCrash, StoredDescriptorInAbsoluteFormIsNotFollowed) {
    Handle mgr(Manager());
    { Handle svc(CreateTestService(mgr.h, "Damaged")); }
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                              "System\\CurrentControlSet\\Services\\Damaged\\Security", 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    std::vector<BYTE> absolute(sizeof(SECURITY_DESCRIPTOR), 0x41);
    absolute[0] = SECURITY_DESCRIPTOR_REVISION;
    absolute[1] = 0;
    absolute[2] = SE_DACL_PRESENT;
    absolute[3] = 0;
    ASSERT_EQ(RegSetValueExA(key, "Security", 0, REG_BINARY, absolute.data(),
                             static_cast<DWORD>(absolute.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);

    Handle svc(OpenServiceA(mgr.h, "Damaged", READ_CONTROL | SERVICE_QUERY_STATUS));
    ASSERT_NE(svc.h, nullptr) << GetLastError();
    std::vector<BYTE> sd(4096);
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceObjectSecurity(svc.h, DACL_SECURITY_INFORMATION, sd.data(),
                                           static_cast<DWORD>(sd.size()), &needed));
    EXPECT_TRUE(IsValidSecurityDescriptor(sd.data()));
    EXPECT_LE(GetSecurityDescriptorLength(sd.data()), needed);
}
