// Registry functions (advapi32) over the SQLite stores of store.h.
//
// HKEY_LOCAL_MACHINE is the root of the machine store. HKEY_USERS is a
// virtual key whose subkeys are the hives loaded with RegLoadKeyA (listed
// in the machine store's mounts table, so every process sees them).
// HKEY_CURRENT_USER is the current user's profile hive (NTUser.dat in the
// profile folder named by ProfileList). HKEY_CLASSES_ROOT is
// HKLM\SOFTWARE\Classes. Names compare without regard to ASCII case.
#include "handles.h"
#include "paths.h"
#include "stateroot.h"
#include "store.h"
#include "token.h"

#include <cstring>
#include <ctime>
#include <limits.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace w32p {
namespace {

constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
constexpr DWORD kLuidRestore = 18;

const char* const kProfileList = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// Where a key lives: a store and a key id in it, or the virtual root of
// HKEY_USERS.
struct Location {
    std::string store;
    int64_t id = 0;
    bool usersRoot = false;
};

struct RegKey : KernelObject {
    Location where;
    REGSAM access = 0;
    ObjectKind Kind() const override { return ObjectKind::RegistryKey; }
};

std::string MachineStorePath() {
    const std::string& root = StateRoot();
    return root.empty() ? std::string() : root + "/registry.db";
}

std::string UserHivePath() {
    return MapWindowsPath(ProcessIdentity().profileFolder + "\\NTUser.dat");
}

int64_t NowFileTime() {
    return (static_cast<int64_t>(time(nullptr)) + 11644473600LL) * 10000000LL;
}

// A prepared statement of a store, reset when it goes out of scope.
class Query {
public:
    Query(Store& store, const char* sql) : store_(store), stmt_(store.Prepare(sql)) {}
    ~Query() {
        if (stmt_)
            sqlite3_reset(stmt_);
    }
    Query& Int(int i, int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Query& Text(int i, const std::string& v) {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Query& Blob(int i, const void* data, size_t size) {
        sqlite3_bind_blob(stmt_, i, size ? data : "", static_cast<int>(size), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW or SQLITE_DONE, or the failure as a Windows code in error().
    int Step() {
        if (!stmt_) {
            error_ = Store::MapError(sqlite3_errcode(store_.Db()));
            if (error_ == ERROR_SUCCESS)
                error_ = ERROR_REGISTRY_CORRUPT;
            return SQLITE_ERROR;
        }
        int rc = sqlite3_step(stmt_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            error_ = Store::MapError(rc);
        return rc;
    }
    LONG error() const { return error_; }
    int64_t ColInt(int i) { return sqlite3_column_int64(stmt_, i); }
    std::string ColText(int i) {
        const char* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
        return p ? std::string(p, sqlite3_column_bytes(stmt_, i)) : std::string();
    }
    std::vector<BYTE> ColBlob(int i) {
        const BYTE* p = static_cast<const BYTE*>(sqlite3_column_blob(stmt_, i));
        int n = sqlite3_column_bytes(stmt_, i);
        return p ? std::vector<BYTE>(p, p + n) : std::vector<BYTE>();
    }

private:
    Store& store_;
    sqlite3_stmt* stmt_;
    LONG error_ = ERROR_SUCCESS;
};

LONG KeyExists(Store& s, int64_t id) {
    Query q(s, "SELECT 1 FROM keys WHERE id=?");
    q.Int(1, id);
    int rc = q.Step();
    if (rc == SQLITE_ROW)
        return ERROR_SUCCESS;
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : q.error();
}

// Finds (or, with `create`, makes) the child `name` of `parent`. Sets
// *created when it made it.
LONG Child(Store& s, int64_t parent, const std::string& name, bool create, int64_t* id,
           bool* created) {
    *created = false;
    Query q(s, "SELECT id FROM keys WHERE parent=? AND lname=?");
    q.Int(1, parent).Text(2, FoldName(name));
    int rc = q.Step();
    if (rc == SQLITE_ROW) {
        *id = q.ColInt(0);
        return ERROR_SUCCESS;
    }
    if (rc != SQLITE_DONE)
        return q.error();
    if (!create)
        return ERROR_FILE_NOT_FOUND;
    Query ins(s, "INSERT INTO keys(parent, name, lname, mtime) VALUES(?, ?, ?, ?)");
    ins.Int(1, parent).Text(2, name).Text(3, FoldName(name)).Int(4, NowFileTime());
    if (ins.Step() != SQLITE_DONE)
        return ins.error();
    *id = sqlite3_last_insert_rowid(s.Db());
    *created = true;
    return ERROR_SUCCESS;
}

// Splits a subkey path at backslashes. A leading backslash is refused;
// empty components (a trailing backslash, doubled backslashes) are skipped.
LONG SplitPath(const char* subKey, std::vector<std::string>* parts) {
    parts->clear();
    if (!subKey || !*subKey)
        return ERROR_SUCCESS;
    if (subKey[0] == '\\')
        return ERROR_BAD_PATHNAME;
    std::string cur;
    for (const char* p = subKey;; ++p) {
        if (*p == '\\' || *p == '\0') {
            if (cur.size() > kMaxKeyNameLength)
                return ERROR_INVALID_PARAMETER;
            if (!cur.empty())
                parts->push_back(cur);
            cur.clear();
            if (!*p)
                break;
        } else {
            cur += *p;
        }
    }
    return ERROR_SUCCESS;
}

std::unordered_set<std::string>& SeededStores() {
    static auto* seeded = new std::unordered_set<std::string>;
    return *seeded;
}
std::mutex gSeedMutex;

LONG SetValueIn(Store& s, int64_t key, const std::string& name, DWORD type, const void* data,
                size_t size);

// Creates a path of keys below `from` inside one store (the caller holds a
// write transaction).
LONG CreatePathIn(Store& s, int64_t from, const std::vector<std::string>& parts, int64_t* id,
                  bool* created) {
    *id = from;
    *created = false;
    for (const auto& part : parts) {
        LONG e = Child(s, *id, part, true, id, created);
        if (e != ERROR_SUCCESS)
            return e;
    }
    return ERROR_SUCCESS;
}

// First-use contents of the machine store: the current user's ProfileList
// entry (with its profile folder and an empty NTUser.dat hive), the
// services key and the classes key.
LONG Seed(Store& s) {
    const Identity& id = ProcessIdentity();
    std::string sidText = SidText(id.user.data());
    std::vector<std::string> profile, services, classes;
    SplitPath((std::string(kProfileList) + "\\" + sidText).c_str(), &profile);
    SplitPath("System\\CurrentControlSet\\Services", &services);
    SplitPath("SOFTWARE\\Classes", &classes);

    bool present = true;
    {
        std::lock_guard lock(s.Mutex());
        Transaction tx(s, false);
        if (tx.Status() != ERROR_SUCCESS)
            return tx.Status();
        for (const auto* path : {&profile, &services, &classes}) {
            int64_t at = kRootKeyId;
            bool created;
            for (const auto& part : *path) {
                LONG e = Child(s, at, part, false, &at, &created);
                if (e == ERROR_FILE_NOT_FOUND) {
                    present = false;
                    break;
                }
                if (e != ERROR_SUCCESS)
                    return e;
            }
        }
    }
    if (present)
        return ERROR_SUCCESS;

    // The profile entry is written only when its folder and hive exist.
    std::string hive = UserHivePath();
    std::string folder = hive.substr(0, hive.rfind('/'));
    LONG e = ERROR_SUCCESS;
    bool withProfile = MakeDirs(folder) && Store::Open(hive, true, &e);

    std::lock_guard lock(s.Mutex());
    Transaction tx(s, true);
    if (tx.Status() != ERROR_SUCCESS)
        return tx.Status();
    int64_t key;
    bool created;
    for (const auto* path : {&services, &classes})
        if ((e = CreatePathIn(s, kRootKeyId, *path, &key, &created)) != ERROR_SUCCESS)
            return e;
    if (!withProfile)
        return tx.Commit();
    if ((e = CreatePathIn(s, kRootKeyId, profile, &key, &created)) != ERROR_SUCCESS)
        return e;
    if (created) {
        const std::string& image = id.profileFolder;
        DWORD zero = 0;
        if ((e = SetValueIn(s, key, "ProfileImagePath", REG_EXPAND_SZ, image.c_str(),
                            image.size() + 1)) != ERROR_SUCCESS ||
            (e = SetValueIn(s, key, "Sid", REG_BINARY, id.user.data(), id.user.size())) !=
                ERROR_SUCCESS ||
            (e = SetValueIn(s, key, "Flags", REG_DWORD, &zero, 4)) != ERROR_SUCCESS ||
            (e = SetValueIn(s, key, "State", REG_DWORD, &zero, 4)) != ERROR_SUCCESS)
            return e;
    }
    return tx.Commit();
}

// The machine store, opened (created and seeded on first use).
std::shared_ptr<Store> MachineStore(LONG* error) {
    std::string path = MachineStorePath();
    if (auto ready = Store::Ready(path))
        return ready;
    if (path.empty()) {
        *error = ERROR_REGISTRY_IO_FAILED;
        return nullptr;
    }
    auto store = Store::Open(path, true, error);
    if (!store)
        return nullptr;
    std::lock_guard lock(gSeedMutex);
    std::string tag = path + "#" + std::to_string(getpid());
    if (!SeededStores().count(tag)) {
        // A store this process may only read (or a profile folder it cannot
        // create) leaves the first-use contents missing but the registry
        // usable; damage shows up as errors of the operations themselves.
        Seed(*store);
        SeededStores().insert(tag);
    }
    store->MarkReady();
    return store;
}

std::shared_ptr<Store> OpenStore(const Location& at, LONG* error) {
    if (auto ready = Store::Ready(at.store))
        return ready;
    if (at.store == MachineStorePath())
        return MachineStore(error);
    if (at.store == UserHivePath()) {
        if (!MachineStore(error)) // seeds the user's hive
            return nullptr;
    }
    auto store = Store::Open(at.store, at.store == UserHivePath(), error);
    if (store)
        store->MarkReady();
    return store;
}

// Predefined key values carry Windows' 32-bit value, sign-extended or not.
bool PredefinedIndex(HKEY h, DWORD* index) {
    uint64_t v = reinterpret_cast<uintptr_t>(h);
    uint64_t high = v >> 32;
    DWORD low = static_cast<DWORD>(v & 0xffffffffu);
    if (sizeof(uintptr_t) > 4 && high != 0 && high != 0xffffffffu)
        return false;
    if (low < 0x80000000u || low > 0x80000006u)
        return false;
    *index = low - 0x80000000u;
    return true;
}

LONG ResolvePath(const Location& from, const std::vector<std::string>& parts, bool create,
                 Location* out, DWORD* disposition, const char* keyClass = nullptr);

// The location and access of a key handle (predefined or from the table).
LONG Resolve(HKEY h, Location* where, REGSAM* access) {
    DWORD index;
    if (PredefinedIndex(h, &index)) {
        *access = KEY_ALL_ACCESS;
        LONG e = ERROR_SUCCESS;
        switch (index) {
        case 2: // HKEY_LOCAL_MACHINE
            if (!MachineStore(&e))
                return e;
            *where = {MachineStorePath(), kRootKeyId, false};
            return ERROR_SUCCESS;
        case 3: // HKEY_USERS
            *where = {std::string(), 0, true};
            return ERROR_SUCCESS;
        case 1: // HKEY_CURRENT_USER
            if (!MachineStore(&e))
                return e;
            *where = {UserHivePath(), kRootKeyId, false};
            return ERROR_SUCCESS;
        case 0: { // HKEY_CLASSES_ROOT
            if (!MachineStore(&e))
                return e;
            std::vector<std::string> parts;
            SplitPath("SOFTWARE\\Classes", &parts);
            return ResolvePath({MachineStorePath(), kRootKeyId, false}, parts, true, where,
                               nullptr);
        }
        default:
            return ERROR_INVALID_HANDLE;
        }
    }
    auto key = LookupHandleAs<RegKey>(h, ObjectKind::RegistryKey);
    if (!key)
        return ERROR_INVALID_HANDLE;
    *where = key->where;
    *access = key->access;
    return ERROR_SUCCESS;
}

// Mount entry of a hive under HKEY_USERS.
LONG FindMount(const std::string& name, std::string* path) {
    LONG e = ERROR_SUCCESS;
    auto m = MachineStore(&e);
    if (!m)
        return e;
    std::lock_guard lock(m->Mutex());
    Query q(*m, "SELECT path FROM mounts WHERE lname=?");
    q.Text(1, FoldName(name));
    int rc = q.Step();
    if (rc == SQLITE_ROW) {
        *path = q.ColText(0);
        return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : q.error();
}

LONG ResolvePath(const Location& from, const std::vector<std::string>& parts, bool create,
                 Location* out, DWORD* disposition, const char* keyClass) {
    Location at = from;
    size_t first = 0;
    if (at.usersRoot) {
        if (parts.empty()) {
            *out = at;
            if (disposition)
                *disposition = REG_OPENED_EXISTING_KEY;
            return ERROR_SUCCESS;
        }
        std::string hive;
        LONG e = FindMount(parts[0], &hive);
        if (e == ERROR_FILE_NOT_FOUND && create)
            return ERROR_ACCESS_DENIED; // only RegLoadKeyA adds keys here
        if (e != ERROR_SUCCESS)
            return e;
        at = {hive, kRootKeyId, false};
        first = 1;
    }
    LONG e = ERROR_SUCCESS;
    auto s = OpenStore(at, &e);
    if (!s)
        return e;
    std::lock_guard lock(s->Mutex());
    Transaction tx(*s, create);
    if (tx.Status() != ERROR_SUCCESS)
        return tx.Status();
    if ((e = KeyExists(*s, at.id)) != ERROR_SUCCESS)
        return e;
    bool created = false;
    for (size_t i = first; i < parts.size(); ++i)
        if ((e = Child(*s, at.id, parts[i], create, &at.id, &created)) != ERROR_SUCCESS)
            return e;
    if (created && keyClass && *keyClass) {
        // The class is given to the key the call creates, as on Windows.
        Query c(*s, "UPDATE keys SET class=? WHERE id=?");
        c.Text(1, keyClass).Int(2, at.id);
        if (c.Step() != SQLITE_DONE)
            return c.error();
    }
    if (create && (e = tx.Commit()) != ERROR_SUCCESS)
        return e;
    *out = at;
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

REGSAM MapKeyAccess(REGSAM sam) {
    if (sam & GENERIC_READ)
        sam |= KEY_READ;
    if (sam & GENERIC_WRITE)
        sam |= KEY_WRITE;
    if (sam & GENERIC_EXECUTE)
        sam |= KEY_EXECUTE;
    if (sam & (GENERIC_ALL | MAXIMUM_ALLOWED))
        sam |= KEY_ALL_ACCESS;
    return sam & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

LONG NewKeyHandle(const Location& where, REGSAM access, PHKEY out) {
    auto key = std::make_shared<RegKey>();
    key->where = where;
    key->access = MapKeyAccess(access);
    HANDLE h = InsertHandle(key);
    if (!h)
        return ERROR_NOT_ENOUGH_MEMORY;
    *out = static_cast<HKEY>(h);
    return ERROR_SUCCESS;
}

LONG SetValueIn(Store& s, int64_t key, const std::string& name, DWORD type, const void* data,
                size_t size) {
    Query q(s, "INSERT INTO vals(key, name, lname, type, data) VALUES(?, ?, ?, ?, ?) "
               "ON CONFLICT(key, lname) DO UPDATE SET type=excluded.type, data=excluded.data");
    q.Int(1, key).Text(2, name).Text(3, FoldName(name)).Int(4, type).Blob(5, data, size);
    if (q.Step() != SQLITE_DONE)
        return q.error();
    Query t(s, "UPDATE keys SET mtime=? WHERE id=?");
    t.Int(1, NowFileTime()).Int(2, key);
    return t.Step() == SQLITE_DONE ? ERROR_SUCCESS : t.error();
}

// Runs `body` on the store of an open key, inside a transaction, after
// checking the handle's access and that the key still exists.
template <class Body>
LONG WithKey(HKEY hKey, REGSAM needed, bool write, Body body, LONG usersRootResult) {
    Location where;
    REGSAM access;
    LONG e = Resolve(hKey, &where, &access);
    if (e != ERROR_SUCCESS)
        return e;
    if ((access & needed) != needed)
        return ERROR_ACCESS_DENIED;
    if (where.usersRoot)
        return usersRootResult;
    auto s = OpenStore(where, &e);
    if (!s)
        return e;
    std::lock_guard lock(s->Mutex());
    if (!write) {
        // Reads run without a transaction; a deleted key has no values or
        // subkeys left, so only an empty answer needs the existence check.
        e = body(*s, where.id);
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_NO_MORE_ITEMS || e == ERROR_KEY_DELETED) {
            LONG exists = KeyExists(*s, where.id);
            if (exists != ERROR_SUCCESS)
                return exists;
        }
        return e;
    }
    Transaction tx(*s, true);
    if (tx.Status() != ERROR_SUCCESS)
        return tx.Status();
    if ((e = KeyExists(*s, where.id)) != ERROR_SUCCESS)
        return e;
    if ((e = body(*s, where.id)) != ERROR_SUCCESS)
        return e;
    return tx.Commit();
}

// Copies a name into a caller's character buffer (count in characters,
// including the terminator on input, excluding it on output).
LONG PutName(const std::string& name, LPSTR buffer, LPDWORD count) {
    if (!buffer || !count)
        return ERROR_INVALID_PARAMETER;
    if (*count <= name.size())
        return ERROR_MORE_DATA;
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *count = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

void PutFileTime(int64_t t, PFILETIME out) {
    if (!out)
        return;
    out->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(t) & 0xffffffffu);
    out->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(t) >> 32);
}

// The data-size protocol of RegQueryValueExA and RegEnumValueA. `have` is
// the caller's buffer size, read before anything is written (lpType and
// lpcbData may be one DWORD). A string stored without its terminator (two
// for REG_MULTI_SZ) gets them in the caller's buffer when there is room; the
// size reported stays the stored size.
LONG PutData(DWORD type, const std::vector<BYTE>& data, LPBYTE buffer, DWORD have, LPDWORD size) {
    if (!size)
        return buffer ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    *size = static_cast<DWORD>(data.size());
    if (!buffer)
        return ERROR_SUCCESS;
    if (have < data.size())
        return ERROR_MORE_DATA;
    if (!data.empty())
        std::memcpy(buffer, data.data(), data.size());
    // Terminators missing at the end of the stored bytes.
    size_t missing = 0;
    size_t n = data.size();
    if (type == REG_SZ || type == REG_EXPAND_SZ)
        missing = (n == 0 || data[n - 1] != 0) ? 1 : 0;
    else if (type == REG_MULTI_SZ)
        missing = (n == 0 || data[n - 1] != 0) ? 2 : (n < 2 || data[n - 2] != 0) ? 1 : 0;
    for (size_t at = data.size(); missing && at < have; --missing)
        buffer[at++] = 0;
    return ERROR_SUCCESS;
}

std::string CanonicalFile(const std::string& path) {
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf))
        return buf;
    return path;
}

// The key `subKey` names below the open key `hKey`, created when `create`
// is set (then `disposition` tells whether it was new).
LONG ResolveSubKey(HKEY hKey, LPCSTR subKey, bool create, Location* to, DWORD* disposition,
                   const char* keyClass = nullptr) {
    Location from;
    REGSAM access;
    std::vector<std::string> parts;
    LONG e = Resolve(hKey, &from, &access);
    if (e == ERROR_SUCCESS)
        e = SplitPath(subKey, &parts);
    if (e == ERROR_SUCCESS)
        e = ResolvePath(from, parts, create, to, disposition, keyClass);
    return e;
}

} // namespace
} // namespace w32p

using namespace w32p;

extern "C" LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                                        REGSAM samDesired, PHKEY phkResult) {
    (void)ulOptions;
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    Location to;
    LONG e = ResolveSubKey(hKey, lpSubKey, false, &to, nullptr);
    if (e == ERROR_SUCCESS)
        e = NewKeyHandle(to, samDesired, phkResult);
    return e;
}

extern "C" LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                                          DWORD dwOptions, REGSAM samDesired,
                                          const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                          PHKEY phkResult, LPDWORD lpdwDisposition) {
    (void)Reserved;
    (void)lpSecurityAttributes; // keys carry no security here
    if (!phkResult || !lpSubKey)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (dwOptions & ~static_cast<DWORD>(REG_LEGAL_OPTION))
        return ERROR_INVALID_PARAMETER;
    if (dwOptions & (REG_OPTION_CREATE_LINK | REG_OPTION_OPEN_LINK))
        return ERROR_NOT_SUPPORTED; // symbolic links are not provided
    Location to;
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    LONG e = ResolveSubKey(hKey, lpSubKey, true, &to, &disposition, lpClass);
    if (e == ERROR_SUCCESS)
        e = NewKeyHandle(to, samDesired, phkResult);
    if (e == ERROR_SUCCESS && lpdwDisposition)
        *lpdwDisposition = disposition;
    return e;
}

extern "C" LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    DWORD index;
    if (PredefinedIndex(hKey, &index))
        return ERROR_SUCCESS;
    return RemoveHandle(hKey, ObjectKind::RegistryKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

extern "C" LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved,
                                         DWORD dwType, const BYTE* lpData, DWORD cbData) {
    (void)Reserved;
    if (!lpData && cbData)
        return ERROR_NOACCESS;
    std::string name = lpValueName ? lpValueName : "";
    if (name.size() > kMaxValueNameLength)
        return ERROR_INVALID_PARAMETER;
    return WithKey(
        hKey, KEY_SET_VALUE, true,
        [&](Store& s, int64_t id) { return SetValueIn(s, id, name, dwType, lpData, cbData); },
        ERROR_ACCESS_DENIED);
}

extern "C" LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                           LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    DWORD have = lpcbData ? *lpcbData : 0;
    std::string name = lpValueName ? lpValueName : "";
    DWORD type = 0;
    std::vector<BYTE> data;
    LONG e = WithKey(
        hKey, KEY_QUERY_VALUE, false,
        [&](Store& s, int64_t id) -> LONG {
            Query q(s, "SELECT type, data FROM vals WHERE key=? AND lname=?");
            q.Int(1, id).Text(2, FoldName(name));
            int rc = q.Step();
            if (rc == SQLITE_DONE)
                return ERROR_FILE_NOT_FOUND;
            if (rc != SQLITE_ROW)
                return q.error();
            type = static_cast<DWORD>(q.ColInt(0));
            data = q.ColBlob(1);
            return ERROR_SUCCESS;
        },
        ERROR_FILE_NOT_FOUND);
    if (e == ERROR_FILE_NOT_FOUND && lpcbData && !lpData)
        *lpcbData = 0; // a size query of a missing value answers 0
    if (e != ERROR_SUCCESS)
        return e;
    if (lpType)
        *lpType = type;
    return PutData(type, data, lpData, have, lpcbData);
}

