// Registry: round trips, case rules, the size protocol, first-use contents,
// hives, several processes at once, and damaged stores.
#include <windows.h>

#include "temproot.h"
#include "token.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Registry = TempStateRoot;

HKEY Create(HKEY parent, const char* path, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(
        RegCreateKeyExA(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition),
        ERROR_SUCCESS)
        << path;
    return key;
}

void WaitOk(pid_t pid) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Registry, ValuesRoundTripWithTheirTypes) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test\\Values");
    const char text[] = "hello";
    const char multi[] = "a\0bc\0";
    DWORD number = 0x12345678;
    const BYTE blob[] = {0, 1, 2, 0xff};
    ASSERT_EQ(RegSetValueExA(key, "Text", 0, REG_SZ, (const BYTE*)text, sizeof text), 0);
    ASSERT_EQ(RegSetValueExA(key, "Path", 0, REG_EXPAND_SZ, (const BYTE*)"%X%", 4), 0);
    ASSERT_EQ(RegSetValueExA(key, "Multi", 0, REG_MULTI_SZ, (const BYTE*)multi, sizeof multi), 0);
    ASSERT_EQ(RegSetValueExA(key, "Number", 0, REG_DWORD, (const BYTE*)&number, 4), 0);
    ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob, sizeof blob), 0);
    ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, (const BYTE*)"def", 4), 0);

    struct {
        const char* name;
        DWORD type;
        const void* data;
        DWORD size;
    } expected[] = {{"text", REG_SZ, text, sizeof text},          {"PATH", REG_EXPAND_SZ, "%X%", 4},
                    {"Multi", REG_MULTI_SZ, multi, sizeof multi}, {"number", REG_DWORD, &number, 4},
                    {"BLOB", REG_BINARY, blob, sizeof blob},      {"", REG_SZ, "def", 4}};
    for (const auto& e : expected) {
        BYTE buf[64] = {};
        DWORD type = 0, size = sizeof buf;
        ASSERT_EQ(RegQueryValueExA(key, e.name, nullptr, &type, buf, &size), ERROR_SUCCESS)
            << e.name;
        EXPECT_EQ(type, e.type) << e.name;
        ASSERT_EQ(size, e.size) << e.name;
        EXPECT_EQ(std::memcmp(buf, e.data, size), 0) << e.name;
    }
    // Overwriting keeps one value under the first spelling of its name.
    ASSERT_EQ(RegSetValueExA(key, "TEXT", 0, REG_SZ, (const BYTE*)"x", 2), 0);
    char name[32];
    DWORD nameLen = sizeof name;
    ASSERT_EQ(RegEnumValueA(key, 0, name, &nameLen, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(name, "Text");
    EXPECT_EQ(nameLen, 4u);
    DWORD count = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                               nullptr, nullptr, nullptr, nullptr),
              0);
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(Registry, QuerySizeProtocol) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test");
    const char text[] = "0123456789";
    ASSERT_EQ(RegSetValueExA(key, "V", 0, REG_SZ, (const BYTE*)text, sizeof text), 0);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof text);
    char small[4];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, (BYTE*)small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof text);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(RegQueryValueExA(key, "missing", nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, (BYTE*)small, nullptr),
              ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(key, "V", &reserved, &type, nullptr, &size),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key, "V", 0, REG_SZ, nullptr, 4), ERROR_NOACCESS);
    RegCloseKey(key);
}

