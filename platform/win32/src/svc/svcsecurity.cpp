// Security of the service control manager: the default descriptor of a new
// service, taking descriptors apart and putting them together in the
// self-relative form, and the access checks of manager and service handles.
#include "svcsecurity.h"

#include "../lasterror.h"
#include "../security.h"

#include <cstring>
#include <unistd.h>

namespace w32p::scm {
namespace {

std::vector<BYTE> MakeSid(BYTE authority, std::initializer_list<DWORD> subs) {
    std::vector<BYTE> sid(8 + 4 * subs.size());
    sid[0] = 1;
    sid[1] = static_cast<BYTE>(subs.size());
    sid[7] = authority;
    size_t off = 8;
    for (DWORD s : subs) {
        memcpy(&sid[off], &s, 4);
        off += 4;
    }
    return sid;
}

void AddAce(std::vector<BYTE>& aces, WORD& count, BYTE type, BYTE flags, DWORD mask,
            const std::vector<BYTE>& sid) {
    WORD size = static_cast<WORD>(8 + sid.size());
    size_t off = aces.size();
    aces.resize(off + size);
    aces[off] = type;
    aces[off + 1] = flags;
    memcpy(&aces[off + 2], &size, 2);
    memcpy(&aces[off + 4], &mask, 4);
    memcpy(&aces[off + 8], sid.data(), sid.size());
    ++count;
}

std::vector<BYTE> MakeAcl(const std::vector<BYTE>& aces, WORD count) {
    std::vector<BYTE> acl(8 + aces.size());
    acl[0] = ACL_REVISION;
    WORD size = static_cast<WORD>(acl.size());
    memcpy(&acl[2], &size, 2);
    memcpy(&acl[4], &count, 2);
    memcpy(&acl[8], aces.data(), aces.size());
    return acl;
}

} // namespace

std::vector<BYTE> DefaultServiceDescriptor() {
    auto system = MakeSid(5, {18});
    auto admins = MakeSid(5, {32, 544});
    auto interactive = MakeSid(5, {4});
    auto service = MakeSid(5, {6});
    auto everyone = MakeSid(1, {0});
    const DWORD read = READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                       SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE |
                       SERVICE_USER_DEFINED_CONTROL;
    const DWORD systemMask = read | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE;
    std::vector<BYTE> aces;
    WORD count = 0;
    AddAce(aces, count, ACCESS_ALLOWED_ACE_TYPE, 0, systemMask, system);
    AddAce(aces, count, ACCESS_ALLOWED_ACE_TYPE, 0, SERVICE_ALL_ACCESS, admins);
    AddAce(aces, count, ACCESS_ALLOWED_ACE_TYPE, 0, read, interactive);
    AddAce(aces, count, ACCESS_ALLOWED_ACE_TYPE, 0, read, service);
    std::vector<BYTE> saces;
    WORD scount = 0;
    AddAce(saces, scount, SYSTEM_AUDIT_ACE_TYPE, FAILED_ACCESS_ACE_FLAG, SERVICE_ALL_ACCESS,
           everyone);
    SdParts parts;
    parts.owner = system;
    parts.group = system;
    parts.dacl = MakeAcl(aces, count);
    parts.hasDacl = true;
    parts.sacl = MakeAcl(saces, scount);
    parts.hasSacl = true;
    return BuildSelfRelative(parts, 0xF);
}

bool ParseDescriptor(const void* sd, size_t maxLen, SdParts& out) {
    // The layer's own validators decide, so that the manager accepts exactly
    // the descriptors that AccessCheck and the accessors accept.
    KeepLastError keep;
    if (!sd || maxLen < sizeof(SECURITY_DESCRIPTOR_RELATIVE))
        return false;
    auto* sdp = const_cast<void*>(sd);
    WORD control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(sdp, &control, &revision))
        return false;
    bool valid = (control & SE_SELF_RELATIVE)
                     ? IsValidRelativeSecurityDescriptor(sdp, static_cast<ULONG>(maxLen), 0)
                     : maxLen >= sizeof(SECURITY_DESCRIPTOR) && IsValidSecurityDescriptor(sdp);
    if (!valid)
        return false;
    out = SdParts{};
    out.control = control;
    auto copySid = [](PSID sid, std::vector<BYTE>& to) {
        if (sid)
            to.assign(static_cast<const BYTE*>(sid),
                      static_cast<const BYTE*>(sid) + GetLengthSid(sid));
    };
    auto copyAcl = [](PACL acl, std::vector<BYTE>& to) {
        if (acl) {
            WORD size;
            memcpy(&size, reinterpret_cast<const BYTE*>(acl) + 2, 2);
            to.assign(reinterpret_cast<const BYTE*>(acl),
                      reinterpret_cast<const BYTE*>(acl) + size);
        }
    };
    PSID sid = nullptr;
    PACL acl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorOwner(sdp, &sid, &defaulted);
    copySid(sid, out.owner);
    GetSecurityDescriptorGroup(sdp, &sid, &defaulted);
    copySid(sid, out.group);
    GetSecurityDescriptorSacl(sdp, &present, &acl, &defaulted);
    out.hasSacl = present;
    copyAcl(acl, out.sacl);
    GetSecurityDescriptorDacl(sdp, &present, &acl, &defaulted);
    out.hasDacl = present;
    copyAcl(acl, out.dacl);
    return true;
}

