// Process token, identity and privileges (advapi32).
#include "token.h"

#include "handles.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <mutex>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

namespace w32p {
namespace {

struct PrivilegeName {
    const char* name;
    DWORD luid;
};

// Privilege names and their LUIDs (low parts), as Windows numbers them.
constexpr PrivilegeName kPrivileges[] = {
    {SE_CREATE_TOKEN_NAME, 2},
    {SE_ASSIGNPRIMARYTOKEN_NAME, 3},
    {SE_LOCK_MEMORY_NAME, 4},
    {SE_INCREASE_QUOTA_NAME, 5},
    {SE_MACHINE_ACCOUNT_NAME, 6},
    {SE_TCB_NAME, 7},
    {SE_SECURITY_NAME, 8},
    {SE_TAKE_OWNERSHIP_NAME, 9},
    {SE_LOAD_DRIVER_NAME, 10},
    {SE_SYSTEM_PROFILE_NAME, 11},
    {SE_SYSTEMTIME_NAME, 12},
    {SE_PROF_SINGLE_PROCESS_NAME, 13},
    {SE_INC_BASE_PRIORITY_NAME, 14},
    {SE_CREATE_PAGEFILE_NAME, 15},
    {SE_CREATE_PERMANENT_NAME, 16},
    {SE_BACKUP_NAME, 17},
    {SE_RESTORE_NAME, 18},
    {SE_SHUTDOWN_NAME, 19},
    {SE_DEBUG_NAME, 20},
    {SE_AUDIT_NAME, 21},
    {SE_SYSTEM_ENVIRONMENT_NAME, 22},
    {SE_CHANGE_NOTIFY_NAME, 23},
    {SE_REMOTE_SHUTDOWN_NAME, 24},
    {SE_UNDOCK_NAME, 25},
    {SE_SYNC_AGENT_NAME, 26},
    {SE_ENABLE_DELEGATION_NAME, 27},
    {SE_MANAGE_VOLUME_NAME, 28},
    {SE_IMPERSONATE_NAME, 29},
    {SE_CREATE_GLOBAL_NAME, 30},
    {SE_TRUSTED_CREDMAN_ACCESS_NAME, 31},
    {SE_RELABEL_NAME, 32},
    {SE_INC_WORKING_SET_NAME, 33},
    {SE_TIME_ZONE_NAME, 34},
    {SE_CREATE_SYMBOLIC_LINK_NAME, 35},
};

constexpr DWORD kOn = SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED;

// What LocalSystem holds: every privilege; the everyday ones enabled by
// default, the powerful ones (debug, restore, security, backup...) off
// until a program enables them.
DWORD SystemDefault(DWORD luid) {
    switch (luid) {
    case 4:
    case 7:
    case 13:
    case 14:
    case 15:
    case 16:
    case 21:
    case 23:
    case 29:
    case 30:
        return kOn;
    default:
        return 0;
    }
}

// A standard user's privileges: change-notify on, a few harmless ones off.
constexpr DWORD kUserPrivileges[] = {19, 23, 25, 33, 34};

struct ProcessToken {
    std::mutex mutex;
    std::vector<LUID_AND_ATTRIBUTES> privileges;
};

struct TokenObject : KernelObject {
    ACCESS_MASK access = 0;
    ObjectKind Kind() const override { return ObjectKind::Token; }
};

uint64_t Fnv1a(const std::string& text, uint64_t seed) {
    uint64_t h = 14695981039346656037ull ^ seed;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string MachineSeed() {
    std::string id;
    for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        std::ifstream in(path);
        if (in && std::getline(in, id) && !id.empty())
            return id;
    }
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return host;
}

Identity BuildIdentity() {
    Identity id;
    uid_t uid = geteuid();
    const SidBytes everyone = MakeSid(1, {0});
    const SidBytes authenticated = MakeSid(5, {11});
    if (uid == 0) {
        id.system = true;
        id.user = MakeSid(5, {18});
        id.owner = MakeSid(5, {32, 544});
        id.primaryGroup = MakeSid(5, {18});
        id.groups = {
            {MakeSid(5, {32, 544}),
             SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_OWNER},
            {everyone, SE_GROUP_MANDATORY | SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT},
            {authenticated, SE_GROUP_MANDATORY | SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT},
        };
        id.profileFolder = "C:\\Windows\\system32\\config\\systemprofile";
        return id;
    }
    DWORD m[3];
    MachineSubAuthorities(m);
    id.user = MakeSid(5, {21, m[0], m[1], m[2], static_cast<DWORD>(uid + 1000u)});
    id.owner = id.user;
    id.primaryGroup = MakeSid(5, {21, m[0], m[1], m[2], DOMAIN_GROUP_RID_USERS});
    const DWORD on = SE_GROUP_MANDATORY | SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT;
    id.groups = {
        {id.primaryGroup, on}, {everyone, on},      {MakeSid(5, {32, 545}), on},
        {MakeSid(5, {4}), on}, {authenticated, on},
    };
    std::string name;
    if (passwd* pw = getpwuid(uid); pw && pw->pw_name && *pw->pw_name)
        name = pw->pw_name;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'))
            name.clear();
    if (name.empty() || name == "." || name == "..")
        name = std::string("user").append(std::to_string(uid));
    id.profileFolder = "C:\\Users\\" + name;
    return id;
}

ProcessToken& TheToken() {
    static ProcessToken* token = [] {
        auto* t = new ProcessToken; // lives until the process ends
        if (ProcessIdentity().system) {
            for (const auto& p : kPrivileges)
                t->privileges.push_back({{p.luid, 0}, SystemDefault(p.luid)});
        } else {
            for (DWORD luid : kUserPrivileges)
                t->privileges.push_back({{luid, 0}, luid == 23 ? kOn : 0});
        }
        return t;
    }();
    return *token;
}

std::shared_ptr<TokenObject> LookupToken(HANDLE h) {
    return LookupHandleAs<TokenObject>(h, ObjectKind::Token);
}

DWORD MapTokenAccess(DWORD access) {
    if (access & MAXIMUM_ALLOWED)
        access |= TOKEN_ALL_ACCESS;
    if (access & GENERIC_READ)
        access |= TOKEN_READ;
    if (access & GENERIC_WRITE)
        access |= TOKEN_WRITE;
    if (access & GENERIC_EXECUTE)
        access |= TOKEN_EXECUTE;
    if (access & GENERIC_ALL)
        access |= TOKEN_ALL_ACCESS;
    return access &
           ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

// Lays out one token information class in the caller's buffer: a fixed part
// followed by the SIDs it points to.
struct InfoWriter {
    std::vector<BYTE> fixed;
    std::vector<const SidBytes*> sids;
};

} // namespace

const Identity& ProcessIdentity() {
    static const Identity* identity = new Identity(BuildIdentity());
    return *identity;
}

SidBytes MakeSid(BYTE authority, std::initializer_list<DWORD> subAuthorities) {
    SidBytes sid(8 + 4 * subAuthorities.size(), 0);
    sid[0] = SID_REVISION;
    sid[1] = static_cast<BYTE>(subAuthorities.size());
    sid[7] = authority;
    size_t off = 8;
    for (DWORD s : subAuthorities) {
        std::memcpy(&sid[off], &s, 4);
        off += 4;
    }
    return sid;
}

std::string SidText(const void* sidPtr) {
    if (!sidPtr || !IsValidSid(const_cast<void*>(sidPtr)))
        return {};
    auto* sid = static_cast<const BYTE*>(sidPtr);
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i)
        authority = (authority << 8) | sid[i];
    std::string text = "S-";
    text.append(std::to_string(sid[0])).append("-").append(std::to_string(authority));
    for (int i = 0; i < sid[1]; ++i) {
        DWORD sub;
        std::memcpy(&sub, sid + 8 + 4 * i, 4);
        text.append("-").append(std::to_string(sub));
    }
    return text;
}

void MachineSubAuthorities(DWORD out[3]) {
    std::string seed = MachineSeed();
    for (int i = 0; i < 3; ++i)
        out[i] = static_cast<DWORD>(Fnv1a(seed, 0x9e3779b97f4a7c15ull * (i + 1)) >> 16);
}

DWORD PrivilegeLuid(const char* name) {
    if (!name)
        return 0;
    for (const auto& p : kPrivileges)
        if (strcasecmp(p.name, name) == 0)
            return p.luid;
    return 0;
}

bool ProcessPrivilegeEnabled(DWORD luid) {
    ProcessToken& t = TheToken();
    std::lock_guard lock(t.mutex);
    for (const auto& p : t.privileges)
        if (p.Luid.LowPart == luid && p.Luid.HighPart == 0)
            return (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    return false;
}

bool IsThisMachine(const char* name) {
    if (!name || !*name)
        return true;
    if (name[0] == '\\' && name[1] == '\\')
        name += 2;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return false;
    if (strcasecmp(name, host) == 0)
        return true;
    std::string shortName(host);
    if (auto dot = shortName.find('.'); dot != std::string::npos)
        shortName.resize(dot);
    return strcasecmp(name, shortName.c_str()) == 0;
}

} // namespace w32p

using namespace w32p;

namespace {

bool IsCurrentProcessHandle(HANDLE h) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    return v == static_cast<uintptr_t>(-1) || v == 0xffffffffu;
}

// Copies fixed part + SIDs into the caller's buffer, patching SID pointers.
// `pointerOffsets` are the offsets within `fixed` of PSID fields, matched in
// order with `sids`.
BOOL WriteInfo(const std::vector<BYTE>& fixed, const std::vector<size_t>& pointerOffsets,
               const std::vector<const SidBytes*>& sids, LPVOID out, DWORD length,
               PDWORD returnLength) {
    size_t total = fixed.size();
    for (const SidBytes* s : sids)
        total += s->size();
    *returnLength = static_cast<DWORD>(total);
    if (!out || length < total) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    BYTE* base = static_cast<BYTE*>(out);
    std::memcpy(base, fixed.data(), fixed.size());
    size_t at = fixed.size();
    for (size_t i = 0; i < sids.size(); ++i) {
        BYTE* where = base + at;
        std::memcpy(where, sids[i]->data(), sids[i]->size());
        std::memcpy(base + pointerOffsets[i], &where, sizeof where);
        at += sids[i]->size();
    }
    return TRUE;
}

} // namespace