// Strings stored without their terminators come back terminated when the
// caller's buffer has room; the size stays the stored one.
TEST_F(Registry, UnterminatedStringsReadBackTerminated) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test");
    ASSERT_EQ(RegSetValueExA(key, "Sz", 0, REG_SZ, (const BYTE*)"abc", 3), 0);
    ASSERT_EQ(RegSetValueExA(key, "Exp", 0, REG_EXPAND_SZ, (const BYTE*)"%X%", 3), 0);
    ASSERT_EQ(RegSetValueExA(key, "Multi", 0, REG_MULTI_SZ, (const BYTE*)"a\0b", 3), 0);
    ASSERT_EQ(RegSetValueExA(key, "Multi1", 0, REG_MULTI_SZ, (const BYTE*)"a\0b\0", 4), 0);
    ASSERT_EQ(RegSetValueExA(key, "Bin", 0, REG_BINARY, (const BYTE*)"xyz", 3), 0);
    struct {
        const char* name;
        DWORD room;         // buffer size
        DWORD stored;       // size reported
        const char* expect; // the buffer's first five bytes ('#' untouched)
    } cases[] = {
        {"Sz", 8, 3, "abc\0#"},     {"Exp", 8, 3, "%X%\0#"},      {"Multi", 8, 3, "a\0b\0\0"},
        {"Multi", 4, 3, "a\0b\0#"}, {"Multi1", 8, 4, "a\0b\0\0"}, {"Sz", 3, 3, "abc##"},
        {"Bin", 8, 3, "xyz##"}, // binary data is never touched
    };
    for (const auto& c : cases) {
        char buf[16];
        memset(buf, '#', sizeof buf);
        DWORD size = c.room;
        ASSERT_EQ(RegQueryValueExA(key, c.name, nullptr, nullptr, (BYTE*)buf, &size), 0) << c.name;
        EXPECT_EQ(size, c.stored) << c.name;
        EXPECT_EQ(std::string(buf, 5), std::string(c.expect, 5)) << c.name << " in " << c.room;
    }
    // RegEnumValueA follows the same rule.
    char name[16], buf[8];
    memset(buf, '#', sizeof buf);
    DWORD nameLen = sizeof name, size = sizeof buf, type = 0;
    ASSERT_EQ(RegEnumValueA(key, 0, name, &nameLen, nullptr, &type, (BYTE*)buf, &size), 0);
    EXPECT_STREQ(name, "Sz");
    EXPECT_EQ(std::string(buf, 4), std::string("abc\0", 4));
    RegCloseKey(key);
}

