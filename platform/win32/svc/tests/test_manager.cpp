// Manager-side calls: connections, the database and its registry form,
// validation errors, deletion, locks, security and concurrent creators.
#include "scmtest.h"

#include "../../tests/lastcheck.h"

#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

namespace {

std::vector<char> QueryConfig(SC_HANDLE svc) {
    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceConfigA(svc, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<char> buf(needed);
    DWORD again = 0;
    EXPECT_TRUE(QueryServiceConfigA(svc, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data()),
                                    needed, &again));
    return buf;
}

std::vector<std::string> MultiSz(const char* p) {
    std::vector<std::string> out;
    for (; p && *p; p += strlen(p) + 1)
        out.emplace_back(p);
    return out;
}

int RunInChild(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST_F(ScmTest, OpenManagerChecksMachineAndDatabase) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string unc = std::string("\\\\") + host;
    for (const char* m :
         {static_cast<const char*>(nullptr), "", static_cast<const char*>(host), unc.c_str()}) {
        Handle mgr(OpenSCManagerA(m, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CONNECT));
        EXPECT_NE(mgr.h, nullptr) << (m ? m : "(null)");
    }
    EXPECT_EQ(OpenSCManagerA("no-such-host-here", nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(OpenSCManagerA(nullptr, "ServicesFoo", SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(OpenSCManagerA(nullptr, SERVICES_FAILED_DATABASEA, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DATABASE_DOES_NOT_EXIST));
    // Success sets the last error to 0.
    SetLastError(1234);
    Handle ok(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    ASSERT_NE(ok.h, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_FALSE(CloseServiceHandle(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ScmTest, CreateStoresWindowsValuesAndQueriesThemBack) {
    Handle mgr(Manager());
    ASSERT_NE(mgr.h, nullptr);
    const char deps[] = "Tcpip\0+NetGroup\0Afd\0";
    DWORD tag = 0;
    Handle svc(CreateServiceA(mgr.h, "Alpha", "Alpha Service", SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS,
                              SERVICE_AUTO_START, SERVICE_ERROR_SEVERE, "/bin/true -x", "Grp", &tag,
                              deps, nullptr, "secret-password"));
    ASSERT_NE(svc.h, nullptr) << GetLastError();
    EXPECT_EQ(tag, 1u);

    auto buf = QueryConfig(svc.h);
    auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data());
    EXPECT_EQ(cfg->dwServiceType, 0x110u);
    EXPECT_EQ(cfg->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(cfg->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_SEVERE));
    EXPECT_STREQ(cfg->lpBinaryPathName, "/bin/true -x");
    EXPECT_STREQ(cfg->lpLoadOrderGroup, "Grp");
    EXPECT_EQ(cfg->dwTagId, 1u);
    EXPECT_STREQ(cfg->lpDisplayName, "Alpha Service");
    EXPECT_STREQ(cfg->lpServiceStartName, "LocalSystem");
    EXPECT_EQ(MultiSz(cfg->lpDependencies),
              (std::vector<std::string>{"Tcpip", "Afd", "+NetGroup"}));
    // Every string lies inside the caller's buffer.
    for (const char* p : {cfg->lpBinaryPathName, cfg->lpLoadOrderGroup, cfg->lpDisplayName,
                          cfg->lpServiceStartName, cfg->lpDependencies}) {
        EXPECT_GE(p, buf.data());
        EXPECT_LT(p, buf.data() + buf.size());
    }
    // One byte short fails with the same size.
    DWORD needed = 0;
    std::vector<char> small(buf.size() - 1);
    EXPECT_FALSE(QueryServiceConfigA(svc.h, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(small.data()),
                                     static_cast<DWORD>(small.size()), &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, buf.size());

    // The registry holds Windows' values, and no password anywhere.
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Alpha", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD type = 0, value = 0, size = sizeof value;
    EXPECT_EQ(
        RegQueryValueExA(key, "Start", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 2u);
    char text[256];
    size = sizeof text;
    EXPECT_EQ(
        RegQueryValueExA(key, "ObjectName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
        ERROR_SUCCESS);
    EXPECT_STREQ(text, "LocalSystem");
    size = sizeof text;
    EXPECT_EQ(RegQueryValueExA(key, "DependOnGroup", nullptr, &type, reinterpret_cast<BYTE*>(text),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_STREQ(text, "NetGroup");
    RegCloseKey(key);
    std::string grep = "grep -rqa secret-password '" + root + "'";
    EXPECT_NE(system(grep.c_str()), 0);

    // A description written into the registry is what the manager reports.
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Alpha", 0,
                            KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    const char desc[] = "Written directly";
    RegSetValueExA(key, "Description", 0, REG_SZ, reinterpret_cast<const BYTE*>(desc), sizeof desc);
    RegCloseKey(key);
    char dbuf[256];
    ASSERT_TRUE(QueryServiceConfig2A(svc.h, SERVICE_CONFIG_DESCRIPTION,
                                     reinterpret_cast<BYTE*>(dbuf), sizeof dbuf, &needed));
    EXPECT_STREQ(reinterpret_cast<SERVICE_DESCRIPTIONA*>(dbuf)->lpDescription, desc);
    // And the reverse.
    char other[] = "Through the manager";
    SERVICE_DESCRIPTIONA sd{other};
    ASSERT_TRUE(ChangeServiceConfig2A(svc.h, SERVICE_CONFIG_DESCRIPTION, &sd));
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Alpha", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    size = sizeof text;
    EXPECT_EQ(
        RegQueryValueExA(key, "Description", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
        ERROR_SUCCESS);
    EXPECT_STREQ(text, other);
    RegCloseKey(key);
}

TEST_F(ScmTest, CreateRejectsBadInput) {
    Handle mgr(Manager());
    auto create = [&](const char* name, const char* display, DWORD type, DWORD start, DWORD err,
                      const char* path, const char* account = nullptr, const char* deps = nullptr) {
        SC_HANDLE h = CreateServiceA(mgr.h, name, display, SERVICE_ALL_ACCESS, type, start, err,
                                     path, nullptr, nullptr, deps, account, nullptr);
        DWORD code = h ? 0 : GetLastError();
        if (h)
            CloseServiceHandle(h);
        return code;
    };
    const DWORD own = SERVICE_WIN32_OWN_PROCESS;
    std::string longName(257, 'n');
    EXPECT_EQ(create("", nullptr, own, 3, 1, "/bin/true"), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(create("a\\b", nullptr, own, 3, 1, "/bin/true"),
              static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(create("a/b", nullptr, own, 3, 1, "/bin/true"),
              static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(create(longName.c_str(), nullptr, own, 3, 1, "/bin/true"),
              static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(create("x", longName.c_str(), own, 3, 1, "/bin/true"),
              static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(create("x", nullptr, own, 3, 1, nullptr), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    EXPECT_EQ(create("x", nullptr, own, 3, 1, ""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(create("x", nullptr, 0x40, 3, 1, "/bin/true"),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(create("x", nullptr, own, 7, 1, "/bin/true"),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(create("x", nullptr, own, 0, 1, "/bin/true"),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(create("x", nullptr, own, 3, 9, "/bin/true"),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(create("x", nullptr, own | SERVICE_INTERACTIVE_PROCESS, 3, 1, "/bin/true", ".\\bob"),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(create("x", nullptr, own, 3, 1, "/bin/true", nullptr, "x\0"),
              static_cast<DWORD>(ERROR_CIRCULAR_DEPENDENCY));
    // Nothing was left behind by the failures.
    Handle none(OpenServiceA(mgr.h, "x", SERVICE_QUERY_STATUS));
    EXPECT_EQ(none.h, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

    EXPECT_EQ(create("One", "First", own, 3, 1, "/bin/true"), 0u);
    EXPECT_EQ(create("one", nullptr, own, 3, 1, "/bin/true"),
              static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    EXPECT_EQ(create("Two", "first", own, 3, 1, "/bin/true"),
              static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
    EXPECT_EQ(create("Two", "ONE", own, 3, 1, "/bin/true"),
              static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
    EXPECT_EQ(create("First", nullptr, own, 3, 1, "/bin/true"),
              static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
    // A cycle through another service.
    EXPECT_EQ(create("Two", nullptr, own, 3, 1, "/bin/true", nullptr, "One\0"), 0u);
    Handle one(OpenServiceA(mgr.h, "ONE", SERVICE_ALL_ACCESS));
    ASSERT_NE(one.h, nullptr);
    EXPECT_FALSE(ChangeServiceConfigA(one.h, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                      SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, "Two\0",
                                      nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CIRCULAR_DEPENDENCY));
}

TEST_F(ScmTest, ChangeConfigKeepsWhatIsNotChanged) {
    Handle mgr(Manager());
    Handle svc(CreateServiceA(mgr.h, "Chg", "Chg Display", SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              "/bin/true", nullptr, nullptr, "Dep1\0Dep2\0", nullptr, nullptr));
    ASSERT_NE(svc.h, nullptr);
    ASSERT_TRUE(ChangeServiceConfigA(svc.h, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr));
    auto buf = QueryConfig(svc.h);
    auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data());
    EXPECT_EQ(cfg->dwStartType, static_cast<DWORD>(SERVICE_DISABLED));
    EXPECT_EQ(cfg->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_STREQ(cfg->lpDisplayName, "Chg Display");
    EXPECT_EQ(MultiSz(cfg->lpDependencies), (std::vector<std::string>{"Dep1", "Dep2"}));

    DWORD tag = 0;
    ASSERT_TRUE(ChangeServiceConfigA(svc.h, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                     "/bin/false", nullptr, &tag, "", ".\\root", "pw",
                                     "New Display"));
    EXPECT_EQ(tag, 1u);
    buf = QueryConfig(svc.h);
    cfg = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data());
    EXPECT_STREQ(cfg->lpBinaryPathName, "/bin/false");
    EXPECT_TRUE(MultiSz(cfg->lpDependencies).empty());
    EXPECT_STREQ(cfg->lpServiceStartName, ".\\root");
    EXPECT_STREQ(cfg->lpDisplayName, "New Display");
    EXPECT_EQ(cfg->dwTagId, 1u);

    EXPECT_FALSE(ChangeServiceConfigA(svc.h, SERVICE_NO_CHANGE, 9, SERVICE_NO_CHANGE, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // A read-only handle may not change anything.
    Handle ro(OpenServiceA(mgr.h, "Chg", SERVICE_QUERY_CONFIG));
    EXPECT_FALSE(ChangeServiceConfigA(ro.h, SERVICE_NO_CHANGE, SERVICE_AUTO_START,
                                      SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(ScmTest, DeleteMarksAndRemovesAfterLastHandle) {
    Handle mgr(Manager());
    SC_HANDLE a = CreateServiceA(
        mgr.h, "Gone", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
        SERVICE_ERROR_NORMAL, "/bin/true", nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(a, nullptr);
    SC_HANDLE b = OpenServiceA(mgr.h, "gone", SERVICE_QUERY_STATUS | DELETE);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(DeleteService(a));
    EXPECT_FALSE(DeleteService(b));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_EQ(CreateServiceA(mgr.h, "Gone", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "/bin/true", nullptr,
                             nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    // A handle held by another process keeps it too.
    HoldingChild holder([] {
        SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        return OpenServiceA(m, "Gone", SERVICE_QUERY_STATUS) != nullptr;
    });
    ASSERT_TRUE(holder.reported);
    EXPECT_TRUE(holder.took);
    CloseServiceHandle(a);
    CloseServiceHandle(b);
    SC_HANDLE still = OpenServiceA(mgr.h, "Gone", SERVICE_QUERY_STATUS);
    EXPECT_NE(still, nullptr);
    CloseServiceHandle(still);
    // The last holder dies without closing: the next look finds it gone.
    holder.Release();
    EXPECT_EQ(OpenServiceA(mgr.h, "Gone", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Gone", 0,
                            KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(ScmTest, DatabaseLockIsExclusiveAcrossProcessesAndDiesWithItsOwner) {
    Handle mgr(Manager());
    SC_LOCK lock = LockServiceDatabase(mgr.h);
    ASSERT_NE(lock, nullptr) << GetLastError();
    EXPECT_EQ(LockServiceDatabase(mgr.h), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DATABASE_LOCKED));
    EXPECT_EQ(RunInChild([] {
                  SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
                  return LockServiceDatabase(m) == nullptr &&
                                 GetLastError() == ERROR_SERVICE_DATABASE_LOCKED
                             ? 0
                             : 1;
              }),
              0);
    char buf[512];
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceLockStatusA(mgr.h, reinterpret_cast<QUERY_SERVICE_LOCK_STATUSA*>(buf),
                                        sizeof buf, &needed));
    EXPECT_EQ(reinterpret_cast<QUERY_SERVICE_LOCK_STATUSA*>(buf)->fIsLocked, 1u);
    ASSERT_TRUE(UnlockServiceDatabase(lock));
    EXPECT_FALSE(UnlockServiceDatabase(lock));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_LOCK));

    // A locker that dies (SIGKILL) releases the lock.
    HoldingChild locker(TakeDatabaseLock);
    ASSERT_TRUE(locker.reported);
    ASSERT_TRUE(locker.took);
    EXPECT_EQ(LockServiceDatabase(mgr.h), nullptr);
    locker.Release();
    lock = LockServiceDatabase(mgr.h);
    EXPECT_NE(lock, nullptr);
    UnlockServiceDatabase(lock);
}

TEST_F(ScmTest, ConcurrentCreatorsExactlyOneWins) {
    Handle mgr(Manager()); // makes the Services key before the race
    const int kProcs = 6;
    std::vector<pid_t> pids;
    for (int i = 0; i < kProcs; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
            SC_HANDLE s =
                CreateServiceA(m, "Racer", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "/bin/true", nullptr,
                               nullptr, nullptr, nullptr, nullptr);
            _exit(s ? 0 : GetLastError() == ERROR_SERVICE_EXISTS ? 1 : 2);
        }
        pids.push_back(pid);
    }
    int winners = 0, losers = 0;
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        winners += WEXITSTATUS(status) == 0;
        losers += WEXITSTATUS(status) == 1;
    }
    EXPECT_EQ(winners, 1);
    EXPECT_EQ(losers, kProcs - 1);
}

TEST_F(ScmTest, SecurityDescriptorsAndTheSaclPrivilege) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Sec"));
    ASSERT_NE(svc.h, nullptr);
    DWORD needed = 0;
    const DWORD info =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    EXPECT_FALSE(QueryServiceObjectSecurity(svc.h, info, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> sd(needed);
    ASSERT_TRUE(QueryServiceObjectSecurity(svc.h, info, sd.data(), needed, &needed));
    EXPECT_TRUE(IsValidSecurityDescriptor(sd.data()));
    // Without the handle's ACCESS_SYSTEM_SECURITY the SACL is refused.
    EXPECT_FALSE(QueryServiceObjectSecurity(svc.h, SACL_SECURITY_INFORMATION, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // ACCESS_SYSTEM_SECURITY needs SeSecurityPrivilege enabled.
    EXPECT_EQ(OpenServiceA(mgr.h, "Sec", ACCESS_SYSTEM_SECURITY | READ_CONTROL), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
    HANDLE token;
    ASSERT_TRUE(
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, SE_SECURITY_NAME, &tp.Privileges[0].Luid));
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr));
    Handle full(OpenServiceA(mgr.h, "Sec", ACCESS_SYSTEM_SECURITY | READ_CONTROL | WRITE_DAC));
    ASSERT_NE(full.h, nullptr) << GetLastError();
    const DWORD all = info | SACL_SECURITY_INFORMATION;
    QueryServiceObjectSecurity(full.h, all, nullptr, 0, &needed);
    std::vector<BYTE> whole(needed);
    ASSERT_TRUE(QueryServiceObjectSecurity(full.h, all, whole.data(), needed, &needed));
    // Written back unchanged, it reads back unchanged.
    ASSERT_TRUE(SetServiceObjectSecurity(
        full.h, DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION, whole.data()));
    std::vector<BYTE> again(needed);
    ASSERT_TRUE(QueryServiceObjectSecurity(full.h, all, again.data(), needed, &needed));
    EXPECT_EQ(again, whole);
    tp.Privileges[0].Attributes = 0;
    AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr);
    CloseHandle(token);

    // A DACL that grants only queries now refuses a start.
    SECURITY_DESCRIPTOR abs;
    ASSERT_TRUE(InitializeSecurityDescriptor(&abs, SECURITY_DESCRIPTOR_REVISION));
    BYTE aclBuf[256];
    PACL acl = reinterpret_cast<PACL>(aclBuf);
    ASSERT_TRUE(InitializeAcl(acl, sizeof aclBuf, ACL_REVISION));
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, 32, 544, 0, 0, 0, 0, 0, 0, &admins));
    ASSERT_TRUE(
        AddAccessAllowedAce(acl, ACL_REVISION, SERVICE_QUERY_STATUS | READ_CONTROL, admins));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&abs, TRUE, acl, FALSE));
    ASSERT_TRUE(SetServiceObjectSecurity(svc.h, DACL_SECURITY_INFORMATION, &abs));
    FreeSid(admins);
    Handle q(OpenServiceA(mgr.h, "Sec", SERVICE_QUERY_STATUS));
    EXPECT_NE(q.h, nullptr);
    EXPECT_EQ(OpenServiceA(mgr.h, "Sec", SERVICE_START), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetServiceObjectSecurity(svc.h, DACL_SECURITY_INFORMATION, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ScmTest, EnumerationListsServicesWithStatus) {
    Handle mgr(Manager());
    for (const char* n : {"Enum1", "Enum2", "Enum3"}) {
        Handle s(CreateTestService(mgr.h, n));
        ASSERT_NE(s.h, nullptr);
    }
    DWORD needed = 0, count = 0, resume = 0;
    // Too small for all three: some now, the rest after the resume point.
    std::vector<BYTE> small(sizeof(ENUM_SERVICE_STATUSA) + 16);
    EXPECT_FALSE(EnumServicesStatusA(mgr.h, SERVICE_WIN32, SERVICE_STATE_ALL,
                                     reinterpret_cast<ENUM_SERVICE_STATUSA*>(small.data()),
                                     static_cast<DWORD>(small.size()), &needed, &count, &resume));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(count, 1u);
    std::vector<BYTE> buf(needed);
    ASSERT_TRUE(EnumServicesStatusA(mgr.h, SERVICE_WIN32, SERVICE_STATE_ALL,
                                    reinterpret_cast<ENUM_SERVICE_STATUSA*>(buf.data()), needed,
                                    &needed, &count, &resume));
    ASSERT_EQ(count, 2u);
    auto* list = reinterpret_cast<ENUM_SERVICE_STATUSA*>(buf.data());
    EXPECT_STREQ(list[0].lpServiceName, "Enum2");
    EXPECT_STREQ(list[1].lpServiceName, "Enum3");
    EXPECT_EQ(list[1].ServiceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    // Nothing is active.
    resume = 0;
    ASSERT_TRUE(EnumServicesStatusA(mgr.h, SERVICE_WIN32, SERVICE_ACTIVE,
                                    reinterpret_cast<ENUM_SERVICE_STATUSA*>(buf.data()), needed,
                                    &needed, &count, &resume));
    EXPECT_EQ(count, 0u);
}

// Pointer and level checks come before the handle's rights, as in Windows'
// client side.
TEST_F(ScmTest, ArgumentsAreCheckedBeforeAccess) {
    Handle connect(Manager(SC_MANAGER_CONNECT));
    ASSERT_NE(connect.h, nullptr);
    EXPECT_EQ(CreateServiceA(connect.h, nullptr, nullptr, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             "/bin/true", nullptr, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    EXPECT_EQ(CreateServiceA(connect.h, "x", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));

    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Args"));
    ASSERT_NE(svc.h, nullptr);
    Handle noQuery(OpenServiceA(mgr.h, "Args", SERVICE_QUERY_CONFIG));
    ASSERT_NE(noQuery.h, nullptr);
    for (SC_HANDLE h : {svc.h, noQuery.h}) {
        EXPECT_FALSE(QueryServiceStatus(h, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
        SERVICE_STATUS_PROCESS sp;
        DWORD needed = 0;
        EXPECT_FALSE(QueryServiceStatusEx(h, static_cast<SC_STATUS_TYPE>(7),
                                          reinterpret_cast<BYTE*>(&sp), sizeof sp, &needed));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
        EXPECT_FALSE(QueryServiceStatusEx(h, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&sp),
                                          sizeof sp - 1, &needed));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(needed, 36u);
        EXPECT_FALSE(QueryServiceStatusEx(h, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&sp),
                                          sizeof sp, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    }
    SERVICE_STATUS_PROCESS sp;
    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceStatusEx(noQuery.h, SC_STATUS_PROCESS_INFO,
                                      reinterpret_cast<BYTE*>(&sp), sizeof sp, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(QueryServiceStatusEx(nullptr, static_cast<SC_STATUS_TYPE>(7),
                                      reinterpret_cast<BYTE*>(&sp), sizeof sp, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

// The usual "ask the size, allocate, ask again" works for both name lookups.
TEST_F(ScmTest, NameLookupsFollowTheSizeProtocol) {
    Handle mgr(Manager());
    Handle svc(CreateServiceA(mgr.h, "KeyName", "The Display Name", SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              "/bin/true", nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_NE(svc.h, nullptr);
    using Lookup = BOOL(WINAPI*)(SC_HANDLE, LPCSTR, LPSTR, LPDWORD);
    struct {
        Lookup lookup;
        const char* from;
        std::string to;
    } cases[] = {{GetServiceDisplayNameA, "keyname", "The Display Name"},
                 {GetServiceKeyNameA, "the display name", "KeyName"}};
    for (const auto& c : cases) {
        DWORD size = 0;
        EXPECT_FALSE(c.lookup(mgr.h, c.from, nullptr, &size));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(size, 2 * c.to.size()); // the ANSI forms answer in UTF-16 bytes
        std::vector<char> buf(size, '#');
        DWORD given = size;
        ASSERT_TRUE(c.lookup(mgr.h, c.from, buf.data(), &given)) << GetLastError();
        EXPECT_EQ(std::string(buf.data()), c.to);
        EXPECT_EQ(given, size); // left alone on success
        // One character short of the terminator: refused, the buffer emptied.
        std::vector<char> exact(c.to.size(), '#');
        given = static_cast<DWORD>(exact.size());
        EXPECT_FALSE(c.lookup(mgr.h, c.from, exact.data(), &given));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(exact[0], '\0');
        given = static_cast<DWORD>(c.to.size() + 1);
        std::vector<char> fits(given);
        EXPECT_TRUE(c.lookup(mgr.h, c.from, fits.data(), &given));
    }
}

// Accounts name users of this host; unknown ones are refused.
TEST_F(ScmTest, AccountsMustNameHostUsers) {
    Handle mgr(Manager());
    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof computer;
    ASSERT_TRUE(GetComputerNameA(computer, &size));
    std::string machineRoot = std::string(computer) + "\\root";
    int n = 0;
    auto create = [&](const char* account) {
        std::string name = "Acct" + std::to_string(n++);
        SC_HANDLE h =
            CreateServiceA(mgr.h, name.c_str(), nullptr, SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           "/bin/true", nullptr, nullptr, nullptr, account, nullptr);
        DWORD code = h ? 0 : GetLastError();
        if (h)
            CloseServiceHandle(h);
        return code;
    };
    for (const char* ok :
         {"LocalSystem", "NT AUTHORITY\\LocalService", "nt authority\\networkservice", ".\\root",
          ".\\ROOT", machineRoot.c_str()})
        EXPECT_EQ(create(ok), 0u) << ok;
    for (const char* bad : {".\\NoSuchUser", "root", "OTHER-MACHINE\\root", ".\\", "\\root",
                            ".\\root\\x", "NT AUTHORITY\\NoSuchAccount", "NT SERVICE\\Acct0"})
        EXPECT_EQ(create(bad), static_cast<DWORD>(ERROR_INVALID_SERVICE_ACCOUNT)) << bad;

    Handle svc(OpenServiceA(mgr.h, "Acct0", SERVICE_ALL_ACCESS));
    ASSERT_NE(svc.h, nullptr);
    EXPECT_FALSE(ChangeServiceConfigA(svc.h, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                      SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                      ".\\NoSuchUser", nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_ACCOUNT));
    EXPECT_TRUE(ChangeServiceConfigA(svc.h, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                     nullptr, nullptr, nullptr, nullptr,
                                     "NT AUTHORITY\\LocalService", nullptr, nullptr));
}

// A stored descriptor is judged by the same validator as the API's: one
// with an ACE whose SID is invalid is not the service's descriptor, and
// access is decided by the default one instead of failing.
TEST_F(ScmTest, StoredDescriptorWithABadSidIsNotUsed) {
    Handle mgr(Manager());
    {
        Handle svc(CreateTestService(mgr.h, "BadSd"));
        ASSERT_NE(svc.h, nullptr);
    }
    // Header, and a DACL with one ACE allowing everything to a revision-9 SID.
    std::vector<BYTE> sd = {1, 0, 0x04, 0x80, 0,    0,    0,    0, 0,  0, 0, 0, 0, 0,
                            0, 0, 20,   0,    0,    0,    2,    0, 28, 0, 1, 0, 0, 0, // ACL header
                            0, 0, 20,   0,    0xff, 0x01, 0x0f, 0,               // ACE header, mask
                            9, 1, 0,    0,    0,    0,    0,    5, 18, 0, 0, 0}; // SID, revision 9
    ASSERT_FALSE(IsValidSecurityDescriptor(sd.data()));
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "System\\CurrentControlSet\\Services\\BadSd\\Security", 0,
                            KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Security", 0, REG_BINARY, sd.data(), (DWORD)sd.size()), 0);
    RegCloseKey(key);
    Handle q(OpenServiceA(mgr.h, "BadSd", SERVICE_QUERY_STATUS | READ_CONTROL));
    ASSERT_NE(q.h, nullptr) << GetLastError();
    DWORD needed = 0;
    QueryServiceObjectSecurity(q.h, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> got(needed);
    ASSERT_TRUE(
        QueryServiceObjectSecurity(q.h, DACL_SECURITY_INFORMATION, got.data(), needed, &needed));
    EXPECT_TRUE(IsValidSecurityDescriptor(got.data()));
}

// The last-error rule for the manager's functions the project calls; the
// test service checks the service side (dispatcher, handler, status, bits).
TEST_F(ScmTest, ManagerFunctionsKeepTheLastErrorOnSuccess) {
    SC_HANDLE mgr = nullptr, svc = nullptr;
    SC_LOCK lock = nullptr;
    std::vector<char> config(8192);
    std::vector<BYTE> sd(1024);
    DWORD needed = 0;
    SERVICE_STATUS st{};
    char display[64];
    CheckLastErrorRule({
        {"OpenSCManagerA", [&] { return (mgr = Manager()) != nullptr; }, true},
        {"CreateServiceA", [&] { return (svc = CreateTestService(mgr, "Rule")) != nullptr; }},
        {"CloseServiceHandle (service)", [&] { return CloseServiceHandle(svc); }},
        {"OpenServiceA",
         [&] { return (svc = OpenServiceA(mgr, "Rule", SERVICE_ALL_ACCESS)) != nullptr; }},
        {"ChangeServiceConfigA",
         [&] {
             return ChangeServiceConfigA(svc, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                         SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr, "Rule Display");
         }},
        {"QueryServiceConfigA",
         [&] {
             return QueryServiceConfigA(svc,
                                        reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config.data()),
                                        static_cast<DWORD>(config.size()), &needed);
         }},
        {"GetServiceDisplayNameA",
         [&] {
             DWORD size = sizeof display;
             return GetServiceDisplayNameA(mgr, "Rule", display, &size);
         }},
        {"QueryServiceObjectSecurity",
         [&] {
             return QueryServiceObjectSecurity(svc, DACL_SECURITY_INFORMATION, sd.data(),
                                               static_cast<DWORD>(sd.size()), &needed);
         }},
        {"SetServiceObjectSecurity",
         [&] { return SetServiceObjectSecurity(svc, DACL_SECURITY_INFORMATION, sd.data()); }},
        {"StartServiceA", [&] { return StartServiceA(svc, 0, nullptr); }},
        {"QueryServiceStatus", [&] { return QueryServiceStatus(svc, &st); }},
        {"ControlService",
         [&] {
             return WaitForState(svc, SERVICE_RUNNING) &&
                    ControlService(svc, SERVICE_CONTROL_STOP, &st) &&
                    WaitForState(svc, SERVICE_STOPPED);
         }},
        {"LockServiceDatabase", [&] { return (lock = LockServiceDatabase(mgr)) != nullptr; }},
        {"UnlockServiceDatabase", [&] { return UnlockServiceDatabase(lock); }},
        {"DeleteService", [&] { return DeleteService(svc); }},
        {"CloseServiceHandle", [&] { return CloseServiceHandle(svc) && CloseServiceHandle(mgr); }},
    });
    EXPECT_TRUE(WaitForLog("Rule", "dispatcher returned"));
    EXPECT_EQ(ReadLog("Rule").find("last error"), std::string::npos) << ReadLog("Rule");
}

// The supervisor is found beside the code or in the nearest bin folder
// above it, but never where another user could have planted it.
TEST_F(ScmTest, SupervisorIsFoundOnlyWhereOnlyTrustedUsersWrite) {
    std::string tree = root + "/tree";
    std::string lib = tree + "/lib/perl5/arch/auto/Pkg";
    std::string bin = tree + "/bin";
    std::string self = lib + "/Pkg.so";
    std::string cmd = "mkdir -p '" + lib + "' '" + bin + "' && touch '" + self +
                      "' && install -m 0755 /bin/true '" + bin + "/svcsupervisor'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(w32p::scm::FindSupervisorNear(self), bin + "/svcsupervisor");

    // A folder or file that others may write, or a file of another user,
    // is passed over.
    std::string planted = bin + "/svcsupervisor";
    ASSERT_EQ(chmod(bin.c_str(), 0777), 0);
    EXPECT_NE(w32p::scm::FindSupervisorNear(self), planted);
    ASSERT_EQ(chmod(bin.c_str(), 0755), 0);
    ASSERT_EQ(chmod(planted.c_str(), 0757), 0);
    EXPECT_NE(w32p::scm::FindSupervisorNear(self), planted);
    ASSERT_EQ(chmod(planted.c_str(), 0775), 0);
    ASSERT_EQ(chown(planted.c_str(), 0, 12345), 0);
    EXPECT_NE(w32p::scm::FindSupervisorNear(self), planted);
    ASSERT_EQ(chown(planted.c_str(), 0, 0), 0);
    EXPECT_EQ(w32p::scm::FindSupervisorNear(self), planted);
    ASSERT_EQ(chown(planted.c_str(), 65534, 0), 0);
    EXPECT_NE(w32p::scm::FindSupervisorNear(self), planted);
    // The owner of the code itself is trusted as well (a user's own
    // installation used by root).
    ASSERT_EQ(chown(self.c_str(), 65534, 0), 0);
    EXPECT_EQ(w32p::scm::FindSupervisorNear(self), planted);

    // One beside the code comes first.
    cmd = "install -m 0755 /bin/true '" + lib + "/svcsupervisor'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(w32p::scm::FindSupervisorNear(self), lib + "/svcsupervisor");
}