extern "C" LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    std::string name = lpValueName ? lpValueName : "";
    return WithKey(
        hKey, KEY_SET_VALUE, true,
        [&](Store& s, int64_t id) -> LONG {
            Query q(s, "DELETE FROM vals WHERE key=? AND lname=?");
            q.Int(1, id).Text(2, FoldName(name));
            if (q.Step() != SQLITE_DONE)
                return q.error();
            return sqlite3_changes(s.Db()) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
        },
        ERROR_FILE_NOT_FOUND);
}

extern "C" LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (!lpSubKey)
        return ERROR_INVALID_PARAMETER;
    Location target;
    LONG e = ResolveSubKey(hKey, lpSubKey, false, &target, nullptr);
    if (e != ERROR_SUCCESS)
        return e;
    if (target.usersRoot || target.id == kRootKeyId)
        return ERROR_ACCESS_DENIED; // roots of stores and hives stay
    auto s = OpenStore(target, &e);
    if (!s)
        return e;
    std::lock_guard lock(s->Mutex());
    Transaction tx(*s, true);
    if (tx.Status() != ERROR_SUCCESS)
        return tx.Status();
    if ((e = KeyExists(*s, target.id)) != ERROR_SUCCESS)
        return e == ERROR_KEY_DELETED ? ERROR_FILE_NOT_FOUND : e;
    Query children(*s, "SELECT 1 FROM keys WHERE parent=? LIMIT 1");
    children.Int(1, target.id);
    int rc = children.Step();
    if (rc == SQLITE_ROW)
        return ERROR_ACCESS_DENIED; // Windows refuses to delete a key with subkeys
    if (rc != SQLITE_DONE)
        return children.error();
    Query dv(*s, "DELETE FROM vals WHERE key=?");
    dv.Int(1, target.id);
    if (dv.Step() != SQLITE_DONE)
        return dv.error();
    Query dk(*s, "DELETE FROM keys WHERE id=?");
    dk.Int(1, target.id);
    if (dk.Step() != SQLITE_DONE)
        return dk.error();
    return tx.Commit();
}