TEST_F(Registry, QueryCornersOfTheSizeArgument) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test");
    ASSERT_EQ(RegSetValueExA(key, "V", 0, REG_SZ, (const BYTE*)"hello", 6), 0);
    // Type and size in one DWORD: the size is read before the type is written.
    char buf[16];
    DWORD both = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &both, (BYTE*)buf, &both), ERROR_SUCCESS);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(both, 6u);
    char name[8];
    DWORD nameLen = sizeof name;
    both = sizeof buf;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLen, nullptr, &both, (BYTE*)buf, &both),
              ERROR_SUCCESS);
    EXPECT_EQ(both, 6u);
    // A size query of a missing value answers 0.
    DWORD size = 1234;
    EXPECT_EQ(RegQueryValueExA(key, "missing", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(size, 0u);
    // Flushing a deleted key reports the deletion, as every other operation does.
    HKEY sub = Create(key, "Sub");
    EXPECT_EQ(RegFlushKey(sub), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(key, "Sub"), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(sub), ERROR_KEY_DELETED);
    RegCloseKey(sub);
    EXPECT_EQ(RegFlushKey(key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(Registry, KeysCreateOpenEnumerateDelete) {
    DWORD disposition = 0;
    HKEY a = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Co\\App", &disposition);
    EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);
    HKEY again = Create(HKEY_LOCAL_MACHINE, "software\\CO\\app\\", &disposition);
    EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
    RegCloseKey(again);
    for (const char* name : {"zeta", "Alpha", "beta"})
        RegCloseKey(Create(a, name));
    char cls[] = "MyClass";
    HKEY withClass = nullptr;
    ASSERT_EQ(
        RegCreateKeyExA(a, "zeta\\classy", 0, cls, 0, KEY_ALL_ACCESS, nullptr, &withClass, nullptr),
        ERROR_SUCCESS);
    char got[16];
    DWORD gotLen = sizeof got;
    ASSERT_EQ(RegQueryInfoKeyA(withClass, got, &gotLen, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(got, "MyClass");
    EXPECT_EQ(gotLen, 7u);
    RegCloseKey(withClass);

    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD len = sizeof name;
        LONG rc = RegEnumKeyExA(a, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        names.emplace_back(name, len);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "zeta"}));
    DWORD tiny = 3;
    EXPECT_EQ(RegEnumKeyExA(a, 0, name, &tiny, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);

    HKEY opened = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\co\\APP\\ALPHA", 0, KEY_READ, &opened),
              ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Co\\Nope", 0, KEY_READ, &opened),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(opened, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\SOFTWARE", 0, KEY_READ, &opened),
              ERROR_BAD_PATHNAME);

    // A key with subkeys stays; a deleted key's handles report the deletion.
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Co\\App"), ERROR_ACCESS_DENIED);
    HKEY alpha = nullptr;
    ASSERT_EQ(RegOpenKeyExA(a, "alpha", 0, KEY_ALL_ACCESS, &alpha), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(a, "ALPHA"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(a, "ALPHA"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExA(alpha, "x", 0, REG_DWORD, (const BYTE*)&tiny, 4), ERROR_KEY_DELETED);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(alpha, "x", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryInfoKeyA(alpha, nullptr, nullptr, nullptr, &size, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    RegCloseKey(alpha);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);

    ASSERT_EQ(RegSetValueExA(a, "v", 0, REG_DWORD, (const BYTE*)&tiny, 4), 0);
    EXPECT_EQ(RegDeleteValueA(a, "V"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(a, "V"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(a);
}

TEST_F(Registry, HandleRightsAndBadHandles) {
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\R"));
    HKEY ro = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\R", 0, KEY_READ, &ro), 0);
    DWORD v = 1;
    EXPECT_EQ(RegSetValueExA(ro, "x", 0, REG_DWORD, (const BYTE*)&v, 4), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(ro, "x"), ERROR_ACCESS_DENIED);
    // Handles are small table values that survive a 32-bit round trip.
    uintptr_t value = reinterpret_cast<uintptr_t>(ro);
    EXPECT_LT(value, 0x80000000u);
    EXPECT_EQ(value % 4, 0u);
    EXPECT_EQ(RegCloseKey(ro), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(ro), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExA(ro, "x", 0, REG_DWORD, (const BYTE*)&v, 4), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    // A predefined key given as its unsigned 32-bit value works too.
    HKEY zeroExtended = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u));
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(zeroExtended, "SOFTWARE\\R", 0, KEY_READ, &k), ERROR_SUCCESS);
    RegCloseKey(k);
}

TEST_F(Registry, FirstUseHoldsProfileListAndServices) {
    std::string sid = w32p::SidText(w32p::ProcessIdentity().user.data());
    std::string path = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + sid;
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key), 0);
    char image[261];
    DWORD type = 0, size = sizeof image;
    ASSERT_EQ(RegQueryValueExA(key, "ProfileImagePath", nullptr, &type, (BYTE*)image, &size), 0);
    EXPECT_EQ(type, (DWORD)REG_EXPAND_SZ);
    ASSERT_EQ(std::string(image, 3), "C:\\");
    RegCloseKey(key);
    // The profile folder exists under the root and holds the user's hive.
    std::string folder = root_ + "/drives/c/" + std::string(image + 3);
    for (char& c : folder)
        if (c == '\\')
            c = '/';
    struct stat st;
    EXPECT_EQ(stat((folder + "/NTUser.dat").c_str(), &st), 0) << folder;

    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services", 0, KEY_READ, &key),
        0);
    RegCloseKey(key);
    // HKEY_CURRENT_USER is that hive, usable without loading it.
    HKEY cu = Create(HKEY_CURRENT_USER, "Software\\Mine");
    EXPECT_EQ(RegSetValueExA(cu, "a", 0, REG_SZ, (const BYTE*)"b", 2), 0);
    RegCloseKey(cu);
}

TEST_F(Registry, UsableWhenTheProfileFolderCannotBeMade) {
    // drives/c is a file, so no profile folder can be created under it.
    ASSERT_EQ(mkdir((root_ + "/drives").c_str(), 0700), 0);
    std::ofstream(root_ + "/drives/c") << "x";
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\StillWorks");
    EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_SZ, (const BYTE*)"1", 2), ERROR_SUCCESS);
    RegCloseKey(key);
    std::string sid = w32p::SidText(w32p::ProcessIdentity().user.data());
    std::string path = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + sid;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services", 0, KEY_READ, &key),
        ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(Registry, ConnectRegistryAcceptsOnlyThisMachine) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string unc = std::string("\\\\") + host;
    for (const char* name : {(const char*)nullptr, "", (const char*)host, unc.c_str()}) {
        HKEY key = nullptr;
        ASSERT_EQ(RegConnectRegistryA(name, HKEY_LOCAL_MACHINE, &key), ERROR_SUCCESS)
            << (name ? name : "(null)");
        HKEY svc = nullptr;
        EXPECT_EQ(RegOpenKeyExA(key, "System\\CurrentControlSet\\Services", 0, KEY_READ, &svc), 0);
        RegCloseKey(svc);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegConnectRegistryA("no-such-host-xyz", HKEY_LOCAL_MACHINE, &key), ERROR_BAD_NETPATH);
    EXPECT_EQ(RegConnectRegistryA("\\\\no-such-host-xyz", HKEY_LOCAL_MACHINE, &key),
              ERROR_BAD_NETPATH);
    EXPECT_EQ(RegConnectRegistryA(nullptr, HKEY_CURRENT_USER, &key), ERROR_INVALID_HANDLE);
}

bool SetPrivilege(const char* name, bool on) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES tp = {};
    tp.PrivilegeCount = 1;
    LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid);
    tp.Privileges[0].Attributes = on ? SE_PRIVILEGE_ENABLED : 0;
    BOOL ok = AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
    DWORD err = GetLastError();
    CloseHandle(token);
    return ok && err == ERROR_SUCCESS;
}

