// sdshow and sdset: a service's security descriptor as SDDL text and back
// (the service rights as their two-letter names, well-known SIDs by alias).
#include "svcctl.h"

#include <cstdint>
#include <cstring>

namespace svcctl {
namespace {

const std::pair<const char*, const char*> kAliases[] = {
    {"S-1-5-18", "SY"}, {"S-1-5-32-544", "BA"}, {"S-1-5-4", "IU"},      {"S-1-5-6", "SU"},
    {"S-1-5-11", "AU"}, {"S-1-1-0", "WD"},      {"S-1-5-32-545", "BU"}, {"S-1-5-19", "LS"},
    {"S-1-5-20", "NS"}, {"S-1-3-0", "CO"},      {"S-1-5-32-547", "PU"}, {"S-1-5-2", "NU"}};

const std::pair<DWORD, const char*> kRights[] = {{SERVICE_QUERY_CONFIG, "CC"},
                                                 {SERVICE_CHANGE_CONFIG, "DC"},
                                                 {SERVICE_QUERY_STATUS, "LC"},
                                                 {SERVICE_ENUMERATE_DEPENDENTS, "SW"},
                                                 {SERVICE_START, "RP"},
                                                 {SERVICE_STOP, "WP"},
                                                 {SERVICE_PAUSE_CONTINUE, "DT"},
                                                 {SERVICE_INTERROGATE, "LO"},
                                                 {SERVICE_USER_DEFINED_CONTROL, "CR"},
                                                 {DELETE, "SD"},
                                                 {READ_CONTROL, "RC"},
                                                 {WRITE_DAC, "WD"},
                                                 {WRITE_OWNER, "WO"},
                                                 {GENERIC_ALL, "GA"},
                                                 {GENERIC_READ, "GR"},
                                                 {GENERIC_WRITE, "GW"},
                                                 {GENERIC_EXECUTE, "GX"}};

const std::pair<BYTE, const char*> kAceFlags[] = {{OBJECT_INHERIT_ACE, "OI"},
                                                  {CONTAINER_INHERIT_ACE, "CI"},
                                                  {NO_PROPAGATE_INHERIT_ACE, "NP"},
                                                  {INHERIT_ONLY_ACE, "IO"},
                                                  {INHERITED_ACE, "ID"},
                                                  {SUCCESSFUL_ACCESS_ACE_FLAG, "SA"},
                                                  {FAILED_ACCESS_ACE_FLAG, "FA"}};

std::string Hex(DWORD v) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%lx", static_cast<unsigned long>(v));
    return buf;
}

std::string SidText(const unsigned char* sid) {
    std::string s = "S-" + std::to_string(sid[0]) + "-";
    uint64_t auth = 0;
    for (int i = 2; i < 8; ++i)
        auth = (auth << 8) | sid[i];
    s += std::to_string(auth);
    for (int i = 0; i < sid[1]; ++i) {
        DWORD sub;
        memcpy(&sub, sid + 8 + 4 * i, 4);
        s += "-" + std::to_string(sub);
    }
    for (const auto& [text, alias] : kAliases)
        if (s == text)
            return alias;
    return s;
}

std::string MaskText(DWORD mask) {
    std::string s;
    DWORD rest = mask;
    for (const auto& [bit, text] : kRights)
        if (mask & bit) {
            s += text;
            rest &= ~bit;
        }
    return rest ? Hex(mask) : s;
}

std::string AclText(const unsigned char* acl, bool audit) {
    std::string s;
    WORD count;
    memcpy(&count, acl + 4, 2);
    size_t off = 8;
    for (WORD i = 0; i < count; ++i) {
        const unsigned char* ace = acl + off;
        WORD size;
        memcpy(&size, ace + 2, 2);
        DWORD mask;
        memcpy(&mask, ace + 4, 4);
        std::string type = ace[0] == ACCESS_ALLOWED_ACE_TYPE  ? "A"
                           : ace[0] == ACCESS_DENIED_ACE_TYPE ? "D"
                           : ace[0] == SYSTEM_AUDIT_ACE_TYPE  ? "AU"
                                                              : Hex(ace[0]);
        std::string flags;
        for (const auto& [bit, text] : kAceFlags)
            if ((ace[1] & bit) && (audit || bit < SUCCESSFUL_ACCESS_ACE_FLAG))
                flags += text;
        s += "(" + type + ";" + flags + ";" + MaskText(mask) + ";;;" + SidText(ace + 8) + ")";
        off += size;
    }
    return s;
}

// ---- SDDL text into a descriptor ----

// "S-1-5-32-544" or an alias into SID bytes; empty when invalid.
std::vector<BYTE> ParseSid(const std::string& text) {
    for (const auto& [sid, alias] : kAliases)
        if (text == alias)
            return ParseSid(sid);
    if (text.size() < 4 || text.compare(0, 2, "S-") != 0)
        return {};
    std::vector<uint64_t> parts;
    size_t pos = 2;
    while (pos <= text.size()) {
        size_t dash = text.find('-', pos);
        std::string part = text.substr(pos, dash - pos);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos ||
            part.size() > 15)
            return {};
        parts.push_back(std::stoull(part));
        if (dash == std::string::npos)
            break;
        pos = dash + 1;
    }
    // Revision, authority, 1 to 15 sub-authorities.
    if (parts.size() < 3 || parts.size() > 17 || parts[0] != 1 || parts[1] >= (1ull << 48))
        return {};
    std::vector<BYTE> sid(8 + 4 * (parts.size() - 2));
    sid[0] = 1;
    sid[1] = static_cast<BYTE>(parts.size() - 2);
    for (int i = 0; i < 6; ++i)
        sid[2 + i] = static_cast<BYTE>(parts[1] >> (8 * (5 - i)));
    for (size_t i = 2; i < parts.size(); ++i) {
        if (parts[i] > 0xFFFFFFFFull)
            return {};
        DWORD sub = static_cast<DWORD>(parts[i]);
        memcpy(sid.data() + 8 + 4 * (i - 2), &sub, 4);
    }
    return sid;
}