bool ParseStoredDescriptor(const std::vector<BYTE>& stored, SdParts& out) {
    if (stored.size() < 4)
        return false;
    WORD control;
    memcpy(&control, stored.data() + 2, 2);
    return (control & SE_SELF_RELATIVE) && ParseDescriptor(stored.data(), stored.size(), out);
}

std::vector<BYTE> BuildSelfRelative(const SdParts& parts, DWORD info) {
    std::vector<BYTE> sd(20);
    sd[0] = 1;
    WORD control = SE_SELF_RELATIVE;
    DWORD offs[4] = {0, 0, 0, 0};
    auto append = [&](const std::vector<BYTE>& blob) {
        DWORD off = static_cast<DWORD>(sd.size());
        sd.insert(sd.end(), blob.begin(), blob.end());
        return off;
    };
    if ((info & OWNER_SECURITY_INFORMATION) && !parts.owner.empty())
        offs[0] = append(parts.owner);
    if ((info & GROUP_SECURITY_INFORMATION) && !parts.group.empty())
        offs[1] = append(parts.group);
    if ((info & SACL_SECURITY_INFORMATION) && parts.hasSacl) {
        control |= SE_SACL_PRESENT;
        if (!parts.sacl.empty())
            offs[2] = append(parts.sacl);
    }
    if ((info & DACL_SECURITY_INFORMATION) && parts.hasDacl) {
        control |= SE_DACL_PRESENT;
        if (!parts.dacl.empty())
            offs[3] = append(parts.dacl);
    }
    memcpy(&sd[2], &control, 2);
    memcpy(&sd[4], offs, 16);
    return sd;
}

GENERIC_MAPPING ServiceMapping() {
    GENERIC_MAPPING m;
    m.GenericRead = STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                    SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS;
    m.GenericWrite = STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG;
    m.GenericExecute = STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP |
                       SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
    m.GenericAll = SERVICE_ALL_ACCESS;
    return m;
}

GENERIC_MAPPING ManagerMapping() {
    GENERIC_MAPPING m;
    m.GenericRead =
        STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    m.GenericWrite =
        STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    m.GenericExecute = STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    m.GenericAll = SC_MANAGER_ALL_ACCESS;
    return m;
}

namespace {

DWORD MapGeneric(DWORD mask, const GENERIC_MAPPING& m) {
    if (mask & GENERIC_READ)
        mask |= m.GenericRead;
    if (mask & GENERIC_WRITE)
        mask |= m.GenericWrite;
    if (mask & GENERIC_EXECUTE)
        mask |= m.GenericExecute;
    if (mask & GENERIC_ALL)
        mask |= m.GenericAll;
    return mask & ~static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

struct Token {
    HANDLE h = nullptr;
    Token() {
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &h))
            h = nullptr;
    }
    ~Token() {
        if (h)
            CloseHandle(h);
    }
};

bool SecurityPrivilegeEnabled(HANDLE token) {
    LUID luid;
    if (!token || !LookupPrivilegeValueA(nullptr, SE_SECURITY_NAME, &luid))
        return false;
    PRIVILEGE_SET ps{};
    ps.PrivilegeCount = 1;
    ps.Control = PRIVILEGE_SET_ALL_NECESSARY;
    ps.Privilege[0].Luid = luid;
    ps.Privilege[0].Attributes = 0;
    BOOL held = FALSE;
    return PrivilegeCheck(token, &ps, &held) && held;
}

} // namespace

DWORD CheckManagerAccess(DWORD desired, DWORD& granted) {
    GENERIC_MAPPING m = ManagerMapping();
    DWORD want = MapGeneric(desired, m);
    DWORD allowed = geteuid() == 0
                        ? static_cast<DWORD>(SC_MANAGER_ALL_ACCESS)
                        : static_cast<DWORD>(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
                                             SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL);
    if (want & MAXIMUM_ALLOWED)
        want = (want & ~static_cast<DWORD>(MAXIMUM_ALLOWED)) | allowed;
    if (want & ~allowed)
        return ERROR_ACCESS_DENIED;
    granted = want | SC_MANAGER_CONNECT;
    return 0;
}

DWORD CheckServiceAccess(const std::vector<BYTE>& sd, DWORD desired, DWORD& granted) {
    GENERIC_MAPPING m = ServiceMapping();
    DWORD want = MapGeneric(desired, m);
    Token token;
    DWORD extra = 0;
    if (want & ACCESS_SYSTEM_SECURITY) {
        if (!SecurityPrivilegeEnabled(token.h))
            return ERROR_PRIVILEGE_NOT_HELD;
        want &= ~static_cast<DWORD>(ACCESS_SYSTEM_SECURITY);
        extra = ACCESS_SYSTEM_SECURITY;
    }
    if (want == 0) {
        granted = extra;
        return 0;
    }
    if (!token.h)
        return ERROR_ACCESS_DENIED;
    std::vector<BYTE> copy = sd;
    BYTE privBuf[64] = {};
    DWORD privLen = sizeof privBuf;
    DWORD got = 0;
    BOOL status = FALSE;
    if (!AccessCheck(copy.data(), token.h, want, &m, reinterpret_cast<PPRIVILEGE_SET>(privBuf),
                     &privLen, &got, &status))
        return GetLastError() ? GetLastError() : ERROR_ACCESS_DENIED;
    if (!status)
        return ERROR_ACCESS_DENIED;
    granted = got | extra;
    return 0;
}

} // namespace w32p::scm