TEST_F(Registry, LoadKeyNeedsRestorePrivilegeAndMountsAHive) {
    if (!w32p::ProcessIdentity().system)
        GTEST_SKIP() << "needs root (LocalSystem); the unprivileged case runs in the token tests";
    std::string hive = root_ + "/hive.dat";
    ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, false));
    EXPECT_EQ(RegLoadKeyA(HKEY_USERS, "S-1-5-21-1-2-3-1001", hive.c_str()),
              ERROR_PRIVILEGE_NOT_HELD);
    ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, true));
    EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "X", hive.c_str()), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegLoadKeyA(HKEY_USERS, "a\\b", hive.c_str()), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(RegLoadKeyA(HKEY_USERS, "S-1-5-21-1-2-3-1001", hive.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(RegLoadKeyA(HKEY_USERS, "s-1-5-21-1-2-3-1001", hive.c_str()), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(RegLoadKeyA(HKEY_USERS, "Other", hive.c_str()), ERROR_SHARING_VIOLATION);

    HKEY k = Create(HKEY_USERS, "S-1-5-21-1-2-3-1001\\Environment");
    ASSERT_EQ(RegSetValueExA(k, "TEMP", 0, REG_SZ, (const BYTE*)"t", 2), 0);
    RegCloseKey(k);
    char name[64];
    DWORD len = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(HKEY_USERS, 0, name, &len, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(name, "S-1-5-21-1-2-3-1001");
    HKEY direct = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_USERS, "NotLoaded", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &direct, nullptr),
              ERROR_ACCESS_DENIED);

    // Unloading and loading again finds the data in the hive file.
    ASSERT_EQ(RegUnLoadKeyA(HKEY_USERS, "S-1-5-21-1-2-3-1001"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, "S-1-5-21-1-2-3-1001", 0, KEY_READ, &k),
              ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegLoadKeyA(HKEY_USERS, "Again", hive.c_str()), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, "again\\environment", 0, KEY_READ, &k), 0);
    char data[8];
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(k, "temp", nullptr, nullptr, (BYTE*)data, &size), 0);
    RegCloseKey(k);

    // A file that is no hive is refused and left as it was.
    std::string junk = root_ + "/junk.dat";
    std::ofstream(junk) << std::string(4096, 'j');
    EXPECT_EQ(RegLoadKeyA(HKEY_USERS, "Junk", junk.c_str()), ERROR_BADDB);
    struct stat st;
    ASSERT_EQ(stat(junk.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4096);
    SetPrivilege(SE_RESTORE_NAME, false);
}

TEST_F(Registry, CorruptStoreGivesAnErrorAndStaysUntouched) {
    std::string store = root_ + "/registry.db";
    std::string garbage(8192, '\x5a');
    std::ofstream(store, std::ios::binary) << garbage;
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System", 0, KEY_READ, &key);
    EXPECT_NE(rc, ERROR_SUCCESS);
    EXPECT_EQ(key, nullptr);
    rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                         &key, nullptr);
    EXPECT_NE(rc, ERROR_SUCCESS);
    std::ifstream in(store, std::ios::binary);
    std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(after, garbage);
}