extern "C" LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                        LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                        PFILETIME lpftLastWriteTime) {
    if (lpReserved || !lpName || !lpcchName || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    Location where;
    REGSAM access;
    LONG e = Resolve(hKey, &where, &access);
    if (e != ERROR_SUCCESS)
        return e;
    if (!(access & KEY_ENUMERATE_SUB_KEYS))
        return ERROR_ACCESS_DENIED;
    std::string name, cls;
    int64_t mtime = 0;
    if (where.usersRoot) {
        auto m = MachineStore(&e);
        if (!m)
            return e;
        std::lock_guard lock(m->Mutex());
        Query q(*m, "SELECT name FROM mounts ORDER BY lname LIMIT 1 OFFSET ?");
        q.Int(1, dwIndex);
        int rc = q.Step();
        if (rc == SQLITE_DONE)
            return ERROR_NO_MORE_ITEMS;
        if (rc != SQLITE_ROW)
            return q.error();
        name = q.ColText(0);
    } else {
        e = WithKey(
            hKey, KEY_ENUMERATE_SUB_KEYS, false,
            [&](Store& s, int64_t id) -> LONG {
                Query q(s, "SELECT name, class, mtime FROM keys WHERE parent=? "
                           "ORDER BY lname LIMIT 1 OFFSET ?");
                q.Int(1, id).Int(2, dwIndex);
                int rc = q.Step();
                if (rc == SQLITE_DONE)
                    return ERROR_NO_MORE_ITEMS;
                if (rc != SQLITE_ROW)
                    return q.error();
                name = q.ColText(0);
                cls = q.ColText(1);
                mtime = q.ColInt(2);
                return ERROR_SUCCESS;
            },
            ERROR_NO_MORE_ITEMS);
        if (e != ERROR_SUCCESS)
            return e;
    }
    if ((e = PutName(name, lpName, lpcchName)) != ERROR_SUCCESS)
        return e;
    if (lpClass && (e = PutName(cls, lpClass, lpcchClass)) != ERROR_SUCCESS)
        return e;
    PutFileTime(mtime, lpftLastWriteTime);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName,
                                        LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                        LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved || !lpValueName || !lpcchValueName || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    DWORD have = lpcbData ? *lpcbData : 0;
    std::string name;
    DWORD type = 0;
    std::vector<BYTE> data;
    LONG e = WithKey(
        hKey, KEY_QUERY_VALUE, false,
        [&](Store& s, int64_t id) -> LONG {
            Query q(s,
                    "SELECT name, type, data FROM vals WHERE key=? ORDER BY id LIMIT 1 OFFSET ?");
            q.Int(1, id).Int(2, dwIndex);
            int rc = q.Step();
            if (rc == SQLITE_DONE)
                return ERROR_NO_MORE_ITEMS;
            if (rc != SQLITE_ROW)
                return q.error();
            name = q.ColText(0);
            type = static_cast<DWORD>(q.ColInt(1));
            data = q.ColBlob(2);
            return ERROR_SUCCESS;
        },
        ERROR_NO_MORE_ITEMS);
    if (e != ERROR_SUCCESS)
        return e;
    if ((e = PutName(name, lpValueName, lpcchValueName)) != ERROR_SUCCESS)
        return e;
    if (lpType)
        *lpType = type;
    return PutData(type, data, lpData, have, lpcbData);
}

extern "C" LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass,
                                           LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                           LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                           LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                                           LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                           PFILETIME lpftLastWriteTime) {
    if (lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    Location where;
    REGSAM access;
    LONG e = Resolve(hKey, &where, &access);
    if (e != ERROR_SUCCESS)
        return e;
    DWORD subKeys = 0, maxSub = 0, maxClass = 0, values = 0, maxName = 0, maxData = 0;
    std::string cls;
    int64_t mtime = 0;
    if (where.usersRoot) {
        auto m = MachineStore(&e);
        if (!m)
            return e;
        std::lock_guard lock(m->Mutex());
        Query q(*m, "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0) FROM mounts");
        if (q.Step() != SQLITE_ROW)
            return q.error();
        subKeys = static_cast<DWORD>(q.ColInt(0));
        maxSub = static_cast<DWORD>(q.ColInt(1));
    } else {
        e = WithKey(
            hKey, KEY_QUERY_VALUE, false,
            [&](Store& s, int64_t id) -> LONG {
                Query k(s,
                        "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0), "
                        "coalesce(max(length(CAST(class AS BLOB))), 0) FROM keys WHERE parent=?");
                k.Int(1, id);
                if (k.Step() != SQLITE_ROW)
                    return k.error();
                subKeys = static_cast<DWORD>(k.ColInt(0));
                maxSub = static_cast<DWORD>(k.ColInt(1));
                maxClass = static_cast<DWORD>(k.ColInt(2));
                Query v(s, "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0), "
                           "coalesce(max(length(data)), 0) FROM vals WHERE key=?");
                v.Int(1, id);
                if (v.Step() != SQLITE_ROW)
                    return v.error();
                values = static_cast<DWORD>(v.ColInt(0));
                maxName = static_cast<DWORD>(v.ColInt(1));
                maxData = static_cast<DWORD>(v.ColInt(2));
                Query self(s, "SELECT class, mtime FROM keys WHERE id=?");
                self.Int(1, id);
                int rc = self.Step();
                if (rc != SQLITE_ROW)
                    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : self.error();
                cls = self.ColText(0);
                mtime = self.ColInt(1);
                return ERROR_SUCCESS;
            },
            ERROR_SUCCESS);
        if (e != ERROR_SUCCESS)
            return e;
    }
    if (lpClass && (e = PutName(cls, lpClass, lpcchClass)) != ERROR_SUCCESS)
        return e;
    if (lpcSubKeys)
        *lpcSubKeys = subKeys;
    if (lpcbMaxSubKeyLen)
        *lpcbMaxSubKeyLen = maxSub;
    if (lpcbMaxClassLen)
        *lpcbMaxClassLen = maxClass;
    if (lpcValues)
        *lpcValues = values;
    if (lpcbMaxValueNameLen)
        *lpcbMaxValueNameLen = maxName;
    if (lpcbMaxValueLen)
        *lpcbMaxValueLen = maxData;
    if (lpcbSecurityDescriptor)
        *lpcbSecurityDescriptor = 0;
    PutFileTime(mtime, lpftLastWriteTime);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegFlushKey(HKEY hKey) {
    Location where;
    REGSAM access;
    LONG e = Resolve(hKey, &where, &access);
    if (e != ERROR_SUCCESS || where.usersRoot)
        return e;
    auto s = OpenStore(where, &e);
    if (!s)
        return e;
    std::lock_guard lock(s->Mutex());
    if ((e = KeyExists(*s, where.id)) != ERROR_SUCCESS)
        return e;
    // Moves committed changes from the journal into the database file.
    int rc =
        sqlite3_wal_checkpoint_v2(s->Db(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return rc == SQLITE_OK || rc == SQLITE_BUSY ? ERROR_SUCCESS : Store::MapError(rc);
}

extern "C" LSTATUS WINAPI RegConnectRegistryA(LPCSTR lpMachineName, HKEY hKey, PHKEY phkResult) {
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (!IsThisMachine(lpMachineName))
        return ERROR_BAD_NETPATH;
    if (hKey != HKEY_LOCAL_MACHINE && hKey != HKEY_USERS)
        return ERROR_INVALID_HANDLE;
    Location where;
    REGSAM access;
    LONG e = Resolve(hKey, &where, &access);
    if (e != ERROR_SUCCESS)
        return e;
    return NewKeyHandle(where, KEY_ALL_ACCESS, phkResult);
}

namespace {

// HKEY_USERS, given as the predefined key or a connected handle to it.
LONG CheckUsersRoot(HKEY hKey) {
    Location where;
    REGSAM access;
    LONG e = Resolve(hKey, &where, &access);
    if (e != ERROR_SUCCESS)
        return e;
    // Hives load only under HKEY_USERS here (not under HKEY_LOCAL_MACHINE).
    return where.usersRoot ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

LONG CheckHiveName(LPCSTR lpSubKey) {
    if (!lpSubKey || !*lpSubKey || std::strchr(lpSubKey, '\\') ||
        std::strlen(lpSubKey) > kMaxKeyNameLength)
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

} // namespace

extern "C" LSTATUS WINAPI RegLoadKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpFile) {
    LONG e = CheckUsersRoot(hKey);
    if (e != ERROR_SUCCESS)
        return e;
    if ((e = CheckHiveName(lpSubKey)) != ERROR_SUCCESS)
        return e;
    if (!lpFile || !*lpFile)
        return ERROR_INVALID_PARAMETER;
    if (!ProcessPrivilegeEnabled(kLuidRestore))
        return ERROR_PRIVILEGE_NOT_HELD;
    auto m = MachineStore(&e);
    if (!m)
        return e;
    std::string file = MapWindowsPath(lpFile);
    // A missing file becomes a new, empty hive, as on Windows.
    auto hive = Store::Open(file, true, &e);
    if (!hive)
        return e == ERROR_REGISTRY_CORRUPT ? ERROR_BADDB : e;
    file = CanonicalFile(file);
    if (file == CanonicalFile(MachineStorePath()))
        return ERROR_SHARING_VIOLATION; // the machine store is in use as HKLM
    std::lock_guard lock(m->Mutex());
    Transaction tx(*m, true);
    if (tx.Status() != ERROR_SUCCESS)
        return tx.Status();
    Query byName(*m, "SELECT 1 FROM mounts WHERE lname=?");
    byName.Text(1, FoldName(lpSubKey));
    int rc = byName.Step();
    if (rc == SQLITE_ROW)
        return ERROR_ALREADY_EXISTS;
    if (rc != SQLITE_DONE)
        return byName.error();
    Query byFile(*m, "SELECT 1 FROM mounts WHERE path=?");
    byFile.Text(1, file);
    rc = byFile.Step();
    if (rc == SQLITE_ROW)
        return ERROR_SHARING_VIOLATION; // the same hive file is loaded already
    if (rc != SQLITE_DONE)
        return byFile.error();
    Query ins(*m, "INSERT INTO mounts(lname, name, path) VALUES(?, ?, ?)");
    ins.Text(1, FoldName(lpSubKey)).Text(2, lpSubKey).Text(3, file);
    if (ins.Step() != SQLITE_DONE)
        return ins.error();
    return tx.Commit();
}

extern "C" LSTATUS WINAPI RegUnLoadKeyA(HKEY hKey, LPCSTR lpSubKey) {
    LONG e = CheckUsersRoot(hKey);
    if (e != ERROR_SUCCESS)
        return e;
    if ((e = CheckHiveName(lpSubKey)) != ERROR_SUCCESS)
        return e;
    if (!ProcessPrivilegeEnabled(kLuidRestore))
        return ERROR_PRIVILEGE_NOT_HELD;
    auto m = MachineStore(&e);
    if (!m)
        return e;
    std::lock_guard lock(m->Mutex());
    Transaction tx(*m, true);
    if (tx.Status() != ERROR_SUCCESS)
        return tx.Status();
    Query del(*m, "DELETE FROM mounts WHERE lname=?");
    del.Text(1, FoldName(lpSubKey));
    if (del.Step() != SQLITE_DONE)
        return del.error();
    if (!sqlite3_changes(m->Db()))
        return ERROR_FILE_NOT_FOUND;
    return tx.Commit();
}