bool ParseRights(const std::string& text, DWORD& mask) {
    if (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0)
        return ParseNumber(text, mask);
    if (text.size() % 2)
        return false;
    mask = 0;
    for (size_t i = 0; i < text.size(); i += 2) {
        bool found = false;
        for (const auto& [bit, name] : kRights)
            if (text.compare(i, 2, name) == 0) {
                mask |= bit;
                found = true;
            }
        if (!found)
            return false;
    }
    return true;
}

struct Ace {
    BYTE type = 0, flags = 0;
    DWORD mask = 0;
    std::vector<BYTE> sid;
};

// One "(type;flags;rights;;;sid)" entry.
bool ParseAce(const std::string& body, bool audit, Ace& ace) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t semi = body.find(';', start);
        fields.push_back(body.substr(start, semi - start));
        if (semi == std::string::npos)
            break;
        start = semi + 1;
    }
    if (fields.size() != 6 || !fields[3].empty() || !fields[4].empty())
        return false;
    if (audit ? fields[0] != "AU" : fields[0] != "A" && fields[0] != "D")
        return false;
    ace.type = fields[0] == "A"   ? ACCESS_ALLOWED_ACE_TYPE
               : fields[0] == "D" ? ACCESS_DENIED_ACE_TYPE
                                  : SYSTEM_AUDIT_ACE_TYPE;
    const std::string& f = fields[1];
    if (f.size() % 2)
        return false;
    for (size_t i = 0; i < f.size(); i += 2) {
        bool found = false;
        for (const auto& [bit, name] : kAceFlags)
            if (f.compare(i, 2, name) == 0 && (audit || bit < SUCCESSFUL_ACCESS_ACE_FLAG)) {
                ace.flags |= bit;
                found = true;
            }
        if (!found)
            return false;
    }
    if (!ParseRights(fields[2], ace.mask))
        return false;
    ace.sid = ParseSid(fields[5]);
    return !ace.sid.empty();
}

struct Sddl {
    std::vector<BYTE> owner, group;
    bool hasOwner = false, hasGroup = false, hasDacl = false, hasSacl = false;
    std::vector<Ace> dacl, sacl;
};

// "O:sid G:sid D:flags(ace)... S:flags(ace)..." in any order.
bool ParseSddl(const std::string& text, Sddl& out) {
    size_t i = 0;
    while (i < text.size()) {
        if (i + 1 >= text.size() || text[i + 1] != ':')
            return false;
        char part = text[i];
        i += 2;
        size_t end = i;
        while (end < text.size() &&
               !(end + 1 < text.size() && text[end + 1] == ':' && strchr("OGDS", text[end]))) {
            if (text[end] == '(') {
                size_t close = text.find(')', end);
                if (close == std::string::npos)
                    return false;
                end = close + 1;
            } else {
                ++end;
            }
        }
        std::string body = text.substr(i, end - i);
        i = end;
        if (part == 'O' || part == 'G') {
            std::vector<BYTE> sid = ParseSid(body);
            if (sid.empty())
                return false;
            (part == 'O' ? out.owner : out.group) = sid;
            (part == 'O' ? out.hasOwner : out.hasGroup) = true;
            continue;
        }
        if (part != 'D' && part != 'S')
            return false;
        bool audit = part == 'S';
        (audit ? out.hasSacl : out.hasDacl) = true;
        // ACL flags (P, AI, AR) before the entries are accepted and unused:
        // services inherit nothing.
        size_t at = 0;
        while (at < body.size() && body[at] != '(') {
            if (body.compare(at, 2, "AI") == 0 || body.compare(at, 2, "AR") == 0)
                at += 2;
            else if (body[at] == 'P')
                ++at;
            else
                return false;
        }
        while (at < body.size()) {
            size_t close = body.find(')', at);
            if (body[at] != '(' || close == std::string::npos)
                return false;
            Ace ace;
            if (!ParseAce(body.substr(at + 1, close - at - 1), audit, ace))
                return false;
            (audit ? out.sacl : out.dacl).push_back(ace);
            at = close + 1;
        }
    }
    return out.hasOwner || out.hasGroup || out.hasDacl || out.hasSacl;
}