TEST_F(Registry, TruncatedStoreGivesErrorsNotAnEmptyRegistry) {
    // A first process fills the store and flushes it into the main file.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        HKEY k = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Filled", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &k, nullptr))
            _exit(2);
        std::vector<BYTE> data(3000, 0x42);
        for (int i = 0; i < 200; ++i) {
            std::string name = "v" + std::to_string(i);
            if (RegSetValueExA(k, name.c_str(), 0, REG_BINARY, data.data(), (DWORD)data.size()))
                _exit(3);
        }
        _exit(RegFlushKey(k) == ERROR_SUCCESS ? 0 : 4);
    }
    WaitOk(pid);
    std::string store = root_ + "/registry.db";
    unlink((store + "-wal").c_str());
    unlink((store + "-shm").c_str());
    struct stat st;
    ASSERT_EQ(stat(store.c_str(), &st), 0);
    off_t half = st.st_size / 2;
    ASSERT_EQ(truncate(store.c_str(), half), 0);

    // A second process sees errors, not a registry without the data.
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        HKEY k = nullptr;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Filled", 0, KEY_READ, &k);
        int missing = 0;
        if (rc == ERROR_SUCCESS) {
            for (int i = 0; i < 200; ++i) {
                std::string name = "v" + std::to_string(i);
                DWORD size = 0;
                LONG q = RegQueryValueExA(k, name.c_str(), nullptr, nullptr, nullptr, &size);
                if (q == ERROR_FILE_NOT_FOUND)
                    ++missing; // a silently lost value
            }
        } else if (rc == ERROR_FILE_NOT_FOUND) {
            _exit(5); // the key silently vanished
        }
        _exit(missing ? 6 : 0);
    }
    WaitOk(pid);
    ASSERT_EQ(stat(store.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, half);
}

TEST_F(Registry, ProcessesCreatingTheStoreAtOnce) {
    // No warm-up: every child may be the one that creates the store.
    constexpr int kChildren = 5;
    std::vector<pid_t> pids;
    for (int i = 0; i < kChildren; ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string path = "SOFTWARE\\First\\k" + std::to_string(i);
            HKEY k = nullptr;
            LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, &k, nullptr);
            _exit(rc == ERROR_SUCCESS ? 0 : 10 + (rc & 0x7f));
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids)
        WaitOk(pid);
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\First", 0, KEY_READ, &k), 0);
    DWORD keys = 0;
    ASSERT_EQ(RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, &keys, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              0);
    EXPECT_EQ(keys, (DWORD)kChildren);
    RegCloseKey(k);
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services", 0, KEY_READ, &k),
        0);
    RegCloseKey(k);
}

TEST_F(Registry, ConcurrentCreateReportsOneNewKey) {
    // Warm the store so that the children race only on the key.
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Race"));
    constexpr int kChildren = 6;
    std::vector<pid_t> pids;
    for (int i = 0; i < kChildren; ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            HKEY k = nullptr;
            DWORD d = 0;
            LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Race\\Once", 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, &k, &d);
            _exit(rc != ERROR_SUCCESS ? 3 : d == REG_CREATED_NEW_KEY ? 1 : 0);
        }
        pids.push_back(pid);
    }
    int created = 0;
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_NE(WEXITSTATUS(status), 3);
        created += WEXITSTATUS(status);
    }
    EXPECT_EQ(created, 1);
}

