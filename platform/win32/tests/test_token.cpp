// The process token: user SID, the size protocol, privilege lookups and
// AdjustTokenPrivileges for LocalSystem (root) and for an unprivileged user
// (a child process run under uid 65534).
#include <windows.h>

#include "stateroot.h"
#include "token.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kChildFlag = "W32P_TOKEN_CHILD";

std::string UserSidText() {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD size = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buf(size);
    EXPECT_TRUE(GetTokenInformation(token, TokenUser, buf.data(), size, &size));
    CloseHandle(token);
    return w32p::SidText(reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid);
}

// Enables or disables one privilege; returns GetLastError() after a
// successful call, or ~0u when the call failed.
DWORD Adjust(const char* name, bool on, TOKEN_PRIVILEGES* previous = nullptr) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return ~0u;
    TOKEN_PRIVILEGES tp = {};
    tp.PrivilegeCount = 1;
    EXPECT_TRUE(LookupPrivilegeValueA("", name, &tp.Privileges[0].Luid));
    tp.Privileges[0].Attributes = on ? SE_PRIVILEGE_ENABLED : 0;
    DWORD returned = 0;
    BOOL ok = AdjustTokenPrivileges(token, FALSE, &tp, previous ? sizeof *previous : 0, previous,
                                    previous ? &returned : nullptr);
    DWORD err = GetLastError();
    CloseHandle(token);
    return ok ? err : ~0u;
}

TEST(Token, UserSidAndSizeProtocol) {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(token) % 4, 0u);
    DWORD size = 0;
    BYTE small[8];
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, small, sizeof small, &size));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_GT(size, sizeof(TOKEN_USER));
    std::vector<BYTE> buf(size);
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, buf.data(), size, &size));
    PSID sid = reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid;
    ASSERT_TRUE(IsValidSid(sid));
    // The SID lies inside the caller's buffer.
    EXPECT_GE(static_cast<BYTE*>(sid), buf.data());
    EXPECT_LE(static_cast<BYTE*>(sid) + GetLengthSid(sid), buf.data() + buf.size());
    if (geteuid() == 0)
        EXPECT_EQ(w32p::SidText(sid), "S-1-5-18");
    else
        EXPECT_EQ(w32p::SidText(sid).rfind("S-1-5-21-", 0), 0u);
    CloseHandle(token);

    HANDLE noQuery = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &noQuery));
    EXPECT_FALSE(GetTokenInformation(noQuery, TokenUser, buf.data(), size, &size));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(noQuery);
    EXPECT_FALSE(GetTokenInformation(nullptr, TokenUser, buf.data(), size, &size));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    HANDLE h = nullptr;
    EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(0x1234), TOKEN_QUERY, &h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(Token, PrivilegeNames) {
    LUID luid = {};
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "sedebugprivilege", &luid));
    EXPECT_EQ(luid.LowPart, 20u);
    EXPECT_EQ(luid.HighPart, 0);
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &luid));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_SUCH_PRIVILEGE);
    EXPECT_FALSE(LookupPrivilegeValueA("\\\\elsewhere-xyz", SE_DEBUG_NAME, &luid));
    char name[64];
    DWORD len = sizeof name;
    luid.LowPart = 18;
    ASSERT_TRUE(LookupPrivilegeNameA(nullptr, &luid, name, &len));
    EXPECT_STREQ(name, SE_RESTORE_NAME);
}