bool BuildAcl(const std::vector<Ace>& aces, std::vector<BYTE>& acl) {
    size_t size = sizeof(ACL);
    for (const Ace& a : aces)
        size += 8 + a.sid.size();
    if (size > 0xFFFC)
        return false;
    acl.assign(size, 0);
    PACL p = reinterpret_cast<PACL>(acl.data());
    if (!InitializeAcl(p, static_cast<DWORD>(size), ACL_REVISION))
        return false;
    for (const Ace& a : aces) {
        PSID sid = const_cast<BYTE*>(a.sid.data());
        BOOL ok = a.type == ACCESS_ALLOWED_ACE_TYPE
                      ? AddAccessAllowedAceEx(p, ACL_REVISION, a.flags, a.mask, sid)
                  : a.type == ACCESS_DENIED_ACE_TYPE
                      ? AddAccessDeniedAceEx(p, ACL_REVISION, a.flags, a.mask, sid)
                      : AddAuditAccessAce(p, ACL_REVISION, a.mask, sid,
                                          (a.flags & SUCCESSFUL_ACCESS_ACE_FLAG) != 0,
                                          (a.flags & FAILED_ACCESS_ACE_FLAG) != 0);
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

int DoSdShow(const std::vector<std::string>& args) {
    if (args.size() != 2)
        return UsageError("sdshow", "expected one service name");
    Sc mgr(OpenManager(SC_MANAGER_CONNECT));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    // The SACL too when SeSecurityPrivilege can be enabled, as sc does.
    DWORD info = DACL_SECURITY_INFORMATION;
    Sc svc;
    if (EnablePrivilege(SE_SECURITY_NAME))
        svc.h = OpenServiceA(mgr.h, args[1].c_str(), READ_CONTROL | ACCESS_SYSTEM_SECURITY);
    if (svc.h)
        info |= SACL_SECURITY_INFORMATION;
    else
        svc.h = OpenServiceA(mgr.h, args[1].c_str(), READ_CONTROL);
    if (!svc.h)
        return Failed("OpenService", GetLastError());
    DWORD needed = 0;
    QueryServiceObjectSecurity(svc.h, info, nullptr, 0, &needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return Failed("QueryServiceObjectSecurity", GetLastError());
    std::vector<unsigned char> sd(needed);
    if (!QueryServiceObjectSecurity(svc.h, info, sd.data(), needed, &needed))
        return Failed("QueryServiceObjectSecurity", GetLastError());
    DWORD offs[4];
    memcpy(offs, sd.data() + 4, 16);
    std::string text;
    if (offs[3])
        text += "D:" + AclText(sd.data() + offs[3], false);
    if (offs[2])
        text += "S:" + AclText(sd.data() + offs[2], true);
    printf("\n%s\n", text.c_str());
    return 0;
}

int DoSdSet(const std::vector<std::string>& args) {
    if (args.size() != 3)
        return UsageError("sdset", "expected a service name and an SDDL text");
    Sddl sddl;
    if (!ParseSddl(args[2], sddl))
        return Failed("ConvertStringSecurityDescriptorToSecurityDescriptor",
                      ERROR_INVALID_PARAMETER);
    std::vector<BYTE> dacl, sacl;
    if ((sddl.hasDacl && !BuildAcl(sddl.dacl, dacl)) ||
        (sddl.hasSacl && !BuildAcl(sddl.sacl, sacl)))
        return Failed("ConvertStringSecurityDescriptorToSecurityDescriptor", ERROR_INVALID_ACL);
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    DWORD info = 0, access = 0;
    if (sddl.hasOwner) {
        SetSecurityDescriptorOwner(&sd, sddl.owner.data(), FALSE);
        info |= OWNER_SECURITY_INFORMATION;
        access |= WRITE_OWNER;
    }
    if (sddl.hasGroup) {
        SetSecurityDescriptorGroup(&sd, sddl.group.data(), FALSE);
        info |= GROUP_SECURITY_INFORMATION;
        access |= WRITE_OWNER;
    }
    if (sddl.hasDacl) {
        SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(dacl.data()), FALSE);
        info |= DACL_SECURITY_INFORMATION;
        access |= WRITE_DAC;
    }
    if (sddl.hasSacl) {
        EnablePrivilege(SE_SECURITY_NAME);
        SetSecurityDescriptorSacl(&sd, TRUE, reinterpret_cast<PACL>(sacl.data()), FALSE);
        info |= SACL_SECURITY_INFORMATION;
        access |= ACCESS_SYSTEM_SECURITY;
    }
    Sc mgr(OpenManager(SC_MANAGER_CONNECT));
    if (!mgr.h)
        return Failed("OpenSCManager", GetLastError());
    Sc svc(OpenServiceA(mgr.h, args[1].c_str(), access));
    if (!svc.h)
        return Failed("OpenService", GetLastError());
    if (!SetServiceObjectSecurity(svc.h, info, &sd))
        return Failed("SetServiceObjectSecurity", GetLastError());
    printf("[SC] SetServiceObjectSecurity SUCCESS\n");
    return 0;
}

} // namespace svcctl
