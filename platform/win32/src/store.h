#pragma once
// The registry's storage: SQLite database files holding a tree of keys and
// their values. The machine store (<state root>/registry.db) holds
// HKEY_LOCAL_MACHINE and the list of hives loaded under HKEY_USERS; every
// loaded hive (a user's NTUser.dat, for example) is a database of the same
// shape. Writes run in IMMEDIATE transactions on a WAL journal with a busy
// timeout, so several processes share a store safely and a process killed
// mid-write leaves every committed change intact.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace w32p {

// Id of the root key in every store.
constexpr int64_t kRootKeyId = 1;

class Store {
public:
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // The store for a database file, opened once per process (re-opened in a
    // forked child). `create` allows creating a missing file. On failure
    // returns null and sets *error to a Windows error code.
    static std::shared_ptr<Store> Open(const std::string& path, bool create, LONG* error);

    // The store when this process has it open and marked ready, else null.
    static std::shared_ptr<Store> Ready(const std::string& path);
    void MarkReady() { ready_ = true; }

    const std::string& Path() const { return path_; }

    // Serialises this process's use of the connection.
    std::recursive_mutex& Mutex() { return mutex_; }

    // A cached prepared statement, reset and with bindings cleared.
    sqlite3_stmt* Prepare(const char* sql);

    LONG Begin(bool write); // starts a transaction
    LONG Commit();
    void Rollback();

    // Windows error code for an SQLite result code.
    static LONG MapError(int rc);

    sqlite3* Db() { return db_; }

private:
    Store() = default;
    LONG Initialise(bool created);
    int Exec(const char* sql);

    std::string path_;
    sqlite3* db_ = nullptr;
    pid_t pid_ = 0;
    std::atomic<bool> ready_{false};
    std::recursive_mutex mutex_;
    std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

// A transaction that rolls back unless committed.
class Transaction {
public:
    Transaction(Store& store, bool write) : store_(store) { status_ = store.Begin(write); }
    ~Transaction() {
        if (status_ == ERROR_SUCCESS && !done_)
            store_.Rollback();
    }
    LONG Status() const { return status_; }
    LONG Commit() {
        done_ = true;
        return store_.Commit();
    }

private:
    Store& store_;
    LONG status_;
    bool done_ = false;
};

// Lower-cases ASCII letters: the key under which names compare.
std::string FoldName(const std::string& name);

} // namespace w32p