TEST(Token, LocalSystemAdjustsItsPrivileges) {
    if (geteuid() != 0)
        GTEST_SKIP() << "runs as root only";
    TOKEN_PRIVILEGES previous = {};
    ASSERT_EQ(Adjust(SE_SECURITY_NAME, false), (DWORD)ERROR_SUCCESS);
    ASSERT_EQ(Adjust(SE_SECURITY_NAME, true, &previous), (DWORD)ERROR_SUCCESS);
    ASSERT_EQ(previous.PrivilegeCount, 1u);
    EXPECT_EQ(previous.Privileges[0].Luid.LowPart, 8u);
    EXPECT_EQ(previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED, 0u);
    EXPECT_TRUE(w32p::ProcessPrivilegeEnabled(8));
    // Enabling again changes nothing, so nothing is reported as previous.
    ASSERT_EQ(Adjust(SE_SECURITY_NAME, true, &previous), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(previous.PrivilegeCount, 0u);
    ASSERT_EQ(Adjust(SE_SECURITY_NAME, false), (DWORD)ERROR_SUCCESS);
    EXPECT_FALSE(w32p::ProcessPrivilegeEnabled(8));
    for (const char* name : {SE_DEBUG_NAME, SE_RESTORE_NAME})
        EXPECT_EQ(Adjust(name, true), (DWORD)ERROR_SUCCESS) << name;

    // A previous-state buffer that is too small changes nothing.
    HANDLE token = nullptr;
    ASSERT_TRUE(
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES tp = {1, {{{17, 0}, SE_PRIVILEGE_ENABLED}}};
    DWORD need = 0;
    BYTE tiny[4];
    EXPECT_FALSE(
        AdjustTokenPrivileges(token, FALSE, &tp, sizeof tiny, (PTOKEN_PRIVILEGES)tiny, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(need, 16u);
    EXPECT_FALSE(w32p::ProcessPrivilegeEnabled(17));
    // Without TOKEN_ADJUST_PRIVILEGES the token refuses.
    HANDLE queryOnly = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &queryOnly));
    EXPECT_FALSE(AdjustTokenPrivileges(queryOnly, FALSE, &tp, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(queryOnly);
    CloseHandle(token);
}

// Attributes of one privilege as TokenPrivileges reports it (~0u: not held).
DWORD PrivilegeAttributes(DWORD luid) {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buf(size);
    EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buf.data(), size, &size));
    CloseHandle(token);
    auto* tp = reinterpret_cast<TOKEN_PRIVILEGES*>(buf.data());
    for (DWORD i = 0; i < tp->PrivilegeCount; ++i)
        if (tp->Privileges[i].Luid.LowPart == luid)
            return tp->Privileges[i].Attributes;
    return ~0u;
}

TEST(Token, DisableAllAndTheirReport) {
    if (geteuid() != 0)
        GTEST_SKIP() << "runs as root only";
    // Change-notify is on by default; restore and debug start off.
    EXPECT_EQ(PrivilegeAttributes(23),
              (DWORD)(SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED));
    ASSERT_EQ(Adjust(SE_RESTORE_NAME, true), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(PrivilegeAttributes(18), (DWORD)SE_PRIVILEGE_ENABLED);

    HANDLE token = nullptr;
    ASSERT_TRUE(
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    std::vector<BYTE> prev(1024);
    DWORD len = 0;
    ASSERT_TRUE(AdjustTokenPrivileges(token, TRUE, nullptr, (DWORD)prev.size(),
                                      reinterpret_cast<PTOKEN_PRIVILEGES>(prev.data()), &len));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    auto* was = reinterpret_cast<TOKEN_PRIVILEGES*>(prev.data());
    EXPECT_GE(was->PrivilegeCount, 2u); // at least change-notify and restore were on
    EXPECT_EQ(PrivilegeAttributes(18), 0u);
    EXPECT_EQ(PrivilegeAttributes(23), (DWORD)SE_PRIVILEGE_ENABLED_BY_DEFAULT);
    // Feeding the previous state back restores it.
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, was, 0, nullptr, nullptr));
    EXPECT_EQ(PrivilegeAttributes(18), (DWORD)SE_PRIVILEGE_ENABLED);
    EXPECT_EQ(PrivilegeAttributes(23),
              (DWORD)(SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED));
    ASSERT_EQ(Adjust(SE_RESTORE_NAME, false), (DWORD)ERROR_SUCCESS);
    CloseHandle(token);
}

// The unprivileged side. Runs only inside the child started below.
TEST(TokenChild, UnprivilegedUser) {
    if (!getenv(kChildFlag))
        GTEST_SKIP() << "runs inside the unprivileged child of Token.UnprivilegedUserInChild";
    ASSERT_NE(geteuid(), 0u);
    std::string sid = UserSidText();
    DWORD m[3];
    w32p::MachineSubAuthorities(m);
    std::string expected = "S-1-5-21-" + std::to_string(m[0]) + "-" + std::to_string(m[1]) + "-" +
                           std::to_string(m[2]) + "-" + std::to_string(geteuid() + 1000);
    EXPECT_EQ(sid, expected);
    for (const char* name : {SE_DEBUG_NAME, SE_RESTORE_NAME, SE_SECURITY_NAME}) {
        EXPECT_EQ(Adjust(name, true), (DWORD)ERROR_NOT_ALL_ASSIGNED) << name;
        EXPECT_FALSE(w32p::ProcessPrivilegeEnabled(w32p::PrivilegeLuid(name)));
    }
    EXPECT_EQ(Adjust(SE_CHANGE_NOTIFY_NAME, true), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(RegLoadKeyA(HKEY_USERS, sid.c_str(), "C:\\Users\\x\\NTUser.dat"),
              ERROR_PRIVILEGE_NOT_HELD);
    // The registry works for this user under its own root.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Child", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    std::string profile = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + sid;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, profile.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST(Token, UnprivilegedUserInChild) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to start a child under uid 65534";
    char tmpl[] = "/tmp/w32p-tok-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string root = tmpl;
    ASSERT_EQ(chown(tmpl, 65534, 65534), 0);
    int exe = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(exe, 0);
    // Everything the child needs is prepared before fork.
    std::string rootEnv = "WIN32POSIX_ROOT=" + root;
    std::string flagEnv = std::string(kChildFlag) + "=1";
    std::vector<std::string> envStrings = {rootEnv, flagEnv, "HOME=" + root,
                                           "ASAN_OPTIONS=detect_leaks=0"};
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=TokenChild.UnprivilegedUser";
    std::string name = "win32posix_tests";
    char* argv[] = {name.data(), filter.data(), nullptr};
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0 || chdir(root.c_str()) != 0)
            _exit(120);
        fexecve(exe, argv, envp.data());
        _exit(121);
    }
    close(exe);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    std::string cmd = "rm -rf '" + root + "'";
    (void)!system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the unprivileged child's checks failed (see its output)";
}

} // namespace
