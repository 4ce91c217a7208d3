// Process identity against the Windows layer: SID text, the process user's
// SID, privileges and the loading of a user's registry hive.
#include "identity.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::vector<BYTE> Sid(BYTE authority, std::vector<DWORD> subs) {
    std::vector<BYTE> sid(8 + 4 * subs.size());
    sid[0] = 1;
    sid[1] = static_cast<BYTE>(subs.size());
    sid[7] = authority;
    std::memcpy(sid.data() + 8, subs.data(), 4 * subs.size());
    return sid;
}

std::string Text(std::vector<BYTE> sid) {
    char text[kSidTextSize];
    std::memset(text, 'x', sizeof text);
    text[kSidTextSize - 1] = '\0';
    SidToString(text, sid.data());
    return text;
}

// Whether the process token holds the privilege enabled.
bool PrivilegeEnabled(const char* name) {
    LUID luid = {};
    EXPECT_TRUE(LookupPrivilegeValueA("", name, &luid));
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    bool enabled = false;
    if (GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
        auto* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data());
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
            if (privileges->Privileges[i].Luid.LowPart == luid.LowPart &&
                privileges->Privileges[i].Luid.HighPart == luid.HighPart)
                enabled = (privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    CloseHandle(token);
    return enabled;
}

bool HiveLoaded(const std::string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_USERS, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// A ProfileList entry for a made-up user, with its profile values.
void AddProfile(const std::string& sidText, const char* central, const char* local,
                DWORD type = REG_SZ) {
    std::string path = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + sidText;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (central)
        RegSetValueExA(key, "CentralProfile", 0, type, reinterpret_cast<const BYTE*>(central),
                       static_cast<DWORD>(std::strlen(central) + 1));
    if (local)
        RegSetValueExA(key, "ProfileImagePath", 0, type, reinterpret_cast<const BYTE*>(local),
                       static_cast<DWORD>(std::strlen(local) + 1));
    RegCloseKey(key);
}

// Where the layer keeps drive C's files: <state root>/drives/c.
std::filesystem::path DriveC() {
    return std::filesystem::path(std::getenv("WIN32POSIX_ROOT")) / "drives/c";
}

} // namespace

TEST(SidToString, WritesRevisionAuthorityAndSubAuthorities) {
    EXPECT_EQ(Text(Sid(5, {18})), "S-1-5-18");
    EXPECT_EQ(Text(Sid(1, {0})), "S-1-1-0");
    EXPECT_EQ(Text(Sid(5, {32, 544})), "S-1-5-32-544");
}

TEST(SidToString, LargeSubAuthoritiesAreUnsigned) {
    EXPECT_EQ(Text(Sid(5, {21, 2147483648u, 4294967295u, 3000000000u, 1001})),
              "S-1-5-21-2147483648-4294967295-3000000000-1001");
    // Fifteen sub-authorities of ten digits: the longest text of a valid SID.
    std::string expected = "S-1-255";
    for (int i = 0; i < 15; ++i)
        expected += "-4294967295";
    EXPECT_EQ(Text(Sid(255, std::vector<DWORD>(15, 4294967295u))), expected);
    EXPECT_LT(expected.size(), kSidTextSize);
}

TEST(SidToString, InvalidSidWritesNothing) {
    std::vector<BYTE> badRevision = Sid(5, {18});
    badRevision[0] = 2;
    char text[kSidTextSize] = "untouched";
    SidToString(text, badRevision.data());
    EXPECT_STREQ(text, "untouched");
    SidToString(text, nullptr);
    EXPECT_STREQ(text, "untouched");
}

TEST(GetProcessUserSid, ReadsTheTokenUser) {
    BYTE buffer[128] = {};
    ASSERT_TRUE(GetProcessUserSid(GetCurrentProcess(), buffer, sizeof buffer));
    EXPECT_TRUE(IsValidSid(buffer));
    if (geteuid() == 0) {
        EXPECT_EQ(Text(std::vector<BYTE>(buffer, buffer + GetLengthSid(buffer))), "S-1-5-18");
    }
}

TEST(GetProcessUserSid, RefusesSmallBuffers) {
    BYTE buffer[128] = {};
    EXPECT_FALSE(GetProcessUserSid(GetCurrentProcess(), nullptr, 128));
    EXPECT_FALSE(GetProcessUserSid(GetCurrentProcess(), buffer, 11));
    BYTE full[128] = {};
    ASSERT_TRUE(GetProcessUserSid(GetCurrentProcess(), full, sizeof full));
    DWORD length = GetLengthSid(full);
    EXPECT_TRUE(GetProcessUserSid(GetCurrentProcess(), buffer, length));
    if (length > 12) {
        EXPECT_FALSE(GetProcessUserSid(GetCurrentProcess(), buffer, length - 1));
    }
    EXPECT_FALSE(GetTokenUserSid(nullptr, buffer, sizeof buffer));
}

TEST(EnablePrivilege, SwitchesOnAndOffInTheProcessToken) {
    ASSERT_TRUE(EnablePrivilege(nullptr, SE_RESTORE_NAME, FALSE));
    EXPECT_FALSE(PrivilegeEnabled(SE_RESTORE_NAME));
    ASSERT_TRUE(EnablePrivilege(nullptr, SE_RESTORE_NAME, TRUE));
    EXPECT_EQ(PrivilegeEnabled(SE_RESTORE_NAME), geteuid() == 0);
    EXPECT_TRUE(EnablePrivilege(nullptr, SE_RESTORE_NAME, FALSE));
    EXPECT_FALSE(PrivilegeEnabled(SE_RESTORE_NAME));
    EXPECT_FALSE(EnablePrivilege(nullptr, "SeNoSuchPrivilege", TRUE));
}

TEST(LoadProfileHive, ProcessUsersHiveLoadsOnceThenIsFound) {
    BYTE sid[128] = {};
    ASSERT_TRUE(GetProcessUserSid(GetCurrentProcess(), sid, sizeof sid));
    char name[kSidTextSize] = {};
    SidToString(name, sid);
    if (geteuid() != 0)
        GTEST_SKIP() << "loading a hive needs SeRestorePrivilege";
    EXPECT_TRUE(LoadProfileHive(sid));
    EXPECT_TRUE(HiveLoaded(name));
    // Already loaded: found without touching the profile list or the
    // restore privilege.
    ASSERT_TRUE(EnablePrivilege(nullptr, SE_RESTORE_NAME, FALSE));
    EXPECT_TRUE(LoadProfileHive(sid));
    EXPECT_FALSE(PrivilegeEnabled(SE_RESTORE_NAME));
}

TEST(LoadProfileHive, LocalProfileFolderGetsNTUserDat) {
    if (geteuid() != 0)
        GTEST_SKIP() << "loading a hive needs SeRestorePrivilege";
    std::vector<BYTE> sid = Sid(5, {21, 11, 22, 33, 5001});
    std::filesystem::create_directories(DriveC() / "Profiles/u5001");
    AddProfile("S-1-5-21-11-22-33-5001", nullptr, "C:\\Profiles\\u5001");
    EXPECT_TRUE(LoadProfileHive(sid.data()));
    EXPECT_TRUE(HiveLoaded("S-1-5-21-11-22-33-5001"));
    EXPECT_TRUE(std::filesystem::exists(DriveC() / "Profiles/u5001/NTUser.dat"));
}

TEST(LoadProfileHive, CentralProfileComesFirst) {
    if (geteuid() != 0)
        GTEST_SKIP() << "loading a hive needs SeRestorePrivilege";
    std::vector<BYTE> sid = Sid(5, {21, 11, 22, 33, 5002});
    std::filesystem::create_directories(DriveC() / "Central/u5002");
    std::filesystem::create_directories(DriveC() / "Profiles/u5002");
    AddProfile("S-1-5-21-11-22-33-5002", "C:\\Central\\u5002", "C:\\Profiles\\u5002");
    EXPECT_TRUE(LoadProfileHive(sid.data()));
    EXPECT_TRUE(std::filesystem::exists(DriveC() / "Central/u5002/NTUser.dat"));
    EXPECT_FALSE(std::filesystem::exists(DriveC() / "Profiles/u5002/NTUser.dat"));
}

TEST(LoadProfileHive, ExpandsEnvironmentStrings) {
    if (geteuid() != 0)
        GTEST_SKIP() << "loading a hive needs SeRestorePrivilege";
    setenv("SERVANE_TEST_PROFILES", "C:\\Expanded", 1);
    std::vector<BYTE> sid = Sid(5, {21, 11, 22, 33, 5003});
    std::filesystem::create_directories(DriveC() / "Expanded/u5003");
    AddProfile("S-1-5-21-11-22-33-5003", nullptr, "%SERVANE_TEST_PROFILES%\\u5003", REG_EXPAND_SZ);
    EXPECT_TRUE(LoadProfileHive(sid.data()));
    EXPECT_TRUE(std::filesystem::exists(DriveC() / "Expanded/u5003/NTUser.dat"));
}

TEST(LoadProfileHive, UnknownUserIsNotLoaded) {
    std::vector<BYTE> sid = Sid(5, {21, 11, 22, 33, 5999});
    EXPECT_FALSE(LoadProfileHive(sid.data()));
    EXPECT_FALSE(HiveLoaded("S-1-5-21-11-22-33-5999"));
    // A profile entry without any path loads nothing either.
    AddProfile("S-1-5-21-11-22-33-5999", nullptr, nullptr);
    EXPECT_FALSE(LoadProfileHive(sid.data()));
}
