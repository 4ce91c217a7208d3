#include "identity.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Token access used throughout: adjust privileges, query, query source.
constexpr DWORD kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY_SOURCE | TOKEN_QUERY;

constexpr DWORD kProfilePathSize = 261;

const char kProfileListKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
const char kUserHiveFile[] = "\\NTUser.dat";

// Reads a profile path value into a kProfilePathSize buffer; REG_EXPAND_SZ
// values are expanded. Empty when the value is missing.
std::string ReadProfilePath(HKEY key, const char* value) {
    char raw[kProfilePathSize + 1] = {}; // one more byte for a terminator the value may lack
    DWORD type = 0;
    DWORD size = kProfilePathSize;
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(raw), &size) !=
        ERROR_SUCCESS)
        return std::string();
    if (type != REG_EXPAND_SZ)
        return std::string(raw);
    char expanded[kProfilePathSize] = {};
    DWORD needed = ExpandEnvironmentStringsA(raw, expanded, sizeof expanded);
    if (needed == 0 || needed > sizeof expanded)
        return std::string(raw);
    return std::string(expanded);
}

// True for a directory, and for a path that does not exist.
bool IsDirectoryOrMissing(const std::string& path) {
    return (GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

void SidToString(char* text, PSID sid) {
    if (!text || !sid || !IsValidSid(sid))
        return;
    // Windows layout: revision, count, six authority bytes (big-endian), then
    // the 32-bit sub-authorities.
    const auto* bytes = static_cast<const BYTE*>(sid);
    int used = std::snprintf(text, kSidTextSize, "S-%d-%d", bytes[0], bytes[7]);
    for (BYTE i = 0; i < bytes[1] && used > 0 && used < int(kSidTextSize); ++i) {
        DWORD sub = 0;
        std::memcpy(&sub, bytes + 8 + 4 * i, sizeof sub);
        used += std::snprintf(text + used, kSidTextSize - used, "-%u", static_cast<unsigned>(sub));
    }
}

BOOL EnablePrivilege(HANDLE token, LPCSTR name, BOOL enable, bool* changed) {
    if (changed)
        *changed = false;
    HANDLE opened = nullptr;
    if (!token) {
        if (!OpenProcessToken(GetCurrentProcess(), kTokenAccess, &opened))
            return FALSE;
        token = opened;
    }
    BOOL result = FALSE;
    TOKEN_PRIVILEGES wanted = {};
    if (LookupPrivilegeValueA("", name, &wanted.Privileges[0].Luid)) {
        wanted.PrivilegeCount = 1;
        wanted.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
        TOKEN_PRIVILEGES previous = {};
        DWORD previousSize = sizeof previous;
        result =
            AdjustTokenPrivileges(token, FALSE, &wanted, sizeof previous, &previous, &previousSize);
        // The previous state lists only the privileges the call changed.
        if (result && changed)
            *changed = previous.PrivilegeCount == 1;
    }
    if (opened)
        CloseHandle(opened);
    return result;
}

BOOL GetTokenUserSid(HANDLE token, PSID buffer, DWORD size) {
    if (!token)
        return FALSE;
    DWORD needed = 0;
    if (GetTokenInformation(token, TokenUser, nullptr, 0, &needed) || needed == 0)
        return FALSE;
    auto* info = static_cast<TOKEN_USER*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
    if (!info)
        return FALSE;
    BOOL result = FALSE;
    if (GetTokenInformation(token, TokenUser, info, needed, &needed) &&
        IsValidSid(info->User.Sid) && GetLengthSid(info->User.Sid) <= size)
        result = CopySid(size, buffer, info->User.Sid);
    HeapFree(GetProcessHeap(), 0, info);
    return result;
}

BOOL GetProcessUserSid(HANDLE process, PSID buffer, DWORD size) {
    if (!buffer || size <= 11)
        return FALSE;
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, kTokenAccess, &token))
        return FALSE;
    EnablePrivilege(token, SE_DEBUG_NAME, TRUE);
    BOOL result = GetTokenUserSid(token, buffer, size);
    CloseHandle(token);
    return result;
}

BOOL LoadProfileHive(PSID sid) {
    char name[kSidTextSize] = {};
    SidToString(name, sid);

    HKEY loaded = nullptr;
    if (RegOpenKeyExA(HKEY_USERS, name, 0, KEY_READ, &loaded) == ERROR_SUCCESS) {
        RegCloseKey(loaded);
        return TRUE;
    }

    std::string listPath = std::string(kProfileListKey) + name;
    HKEY profile = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, listPath.c_str(), 0, KEY_READ, &profile) != ERROR_SUCCESS)
        return FALSE;

    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), kTokenAccess, &token)) {
        EnablePrivilege(token, SE_RESTORE_NAME, TRUE);
        CloseHandle(token);
    }

    std::string central = ReadProfilePath(profile, "CentralProfile");
    std::string local = ReadProfilePath(profile, "ProfileImagePath");

    if (!central.empty()) {
        std::string file = central + kUserHiveFile;
        if (RegLoadKeyA(HKEY_USERS, name, file.c_str()) == ERROR_SUCCESS) {
            RegCloseKey(profile);
            return TRUE;
        }
        if (local.empty()) {
            RegCloseKey(profile);
            return FALSE;
        }
        if (IsDirectoryOrMissing(file))
            file += kUserHiveFile;
        CopyFileA(file.c_str(), local.c_str(), TRUE);
    }

    BOOL result = FALSE;
    if (!local.empty()) {
        std::string file = local;
        if (IsDirectoryOrMissing(file))
            file += kUserHiveFile;
        result = RegLoadKeyA(HKEY_USERS, name, file.c_str()) == ERROR_SUCCESS;
    }
    RegCloseKey(profile);
    return result;
}

BOOL LoadProfileHiveOnce(PSID sid) {
    static std::atomic<int> state{0}; // 0: not tried, 1: loaded, 2: failed
    if (int done = state.load())
        return done == 1;
    BOOL loaded = sid && IsValidSid(sid) && LoadProfileHive(sid);
    state = loaded ? 1 : 2;
    return loaded;
}