extern "C" BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess,
                                        PHANDLE TokenHandle) {
    if (!TokenHandle) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *TokenHandle = nullptr;
    if (!IsCurrentProcessHandle(ProcessHandle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    TheToken();
    auto object = std::make_shared<TokenObject>();
    object->access = MapTokenAccess(DesiredAccess);
    HANDLE h = InsertHandle(object);
    if (!h)
        return FALSE;
    *TokenHandle = h;
    return TRUE;
}

extern "C" BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS cls,
                                           LPVOID TokenInformation, DWORD TokenInformationLength,
                                           PDWORD ReturnLength) {
    auto token = LookupToken(TokenHandle);
    if (!token)
        return FALSE;
    if (!ReturnLength) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (!(token->access & TOKEN_QUERY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const Identity& id = ProcessIdentity();
    switch (cls) {
    case TokenUser: {
        std::vector<BYTE> fixed(sizeof(TOKEN_USER), 0);
        return WriteInfo(fixed, {offsetof(TOKEN_USER, User.Sid)}, {&id.user}, TokenInformation,
                         TokenInformationLength, ReturnLength);
    }
    case TokenOwner: {
        std::vector<BYTE> fixed(sizeof(TOKEN_OWNER), 0);
        return WriteInfo(fixed, {offsetof(TOKEN_OWNER, Owner)}, {&id.owner}, TokenInformation,
                         TokenInformationLength, ReturnLength);
    }
    case TokenPrimaryGroup: {
        std::vector<BYTE> fixed(sizeof(TOKEN_PRIMARY_GROUP), 0);
        return WriteInfo(fixed, {offsetof(TOKEN_PRIMARY_GROUP, PrimaryGroup)}, {&id.primaryGroup},
                         TokenInformation, TokenInformationLength, ReturnLength);
    }
    case TokenGroups: {
        size_t n = id.groups.size();
        std::vector<BYTE> fixed(offsetof(TOKEN_GROUPS, Groups) + n * sizeof(SID_AND_ATTRIBUTES), 0);
        DWORD count = static_cast<DWORD>(n);
        std::memcpy(fixed.data(), &count, 4);
        std::vector<size_t> offsets;
        std::vector<const SidBytes*> sids;
        for (size_t i = 0; i < n; ++i) {
            size_t entry = offsetof(TOKEN_GROUPS, Groups) + i * sizeof(SID_AND_ATTRIBUTES);
            std::memcpy(&fixed[entry + offsetof(SID_AND_ATTRIBUTES, Attributes)],
                        &id.groups[i].attributes, 4);
            offsets.push_back(entry + offsetof(SID_AND_ATTRIBUTES, Sid));
            sids.push_back(&id.groups[i].sid);
        }
        return WriteInfo(fixed, offsets, sids, TokenInformation, TokenInformationLength,
                         ReturnLength);
    }
    case TokenPrivileges: {
        ProcessToken& t = TheToken();
        std::vector<LUID_AND_ATTRIBUTES> privileges;
        {
            std::lock_guard lock(t.mutex);
            privileges = t.privileges;
        }
        std::vector<BYTE> fixed(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                privileges.size() * sizeof(LUID_AND_ATTRIBUTES));
        DWORD count = static_cast<DWORD>(privileges.size());
        std::memcpy(fixed.data(), &count, 4);
        if (!privileges.empty())
            std::memcpy(&fixed[offsetof(TOKEN_PRIVILEGES, Privileges)], privileges.data(),
                        privileges.size() * sizeof(LUID_AND_ATTRIBUTES));
        return WriteInfo(fixed, {}, {}, TokenInformation, TokenInformationLength, ReturnLength);
    }
    case TokenElevation: {
        std::vector<BYTE> fixed(sizeof(TOKEN_ELEVATION), 0);
        DWORD elevated = id.system ? 1 : 0;
        std::memcpy(fixed.data(), &elevated, 4);
        return WriteInfo(fixed, {}, {}, TokenInformation, TokenInformationLength, ReturnLength);
    }
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
}

extern "C" BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
    if (!lpName) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE); // no name names no privilege
        return FALSE;
    }
    if (!lpLuid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!IsThisMachine(lpSystemName)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    DWORD luid = PrivilegeLuid(lpName);
    if (!luid) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    lpLuid->LowPart = luid;
    lpLuid->HighPart = 0;
    return TRUE;
}

extern "C" BOOL WINAPI LookupPrivilegeNameA(LPCSTR lpSystemName, PLUID lpLuid, LPSTR lpName,
                                            LPDWORD cchName) {
    if (!lpLuid || !cchName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!IsThisMachine(lpSystemName)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    for (const auto& p : kPrivileges) {
        if (p.luid != lpLuid->LowPart || lpLuid->HighPart != 0)
            continue;
        DWORD len = static_cast<DWORD>(std::strlen(p.name));
        if (!lpName || *cchName <= len) {
            *cchName = len + 1;
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::memcpy(lpName, p.name, len + 1);
        *cchName = len;
        return TRUE;
    }
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
}

extern "C" BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                             PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                             PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
    auto token = LookupToken(TokenHandle);
    if (!token)
        return FALSE;
    if (!(token->access & TOKEN_ADJUST_PRIVILEGES) ||
        (PreviousState && !(token->access & TOKEN_QUERY))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!DisableAllPrivileges && !NewState) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (PreviousState && !ReturnLength) {
        SetLastError(ERROR_NOACCESS); // Windows faults on writing the missing length
        return FALSE;
    }
    ProcessToken& t = TheToken();
    std::lock_guard lock(t.mutex);

    // Work out the new attributes first, so that a too-small previous-state
    // buffer changes nothing.
    struct Change {
        size_t index;
        DWORD newAttributes;
    };
    std::vector<Change> changes;
    bool allAssigned = true;
    auto changeFor = [&](size_t index, DWORD attrs) {
        for (auto& c : changes)
            if (c.index == index) {
                c.newAttributes = attrs;
                return;
            }
        changes.push_back({index, attrs});
    };
    if (DisableAllPrivileges) {
        for (size_t i = 0; i < t.privileges.size(); ++i)
            if (t.privileges[i].Attributes & SE_PRIVILEGE_ENABLED)
                changeFor(i, t.privileges[i].Attributes & ~SE_PRIVILEGE_ENABLED);
    } else {
        for (DWORD k = 0; k < NewState->PrivilegeCount; ++k) {
            const LUID_AND_ATTRIBUTES& want = NewState->Privileges[k];
            size_t i = 0;
            while (i < t.privileges.size() &&
                   !(t.privileges[i].Luid.LowPart == want.Luid.LowPart &&
                     t.privileges[i].Luid.HighPart == want.Luid.HighPart))
                ++i;
            if (i == t.privileges.size()) {
                allAssigned = false;
                continue;
            }
            DWORD attrs = t.privileges[i].Attributes;
            if (want.Attributes & SE_PRIVILEGE_REMOVED)
                attrs = SE_PRIVILEGE_REMOVED;
            else if (want.Attributes & SE_PRIVILEGE_ENABLED)
                attrs |= SE_PRIVILEGE_ENABLED;
            else
                attrs &= ~SE_PRIVILEGE_ENABLED;
            changeFor(i, attrs);
        }
    }
    std::vector<Change> effective;
    for (const auto& c : changes)
        if (c.newAttributes != t.privileges[c.index].Attributes)
            effective.push_back(c);

    if (PreviousState) {
        DWORD needed = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                          effective.size() * sizeof(LUID_AND_ATTRIBUTES));
        *ReturnLength = needed;
        if (BufferLength < needed) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        PreviousState->PrivilegeCount = static_cast<DWORD>(effective.size());
        for (size_t k = 0; k < effective.size(); ++k)
            PreviousState->Privileges[k] = t.privileges[effective[k].index];
    }
    std::vector<size_t> removed;
    for (const auto& c : effective) {
        if (c.newAttributes == SE_PRIVILEGE_REMOVED)
            removed.push_back(c.index);
        else
            t.privileges[c.index].Attributes = c.newAttributes;
    }
    std::sort(removed.rbegin(), removed.rend());
    for (size_t index : removed)
        t.privileges.erase(t.privileges.begin() + static_cast<long>(index));
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

extern "C" BOOL WINAPI PrivilegeCheck(HANDLE ClientToken, PPRIVILEGE_SET RequiredPrivileges,
                                      LPBOOL pfResult) {
    auto token = LookupToken(ClientToken);
    if (!token)
        return FALSE;
    if (!RequiredPrivileges || !pfResult) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(token->access & TOKEN_QUERY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    bool all = RequiredPrivileges->Control & PRIVILEGE_SET_ALL_NECESSARY;
    DWORD held = 0;
    for (DWORD k = 0; k < RequiredPrivileges->PrivilegeCount; ++k) {
        LUID_AND_ATTRIBUTES& p = RequiredPrivileges->Privilege[k];
        bool on = p.Luid.HighPart == 0 && ProcessPrivilegeEnabled(p.Luid.LowPart);
        if (on) {
            p.Attributes |= SE_PRIVILEGE_USED_FOR_ACCESS;
            ++held;
        } else {
            p.Attributes &= ~SE_PRIVILEGE_USED_FOR_ACCESS;
        }
    }
    *pfResult = all ? held == RequiredPrivileges->PrivilegeCount : held > 0;
    return TRUE;
}
