// SQLite storage of registry trees (see store.h).
#include "store.h"

#include <cerrno>
#include <sqlite3.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace w32p {
namespace {

constexpr const char* kFormat = "win32posix-registry-1";
constexpr int kBusyTimeoutMs = 30000;

std::mutex gStoresMutex;
std::unordered_map<std::string, std::shared_ptr<Store>>& Stores() {
    static auto* stores = new std::unordered_map<std::string, std::shared_ptr<Store>>;
    return *stores;
}

const char* const kSchema =
    "CREATE TABLE meta(k TEXT PRIMARY KEY, v TEXT NOT NULL);"
    "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
    " name TEXT NOT NULL, lname TEXT NOT NULL, class TEXT NOT NULL DEFAULT '',"
    " mtime INTEGER NOT NULL DEFAULT 0, UNIQUE(parent, lname));"
    "CREATE TABLE vals(id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
    " name TEXT NOT NULL, lname TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
    " UNIQUE(key, lname));"
    "CREATE TABLE mounts(lname TEXT PRIMARY KEY, name TEXT NOT NULL, path TEXT NOT NULL);"
    "INSERT INTO keys(id, parent, name, lname) VALUES(1, 0, '', '');";

} // namespace

std::string FoldName(const std::string& name) {
    std::string out = name;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

LONG Store::MapError(int rc) {
    switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return ERROR_SUCCESS;
    case SQLITE_NOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
        return ERROR_ACCESS_DENIED;
    case SQLITE_CANTOPEN:
        return ERROR_CANTOPEN;
    case SQLITE_FULL:
        return ERROR_CANTWRITE;
    case SQLITE_IOERR:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_PROTOCOL:
        return ERROR_REGISTRY_IO_FAILED;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    default:
        return ERROR_REGISTRY_CORRUPT;
    }
}

Store::~Store() {
    for (auto& [sql, stmt] : statements_)
        sqlite3_finalize(stmt);
    if (db_)
        sqlite3_close(db_);
}

std::shared_ptr<Store> Store::Ready(const std::string& path) {
    std::lock_guard lock(gStoresMutex);
    auto& stores = Stores();
    auto it = stores.find(path);
    if (it == stores.end() || it->second->pid_ != getpid() || !it->second->ready_)
        return nullptr;
    return it->second;
}

std::shared_ptr<Store> Store::Open(const std::string& path, bool create, LONG* error) {
    std::lock_guard lock(gStoresMutex);
    auto& stores = Stores();
    if (auto it = stores.find(path); it != stores.end()) {
        if (it->second->pid_ == getpid())
            return it->second;
        // A connection inherited over fork must not be used or closed here:
        // keep the parent's object alive forever and open a fresh one.
        new std::shared_ptr<Store>(std::move(it->second));
        stores.erase(it);
    }
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0;
    if (!exists && !create) {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        *error = S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : ERROR_BADDB;
        return nullptr;
    }
    std::shared_ptr<Store> store(new Store);
    store->path_ = path;
    store->pid_ = getpid();
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    int rc = sqlite3_open_v2(path.c_str(), &store->db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        *error = rc == SQLITE_CANTOPEN && errno == ENOENT ? ERROR_PATH_NOT_FOUND : MapError(rc);
        return nullptr;
    }
    sqlite3_busy_timeout(store->db_, kBusyTimeoutMs);
    if (LONG e = store->Initialise(!exists); e != ERROR_SUCCESS) {
        *error = e;
        return nullptr;
    }
    stores[path] = store;
    return store;
}

LONG Store::Initialise(bool created) {
    (void)created;
    // Switching to WAL needs a moment of exclusive access; retry while
    // another process holds the database.
    for (int attempt = 0;; ++attempt) {
        int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK)
            break;
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || attempt > 300)
            return MapError(rc);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);

    // An empty database gets the schema; a database of ours is checked for
    // its format marker; anything else is refused, never overwritten.
    Transaction tx(*this, true);
    if (tx.Status() != ERROR_SUCCESS)
        return tx.Status();
    sqlite3_stmt* q = Prepare("SELECT count(*), sum(name IN ('meta','keys','vals','mounts')) "
                              "FROM sqlite_master WHERE type='table'");
    int rc = sqlite3_step(q);
    if (rc != SQLITE_ROW)
        return MapError(rc);
    int tables = sqlite3_column_int(q, 0);
    int ours = sqlite3_column_int(q, 1);
    sqlite3_reset(q);
    if (tables == 0) {
        rc = sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            return MapError(rc);
        sqlite3_stmt* m = Prepare("INSERT INTO meta(k, v) VALUES('format', ?)");
        sqlite3_bind_text(m, 1, kFormat, -1, SQLITE_STATIC);
        rc = sqlite3_step(m);
        sqlite3_reset(m);
        if (rc != SQLITE_DONE)
            return MapError(rc);
        return tx.Commit();
    }
    if (ours != 4)
        return ERROR_BADDB;
    sqlite3_stmt* f = Prepare("SELECT v FROM meta WHERE k='format'");
    rc = sqlite3_step(f);
    bool ok = rc == SQLITE_ROW &&
              std::string(reinterpret_cast<const char*>(sqlite3_column_text(f, 0))) == kFormat;
    sqlite3_reset(f);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return MapError(rc);
    if (!ok)
        return ERROR_BADDB;
    return tx.Commit();
}

sqlite3_stmt* Store::Prepare(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) {
        sqlite3_reset(it->second);
        sqlite3_clear_bindings(it->second);
        return it->second;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK)
        return nullptr;
    statements_[sql] = stmt;
    return stmt;
}

LONG Store::Begin(bool write) {
    int rc = sqlite3_exec(db_, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr);
    return MapError(rc);
}

LONG Store::Commit() {
    int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        LONG e = MapError(rc);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return e;
    }
    return ERROR_SUCCESS;
}

void Store::Rollback() {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

} // namespace w32p