TEST_F(Registry, TwoProcessesWriteAtOnce) {
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Both"));
    constexpr DWORD kEach = 150;
    std::vector<pid_t> pids;
    for (int p = 0; p < 2; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            HKEY k = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Both", 0, KEY_ALL_ACCESS, &k))
                _exit(2);
            for (DWORD i = 0; i < kEach; ++i) {
                std::string name = "p" + std::to_string(p) + "-" + std::to_string(i);
                if (RegSetValueExA(k, name.c_str(), 0, REG_DWORD, (const BYTE*)&i, 4))
                    _exit(3);
                HKEY sub = nullptr;
                if (RegCreateKeyExA(k, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub,
                                    nullptr))
                    _exit(4);
                RegCloseKey(sub);
            }
            _exit(0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids)
        WaitOk(pid);
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Both", 0, KEY_READ, &k), 0);
    DWORD values = 0, keys = 0;
    ASSERT_EQ(RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, &keys, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              0);
    EXPECT_EQ(values, 2 * kEach);
    EXPECT_EQ(keys, 2 * kEach);
    RegCloseKey(k);
}

TEST_F(Registry, ThreadsShareTheStore) {
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Threads"));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &failures] {
            for (DWORD i = 0; i < 60; ++i) {
                HKEY k = nullptr;
                if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Threads", 0, KEY_ALL_ACCESS, &k)) {
                    ++failures;
                    continue;
                }
                std::string name = "t" + std::to_string(t);
                DWORD out = 0, size = 4;
                if (RegSetValueExA(k, name.c_str(), 0, REG_DWORD, (const BYTE*)&i, 4) ||
                    RegQueryValueExA(k, name.c_str(), nullptr, nullptr, (BYTE*)&out, &size) ||
                    out != i)
                    ++failures;
                RegCloseKey(k);
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(Registry, ForkedChildKeepsItsWritesAfterItsParentExits) {
    // A uses the store and forks B without exec; B writes, A exits; then a
    // short-lived connection elsewhere closes (it checkpoints and removes the
    // journal when it believes it is the last user); B writes again. B's
    // second writes must reach the store: B has to hold locks of its own.
    int toTest[2], toB[2];
    ASSERT_EQ(pipe(toTest), 0);
    ASSERT_EQ(pipe(toB), 0);
    pid_t a = fork();
    ASSERT_GE(a, 0);
    if (a == 0) {
        HKEY k = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Forked", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &k, nullptr))
            _exit(2);
        pid_t b = fork();
        if (b != 0)
            _exit(b > 0 ? 0 : 3);
        auto batch = [&](const char* prefix) {
            char ok = 1;
            for (DWORD i = 0; i < 20; ++i) {
                std::string name = prefix + std::to_string(i);
                if (RegSetValueExA(k, name.c_str(), 0, REG_DWORD, (const BYTE*)&i, 4))
                    ok = 0;
            }
            return ok;
        };
        char ok = batch("first");
        char go;
        if (write(toTest[1], &ok, 1) != 1 || read(toB[0], &go, 1) != 1)
            _exit(4);
        ok = batch("second");
        _exit(write(toTest[1], &ok, 1) == 1 ? 0 : 5);
    }
    WaitOk(a); // A is gone; B lives on
    char ok = 0;
    ASSERT_EQ(read(toTest[0], &ok, 1), 1);
    ASSERT_EQ(ok, 1);
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((root_ + "/registry.db").c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "SELECT count(*) FROM vals", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    ASSERT_EQ(write(toB[1], "g", 1), 1);
    ASSERT_EQ(read(toTest[0], &ok, 1), 1);
    ASSERT_EQ(ok, 1);
    usleep(100000); // let B exit
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Forked", 0, KEY_READ, &k), 0);
    for (const char* prefix : {"first", "second"})
        for (DWORD i = 0; i < 20; ++i) {
            std::string name = prefix + std::to_string(i);
            DWORD size = 0;
            EXPECT_EQ(RegQueryValueExA(k, name.c_str(), nullptr, nullptr, nullptr, &size), 0)
                << name;
        }
    RegCloseKey(k);
    for (int fd : {toTest[0], toTest[1], toB[0], toB[1]})
        close(fd);
}

TEST_F(Registry, KilledWriterLosesNothingCommitted) {
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kill"));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        HKEY k = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kill", 0, KEY_ALL_ACCESS, &k))
            _exit(2);
        std::vector<BYTE> big(20000, 0xab);
        for (DWORD i = 0;; ++i) {
            std::string name = "v" + std::to_string(i);
            big[0] = static_cast<BYTE>(i);
            if (RegSetValueExA(k, name.c_str(), 0, REG_BINARY, big.data(), (DWORD)big.size()))
                _exit(3);
            // Reported only once the write has returned (committed).
            if (write(fds[1], &i, sizeof i) != sizeof i)
                _exit(4);
        }
    }
    close(fds[1]);
    DWORD last = 0, got = 0;
    while (got < 40 && read(fds[0], &last, sizeof last) == sizeof last)
        ++got;
    kill(pid, SIGKILL);
    // Drain what the child reported before it died.
    while (read(fds[0], &last, sizeof last) == sizeof last)
        ++got;
    close(fds[0]);
    int status;
    waitpid(pid, &status, 0);
    ASSERT_GE(got, 40u);

    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kill", 0, KEY_READ, &k), 0);
    for (DWORD i = 0; i <= last; ++i) {
        std::string name = "v" + std::to_string(i);
        DWORD size = 0;
        ASSERT_EQ(RegQueryValueExA(k, name.c_str(), nullptr, nullptr, nullptr, &size), 0) << name;
        EXPECT_EQ(size, 20000u);
    }
    RegCloseKey(k);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root_ + "/registry.db").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
    sqlite3_finalize(st);
    sqlite3_close(db);
}

} // namespace
