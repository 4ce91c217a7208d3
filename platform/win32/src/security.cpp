// SIDs, ACLs, security descriptors and access checks (advapi32), with the
// Windows byte layouts of winnt.h.
#include "security.h"

#include "handles.h"
#include "token.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace w32p {

bool SafeCopy(void* dst, const void* src, size_t n) {
    if (n == 0)
        return true;
    if (!src)
        return false;
    uintptr_t start = reinterpret_cast<uintptr_t>(src);
    if (start + n < start)
        return false;
    iovec local{dst, n};
    iovec remote{const_cast<void*>(src), n};
    ssize_t got = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (got == static_cast<ssize_t>(n))
        return true;
    if (got >= 0 || (errno != ENOSYS && errno != EPERM))
        return false;
    return SafeCopyThroughPipe(dst, src, n);
}

bool SafeCopyThroughPipe(void* dst, const void* src, size_t n) {
    if (n == 0)
        return true;
    uintptr_t start = reinterpret_cast<uintptr_t>(src);
    if (!src || start + n < start)
        return false;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    bool ok = true;
    auto* out = static_cast<BYTE*>(dst);
    const BYTE* in = static_cast<const BYTE*>(src);
    for (size_t done = 0; ok && done < n;) {
        size_t chunk = std::min<size_t>(n - done, 4096);
        ssize_t w = write(fds[1], in + done, chunk);
        if (w <= 0) {
            ok = false;
            break;
        }
        ssize_t r = read(fds[0], out + done, static_cast<size_t>(w));
        if (r != w)
            ok = false;
        done += static_cast<size_t>(w);
    }
    close(fds[0]);
    close(fds[1]);
    return ok;
}

size_t SidLength(const BYTE* sid, size_t available) {
    if (!sid || available < 8 || sid[0] != SID_REVISION || sid[1] > SID_MAX_SUB_AUTHORITIES)
        return 0;
    size_t len = 8 + 4 * static_cast<size_t>(sid[1]);
    return len <= available ? len : 0;
}

namespace {

WORD Word(const BYTE* p) {
    WORD v;
    std::memcpy(&v, p, 2);
    return v;
}
DWORD Dword(const BYTE* p) {
    DWORD v;
    std::memcpy(&v, p, 4);
    return v;
}

// Offset of the SID inside an ACE of a known type; 0 for types whose
// layout is not checked.
size_t AceSidOffset(const BYTE* ace, size_t size) {
    switch (ace[0]) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case SYSTEM_AUDIT_ACE_TYPE:
    case SYSTEM_ALARM_ACE_TYPE:
        return 8;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case SYSTEM_AUDIT_OBJECT_ACE_TYPE:
    case SYSTEM_ALARM_OBJECT_ACE_TYPE: {
        if (size < 12)
            return SIZE_MAX;
        DWORD flags = Dword(ace + 8);
        return 12 + ((flags & 1) ? 16 : 0) + ((flags & 2) ? 16 : 0);
    }
    default:
        return 0;
    }
}

} // namespace

bool AclBytesValid(const BYTE* acl, size_t size) {
    if (!acl || size < sizeof(ACL))
        return false;
    BYTE revision = acl[0];
    WORD aclSize = Word(acl + 2);
    WORD count = Word(acl + 4);
    if (revision < MIN_ACL_REVISION || revision > MAX_ACL_REVISION || aclSize < sizeof(ACL) ||
        aclSize > size || (aclSize & 3))
        return false;
    size_t at = sizeof(ACL);
    for (WORD i = 0; i < count; ++i) {
        if (at + sizeof(ACE_HEADER) > aclSize)
            return false;
        const BYTE* ace = acl + at;
        WORD aceSize = Word(ace + 2);
        if (aceSize < sizeof(ACE_HEADER) || (aceSize & 3) || at + aceSize > aclSize)
            return false;
        if (ace[0] >= ACCESS_ALLOWED_OBJECT_ACE_TYPE && ace[0] <= SYSTEM_ALARM_OBJECT_ACE_TYPE &&
            revision < ACL_REVISION_DS)
            return false;
        size_t sidAt = AceSidOffset(ace, aceSize);
        if (sidAt == SIZE_MAX)
            return false;
        if (sidAt && (sidAt >= aceSize || !SidLength(ace + sidAt, aceSize - sidAt)))
            return false;
        at += aceSize;
    }
    return true;
}

bool RelativePartOffsets(const BYTE* header, DWORD offs[4]) {
    WORD control = Word(header + 2);
    for (int i = 0; i < 4; ++i) {
        offs[i] = Dword(header + 4 + 4 * i); // owner, group, SACL, DACL
        if ((i == 2 && !(control & SE_SACL_PRESENT)) || (i == 3 && !(control & SE_DACL_PRESENT)))
            offs[i] = 0; // not present: ignored, wherever it points
        if (offs[i] && (offs[i] < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || (offs[i] & 3)))
            return false;
    }
    return true;
}

} // namespace w32p

using namespace w32p;

namespace {

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

// Reads a SID at an address that may be garbage; empty when invalid.
bool SafeSid(const void* at, std::vector<BYTE>* out) {
    BYTE head[8];
    if (!SafeCopy(head, at, 8) || head[0] != SID_REVISION || head[1] > SID_MAX_SUB_AUTHORITIES)
        return false;
    out->resize(8 + 4 * static_cast<size_t>(head[1]));
    return SafeCopy(out->data(), at, out->size());
}

bool SafeAcl(const void* at, std::vector<BYTE>* out) {
    BYTE head[sizeof(ACL)];
    if (!SafeCopy(head, at, sizeof head))
        return false;
    WORD size = Word(head + 2);
    if (size < sizeof(ACL))
        return false;
    out->resize(size);
    return SafeCopy(out->data(), at, size) && AclBytesValid(out->data(), size);
}

// The parts of a descriptor in our own memory, absolute or self-relative.
struct Parts {
    BYTE revision = 0;
    WORD control = 0;
    BYTE* owner = nullptr;
    BYTE* group = nullptr;
    BYTE* sacl = nullptr;
    BYTE* dacl = nullptr;
};

Parts ReadParts(PSECURITY_DESCRIPTOR sd) {
    Parts p;
    auto* base = static_cast<BYTE*>(sd);
    p.revision = base[0];
    p.control = Word(base + 2);
    if (p.control & SE_SELF_RELATIVE) {
        auto at = [&](size_t field) -> BYTE* {
            DWORD off = Dword(base + field);
            return off ? base + off : nullptr;
        };
        p.owner = at(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner));
        p.group = at(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Group));
        p.sacl = at(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Sacl));
        p.dacl = at(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl));
    } else {
        auto* abs = static_cast<SECURITY_DESCRIPTOR*>(sd);
        p.owner = static_cast<BYTE*>(abs->Owner);
        p.group = static_cast<BYTE*>(abs->Group);
        p.sacl = reinterpret_cast<BYTE*>(abs->Sacl);
        p.dacl = reinterpret_cast<BYTE*>(abs->Dacl);
    }
    if (!(p.control & SE_SACL_PRESENT))
        p.sacl = nullptr;
    if (!(p.control & SE_DACL_PRESENT))
        p.dacl = nullptr;
    return p;
}

size_t SidSize(const BYTE* sid) {
    return sid ? 8 + 4 * static_cast<size_t>(sid[1]) : 0;
}
size_t AclSizeOf(const BYTE* acl) {
    return acl ? Word(acl + 2) : 0;
}
size_t Align4(size_t n) {
    return (n + 3) & ~static_cast<size_t>(3);
}

// Checks the header of a descriptor given to a Get/Set function.
BOOL CheckHeader(PSECURITY_DESCRIPTOR sd, bool needAbsolute) {
    if (!sd)
        return Fail(ERROR_INVALID_PARAMETER);
    auto* base = static_cast<BYTE*>(sd);
    if (base[0] != SECURITY_DESCRIPTOR_REVISION)
        return Fail(ERROR_UNKNOWN_REVISION);
    if (needAbsolute && (Word(base + 2) & SE_SELF_RELATIVE))
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    return TRUE;
}

BOOL AddOneAce(PACL pAcl, DWORD revision, BYTE type, DWORD flags, DWORD mask, PSID pSid,
               DWORD validFlags) {
    if (!pAcl)
        return Fail(ERROR_INVALID_PARAMETER);
    auto* acl = reinterpret_cast<BYTE*>(pAcl);
    if (!AclBytesValid(acl, Word(acl + 2)))
        return Fail(ERROR_INVALID_ACL);
    if (revision < MIN_ACL_REVISION || revision > MAX_ACL_REVISION)
        return Fail(ERROR_REVISION_MISMATCH);
    if (flags & ~validFlags)
        return Fail(ERROR_INVALID_FLAGS);
    if (!IsValidSid(pSid))
        return Fail(ERROR_INVALID_SID);
    size_t sidLen = GetLengthSid(pSid);
    std::vector<BYTE> ace(8 + sidLen);
    ace[0] = type;
    ace[1] = static_cast<BYTE>(flags);
    WORD size = static_cast<WORD>(ace.size());
    std::memcpy(&ace[2], &size, 2);
    std::memcpy(&ace[4], &mask, 4);
    std::memcpy(&ace[8], pSid, sidLen);
    ACL_SIZE_INFORMATION info;
    GetAclInformation(pAcl, &info, sizeof info, AclSizeInformation);
    if (info.AclBytesFree < ace.size())
        return Fail(ERROR_ALLOTTED_SPACE_EXCEEDED);
    return AddAce(pAcl, revision, MAXDWORD, ace.data(), static_cast<DWORD>(ace.size()));
}

// Offset of ACE `index` in a valid ACL (or of its end when index == count).
size_t AceOffset(const BYTE* acl, DWORD index) {
    size_t at = sizeof(ACL);
    for (DWORD i = 0; i < index; ++i)
        at += Word(acl + at + 2);
    return at;
}

} // namespace

/* ---- SIDs ---- */

extern "C" BOOL WINAPI IsValidSid(PSID pSid) {
    std::vector<BYTE> copy;
    if (!pSid || !SafeSid(pSid, &copy))
        return Fail(ERROR_INVALID_SID);
    return TRUE;
}

extern "C" DWORD WINAPI GetLengthSid(PSID pSid) {
    std::vector<BYTE> copy;
    if (!pSid || !SafeSid(pSid, &copy)) {
        SetLastError(ERROR_INVALID_SID);
        return 0;
    }
    return static_cast<DWORD>(copy.size());
}

extern "C" BOOL WINAPI CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid) {
    std::vector<BYTE> copy;
    if (!pSourceSid || !SafeSid(pSourceSid, &copy))
        return Fail(ERROR_INVALID_SID);
    if (nDestinationSidLength < copy.size() || !pDestinationSid)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(pDestinationSid, copy.data(), copy.size());
    return TRUE;
}

extern "C" BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
    // As Windows: the last error is 0 whatever the answer, so that a caller
    // can tell "unequal" from a failure; an invalid SID equals nothing.
    SetLastError(ERROR_SUCCESS);
    std::vector<BYTE> a, b;
    if (!pSid1 || !pSid2 || !SafeSid(pSid1, &a) || !SafeSid(pSid2, &b))
        return FALSE;
    return a == b;
}

extern "C" BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                                                BYTE nSubAuthorityCount, DWORD s0, DWORD s1,
                                                DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6,
                                                DWORD s7, PSID* pSid) {
    if (!pSid || !pIdentifierAuthority || nSubAuthorityCount > 8)
        return Fail(ERROR_INVALID_PARAMETER);
    size_t len = 8 + 4 * static_cast<size_t>(nSubAuthorityCount);
    auto* sid = static_cast<BYTE*>(std::calloc(1, len));
    if (!sid)
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    sid[0] = SID_REVISION;
    sid[1] = nSubAuthorityCount;
    std::memcpy(sid + 2, pIdentifierAuthority->Value, 6);
    const DWORD subs[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
    std::memcpy(sid + 8, subs, 4 * static_cast<size_t>(nSubAuthorityCount));
    *pSid = sid;
    return TRUE;
}

extern "C" PVOID WINAPI FreeSid(PSID pSid) {
    std::free(pSid);
    return nullptr;
}

extern "C" BOOL WINAPI InitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                                     BYTE nSubAuthorityCount) {
    if (!Sid || !pIdentifierAuthority || nSubAuthorityCount > SID_MAX_SUB_AUTHORITIES)
        return Fail(ERROR_INVALID_PARAMETER);
    auto* sid = static_cast<BYTE*>(Sid);
    sid[0] = SID_REVISION;
    sid[1] = nSubAuthorityCount;
    std::memcpy(sid + 2, pIdentifierAuthority->Value, 6);
    return TRUE;
}

extern "C" DWORD WINAPI GetSidLengthRequired(UCHAR nSubAuthorityCount) {
    return 8 + 4 * static_cast<DWORD>(nSubAuthorityCount);
}

extern "C" PDWORD WINAPI GetSidSubAuthority(PSID pSid, DWORD nSubAuthority) {
    if (!pSid) {
        SetLastError(ERROR_INVALID_SID);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<PDWORD>(static_cast<BYTE*>(pSid) + 8 + 4 * nSubAuthority);
}

extern "C" PUCHAR WINAPI GetSidSubAuthorityCount(PSID pSid) {
    if (!pSid) {
        SetLastError(ERROR_INVALID_SID);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<BYTE*>(pSid) + 1;
}

extern "C" PSID_IDENTIFIER_AUTHORITY WINAPI GetSidIdentifierAuthority(PSID pSid) {
    if (!pSid) {
        SetLastError(ERROR_INVALID_SID);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<PSID_IDENTIFIER_AUTHORITY>(static_cast<BYTE*>(pSid) + 2);
}

/* ---- ACLs ---- */

extern "C" BOOL WINAPI InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision) {
    if (!pAcl)
        return Fail(ERROR_INVALID_PARAMETER);
    if (nAclLength < sizeof(ACL))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (nAclLength > 0xFFFF || dwAclRevision < MIN_ACL_REVISION || dwAclRevision > MAX_ACL_REVISION)
        return Fail(ERROR_INVALID_PARAMETER);
    pAcl->AclRevision = static_cast<BYTE>(dwAclRevision);
    pAcl->Sbz1 = 0;
    pAcl->AclSize = static_cast<WORD>(nAclLength & ~3u);
    pAcl->AceCount = 0;
    pAcl->Sbz2 = 0;
    return TRUE;
}

extern "C" BOOL WINAPI IsValidAcl(PACL pAcl) {
    std::vector<BYTE> copy;
    if (!pAcl || !SafeAcl(pAcl, &copy))
        return Fail(ERROR_INVALID_ACL);
    return TRUE;
}

extern "C" BOOL WINAPI GetAclInformation(PACL pAcl, LPVOID pAclInformation,
                                         DWORD nAclInformationLength,
                                         ACL_INFORMATION_CLASS dwAclInformationClass) {
    if (!pAcl || !pAclInformation)
        return Fail(ERROR_INVALID_PARAMETER);
    auto* acl = reinterpret_cast<BYTE*>(pAcl);
    if (!AclBytesValid(acl, Word(acl + 2)))
        return Fail(ERROR_INVALID_ACL);
    switch (dwAclInformationClass) {
    case AclRevisionInformation: {
        if (nAclInformationLength < sizeof(ACL_REVISION_INFORMATION))
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        static_cast<ACL_REVISION_INFORMATION*>(pAclInformation)->AclRevision = pAcl->AclRevision;
        return TRUE;
    }
    case AclSizeInformation: {
        if (nAclInformationLength < sizeof(ACL_SIZE_INFORMATION))
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        auto* info = static_cast<ACL_SIZE_INFORMATION*>(pAclInformation);
        size_t used = AceOffset(acl, pAcl->AceCount);
        info->AceCount = pAcl->AceCount;
        info->AclBytesInUse = static_cast<DWORD>(used);
        info->AclBytesFree = static_cast<DWORD>(pAcl->AclSize - used);
        return TRUE;
    }
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
}

extern "C" BOOL WINAPI GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce) {
    if (!pAcl || !pAce)
        return Fail(ERROR_INVALID_PARAMETER);
    auto* acl = reinterpret_cast<BYTE*>(pAcl);
    if (!AclBytesValid(acl, Word(acl + 2)))
        return Fail(ERROR_INVALID_ACL);
    if (dwAceIndex >= pAcl->AceCount)
        return Fail(ERROR_INVALID_PARAMETER);
    *pAce = acl + AceOffset(acl, dwAceIndex);
    return TRUE;
}

extern "C" BOOL WINAPI AddAce(PACL pAcl, DWORD dwAceRevision, DWORD dwStartingAceIndex,
                              LPVOID pAceList, DWORD nAceListLength) {
    if (!pAcl || (!pAceList && nAceListLength))
        return Fail(ERROR_INVALID_PARAMETER);
    auto* acl = reinterpret_cast<BYTE*>(pAcl);
    if (!AclBytesValid(acl, Word(acl + 2)))
        return Fail(ERROR_INVALID_ACL);
    // A revision below the ACL's is accepted and the ACL keeps its own, as on
    // Windows. One above the highest is refused: Windows would take it into
    // the ACL's header, which no function then accepts as an ACL.
    if (dwAceRevision > MAX_ACL_REVISION)
        return Fail(ERROR_INVALID_PARAMETER);
    DWORD revision = std::max<DWORD>(dwAceRevision, pAcl->AclRevision);
    // The list must be whole ACEs filling exactly nAceListLength bytes;
    // object ACEs need the revision that knows them.
    auto* list = static_cast<const BYTE*>(pAceList);
    DWORD added = 0;
    for (size_t at = 0; at < nAceListLength; ++added) {
        if (at + sizeof(ACE_HEADER) > nAceListLength)
            return Fail(ERROR_INVALID_PARAMETER);
        WORD size = Word(list + at + 2);
        if (size < sizeof(ACE_HEADER) || at + size > nAceListLength)
            return Fail(ERROR_INVALID_PARAMETER);
        BYTE type = list[at];
        if (type >= ACCESS_ALLOWED_OBJECT_ACE_TYPE && type <= SYSTEM_ALARM_OBJECT_ACE_TYPE &&
            revision < ACL_REVISION_DS)
            return Fail(ERROR_INVALID_PARAMETER);
        at += size;
    }
    if (static_cast<DWORD>(pAcl->AceCount) + added > 0xFFFF)
        return Fail(ERROR_INVALID_PARAMETER);
    size_t used = AceOffset(acl, pAcl->AceCount);
    if (pAcl->AclSize - used < nAceListLength)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    DWORD index = std::min<DWORD>(dwStartingAceIndex, pAcl->AceCount);
    size_t insertAt = AceOffset(acl, index);
    std::memmove(acl + insertAt + nAceListLength, acl + insertAt, used - insertAt);
    if (nAceListLength)
        std::memcpy(acl + insertAt, list, nAceListLength);
    pAcl->AceCount = static_cast<WORD>(pAcl->AceCount + added);
    pAcl->AclRevision = static_cast<BYTE>(revision);
    return TRUE;
}

extern "C" BOOL WINAPI DeleteAce(PACL pAcl, DWORD dwAceIndex) {
    if (!pAcl)
        return Fail(ERROR_INVALID_PARAMETER);
    auto* acl = reinterpret_cast<BYTE*>(pAcl);
    if (!AclBytesValid(acl, Word(acl + 2)))
        return Fail(ERROR_INVALID_ACL);
    if (dwAceIndex >= pAcl->AceCount)
        return Fail(ERROR_INVALID_PARAMETER);
    size_t used = AceOffset(acl, pAcl->AceCount);
    size_t at = AceOffset(acl, dwAceIndex);
    size_t size = Word(acl + at + 2);
    std::memmove(acl + at, acl + at + size, used - at - size);
    std::memset(acl + used - size, 0, size);
    pAcl->AceCount = static_cast<WORD>(pAcl->AceCount - 1);
    return TRUE;
}

extern "C" BOOL WINAPI AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask,
                                           PSID pSid) {
    return AddOneAce(pAcl, dwAceRevision, ACCESS_ALLOWED_ACE_TYPE, 0, AccessMask, pSid, 0);
}

extern "C" BOOL WINAPI AddAccessAllowedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags,
                                             DWORD AccessMask, PSID pSid) {
    return AddOneAce(pAcl, dwAceRevision, ACCESS_ALLOWED_ACE_TYPE, AceFlags, AccessMask, pSid,
                     VALID_INHERIT_FLAGS);
}

extern "C" BOOL WINAPI AddAccessDeniedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask,
                                          PSID pSid) {
    return AddOneAce(pAcl, dwAceRevision, ACCESS_DENIED_ACE_TYPE, 0, AccessMask, pSid, 0);
}

extern "C" BOOL WINAPI AddAccessDeniedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags,
                                            DWORD AccessMask, PSID pSid) {
    return AddOneAce(pAcl, dwAceRevision, ACCESS_DENIED_ACE_TYPE, AceFlags, AccessMask, pSid,
                     VALID_INHERIT_FLAGS);
}

extern "C" BOOL WINAPI AddAuditAccessAce(PACL pAcl, DWORD dwAceRevision, DWORD dwAccessMask,
                                         PSID pSid, BOOL bAuditSuccess, BOOL bAuditFailure) {
    DWORD flags = (bAuditSuccess ? SUCCESSFUL_ACCESS_ACE_FLAG : 0) |
                  (bAuditFailure ? FAILED_ACCESS_ACE_FLAG : 0);
    return AddOneAce(pAcl, dwAceRevision, SYSTEM_AUDIT_ACE_TYPE, flags, dwAccessMask, pSid,
                     SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG);
}

/* ---- Security descriptors ---- */

extern "C" BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                                    DWORD dwRevision) {
    if (!pSecurityDescriptor)
        return Fail(ERROR_INVALID_PARAMETER);
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION)
        return Fail(ERROR_UNKNOWN_REVISION);
    std::memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

extern "C" BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    // Every byte is read through SafeCopy: callers pass numbers that may
    // not be addresses of descriptors at all.
    BYTE head[sizeof(SECURITY_DESCRIPTOR_RELATIVE)];
    if (!pSecurityDescriptor || !SafeCopy(head, pSecurityDescriptor, 4) ||
        head[0] != SECURITY_DESCRIPTOR_REVISION)
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    WORD control = Word(head + 2);
    const void* parts[4]; // owner, group, sacl, dacl
    auto* base = static_cast<const BYTE*>(pSecurityDescriptor);
    if (control & SE_SELF_RELATIVE) {
        DWORD offs[4];
        if (!SafeCopy(head, base, sizeof head) || !RelativePartOffsets(head, offs))
            return Fail(ERROR_INVALID_SECURITY_DESCR);
        for (int i = 0; i < 4; ++i)
            parts[i] = offs[i] ? base + offs[i] : nullptr;
    } else {
        SECURITY_DESCRIPTOR abs;
        if (!SafeCopy(&abs, base, sizeof abs))
            return Fail(ERROR_INVALID_SECURITY_DESCR);
        parts[0] = abs.Owner;
        parts[1] = abs.Group;
        parts[2] = (control & SE_SACL_PRESENT) ? abs.Sacl : nullptr;
        parts[3] = (control & SE_DACL_PRESENT) ? abs.Dacl : nullptr;
    }
    std::vector<BYTE> copy;
    for (int i = 0; i < 4; ++i)
        if (parts[i] && !(i < 2 ? SafeSid(parts[i], &copy) : SafeAcl(parts[i], &copy)))
            return Fail(ERROR_INVALID_SECURITY_DESCR);
    return TRUE;
}

extern "C" BOOL WINAPI IsValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                                         ULONG SecurityDescriptorLength,
                                                         SECURITY_INFORMATION RequiredInformation) {
    // Bounds-checked form for stored bytes: every part must lie inside the
    // given length.
    auto* base = static_cast<const BYTE*>(pSecurityDescriptor);
    size_t len = SecurityDescriptorLength;
    DWORD offs[4];
    if (!base || len < sizeof(SECURITY_DESCRIPTOR_RELATIVE) ||
        base[0] != SECURITY_DESCRIPTOR_REVISION || !(Word(base + 2) & SE_SELF_RELATIVE) ||
        !RelativePartOffsets(base, offs))
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    for (int i = 0; i < 4; ++i) {
        DWORD off = offs[i];
        if (!off)
            continue;
        bool ok = off < len && (i < 2 ? SidLength(base + off, len - off) != 0
                                      : AclBytesValid(base + off, len - off));
        if (!ok)
            return Fail(ERROR_INVALID_SECURITY_DESCR);
    }
    WORD control = Word(base + 2);
    if (((RequiredInformation & OWNER_SECURITY_INFORMATION) && !offs[0]) ||
        ((RequiredInformation & GROUP_SECURITY_INFORMATION) && !offs[1]) ||
        ((RequiredInformation & SACL_SECURITY_INFORMATION) && !(control & SE_SACL_PRESENT)) ||
        ((RequiredInformation & DACL_SECURITY_INFORMATION) && !(control & SE_DACL_PRESENT)))
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    return TRUE;
}

extern "C" DWORD WINAPI GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    if (!pSecurityDescriptor)
        return 0;
    Parts p = ReadParts(pSecurityDescriptor);
    size_t header = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    if (p.control & SE_SELF_RELATIVE) {
        // The bytes the descriptor spans, wherever its parts lie.
        auto* base = static_cast<BYTE*>(pSecurityDescriptor);
        size_t end = header;
        auto extend = [&](BYTE* part, size_t size) {
            if (part)
                end = std::max(end, static_cast<size_t>(part - base) + size);
        };
        extend(p.owner, SidSize(p.owner));
        extend(p.group, SidSize(p.group));
        extend(p.sacl, AclSizeOf(p.sacl));
        extend(p.dacl, AclSizeOf(p.dacl));
        return static_cast<DWORD>(end);
    }
    return static_cast<DWORD>(header + Align4(SidSize(p.owner)) + Align4(SidSize(p.group)) +
                              AclSizeOf(p.sacl) + AclSizeOf(p.dacl));
}

extern "C" BOOL WINAPI GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                                    PSECURITY_DESCRIPTOR_CONTROL pControl,
                                                    LPDWORD lpdwRevision) {
    if (!pSecurityDescriptor || !pControl || !lpdwRevision)
        return Fail(ERROR_INVALID_PARAMETER);
    auto* base = static_cast<BYTE*>(pSecurityDescriptor);
    *lpdwRevision = base[0];
    *pControl = Word(base + 2);
    if (base[0] != SECURITY_DESCRIPTOR_REVISION)
        return Fail(ERROR_UNKNOWN_REVISION);
    return TRUE;
}

extern "C" BOOL WINAPI SetSecurityDescriptorControl(
    PSECURITY_DESCRIPTOR pSecurityDescriptor, SECURITY_DESCRIPTOR_CONTROL ControlBitsOfInterest,
    SECURITY_DESCRIPTOR_CONTROL ControlBitsToSet) {
    if (!CheckHeader(pSecurityDescriptor, false))
        return FALSE;
    const WORD settable = SE_DACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERIT_REQ |
                          SE_DACL_AUTO_INHERITED | SE_SACL_AUTO_INHERITED | SE_DACL_PROTECTED |
                          SE_SACL_PROTECTED | SE_RM_CONTROL_VALID;
    if ((ControlBitsOfInterest | ControlBitsToSet) & ~settable)
        return Fail(ERROR_INVALID_PARAMETER);
    auto* base = static_cast<BYTE*>(pSecurityDescriptor);
    WORD control = Word(base + 2);
    control = static_cast<WORD>((control & ~ControlBitsOfInterest) |
                                (ControlBitsToSet & ControlBitsOfInterest));
    std::memcpy(base + 2, &control, 2);
    return TRUE;
}

namespace {

BOOL GetList(PSECURITY_DESCRIPTOR sd, LPBOOL present, PACL* list, LPBOOL defaulted, bool dacl) {
    if (!present || !list || !defaulted)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!CheckHeader(sd, false))
        return FALSE;
    Parts p = ReadParts(sd);
    WORD presentBit = dacl ? SE_DACL_PRESENT : SE_SACL_PRESENT;
    WORD defaultedBit = dacl ? SE_DACL_DEFAULTED : SE_SACL_DEFAULTED;
    *present = (p.control & presentBit) != 0;
    *list = *present ? reinterpret_cast<PACL>(dacl ? p.dacl : p.sacl) : nullptr;
    *defaulted = *present && (p.control & defaultedBit) != 0;
    return TRUE;
}

BOOL SetList(PSECURITY_DESCRIPTOR sd, BOOL present, PACL list, BOOL defaulted, bool dacl) {
    if (!CheckHeader(sd, true))
        return FALSE;
    auto* abs = static_cast<SECURITY_DESCRIPTOR*>(sd);
    WORD presentBit = dacl ? SE_DACL_PRESENT : SE_SACL_PRESENT;
    WORD defaultedBit = dacl ? SE_DACL_DEFAULTED : SE_SACL_DEFAULTED;
    abs->Control = static_cast<WORD>(abs->Control & ~(presentBit | defaultedBit));
    PACL value = nullptr;
    if (present) {
        abs->Control =
            static_cast<WORD>(abs->Control | presentBit | (defaulted ? defaultedBit : 0));
        value = list;
    }
    (dacl ? abs->Dacl : abs->Sacl) = value;
    return TRUE;
}

BOOL GetSid(PSECURITY_DESCRIPTOR sd, PSID* sid, LPBOOL defaulted, bool owner) {
    if (!sid || !defaulted)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!CheckHeader(sd, false))
        return FALSE;
    Parts p = ReadParts(sd);
    *sid = owner ? p.owner : p.group;
    *defaulted = (p.control & (owner ? SE_OWNER_DEFAULTED : SE_GROUP_DEFAULTED)) != 0;
    return TRUE;
}

BOOL SetSid(PSECURITY_DESCRIPTOR sd, PSID sid, BOOL defaulted, bool owner) {
    if (!CheckHeader(sd, true))
        return FALSE;
    auto* abs = static_cast<SECURITY_DESCRIPTOR*>(sd);
    WORD bit = owner ? SE_OWNER_DEFAULTED : SE_GROUP_DEFAULTED;
    abs->Control = static_cast<WORD>((abs->Control & ~bit) | (defaulted ? bit : 0));
    (owner ? abs->Owner : abs->Group) = sid;
    return TRUE;
}

} // namespace

extern "C" BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, LPBOOL present,
                                                 PACL* dacl, LPBOOL defaulted) {
    return GetList(sd, present, dacl, defaulted, true);
}

extern "C" BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl,
                                                 BOOL defaulted) {
    return SetList(sd, present, dacl, defaulted, true);
}

extern "C" BOOL WINAPI GetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR sd, LPBOOL present,
                                                 PACL* sacl, LPBOOL defaulted) {
    return GetList(sd, present, sacl, defaulted, false);
}

extern "C" BOOL WINAPI SetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL sacl,
                                                 BOOL defaulted) {
    return SetList(sd, present, sacl, defaulted, false);
}

extern "C" BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR sd, PSID* owner,
                                                  LPBOOL defaulted) {
    return GetSid(sd, owner, defaulted, true);
}

extern "C" BOOL WINAPI SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR sd, PSID owner,
                                                  BOOL defaulted) {
    return SetSid(sd, owner, defaulted, true);
}

extern "C" BOOL WINAPI GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR sd, PSID* group,
                                                  LPBOOL defaulted) {
    return GetSid(sd, group, defaulted, false);
}

extern "C" BOOL WINAPI SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR sd, PSID group,
                                                  BOOL defaulted) {
    return SetSid(sd, group, defaulted, false);
}

extern "C" BOOL WINAPI MakeSelfRelativeSD(PSECURITY_DESCRIPTOR pAbsoluteSecurityDescriptor,
                                          PSECURITY_DESCRIPTOR pSelfRelativeSecurityDescriptor,
                                          LPDWORD lpdwBufferLength) {
    if (!lpdwBufferLength)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!CheckHeader(pAbsoluteSecurityDescriptor, false))
        return FALSE;
    Parts p = ReadParts(pAbsoluteSecurityDescriptor);
    if (p.control & SE_SELF_RELATIVE)
        return Fail(ERROR_BAD_DESCRIPTOR_FORMAT);
    // Layout: header, owner, group, SACL, DACL, each at a 4-byte boundary.
    size_t at = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    DWORD offs[4] = {};
    const BYTE* parts[4] = {p.owner, p.group, p.sacl, p.dacl};
    const size_t sizes[4] = {SidSize(p.owner), SidSize(p.group), AclSizeOf(p.sacl),
                             AclSizeOf(p.dacl)};
    for (int i = 0; i < 4; ++i) {
        if (!parts[i])
            continue;
        offs[i] = static_cast<DWORD>(at);
        at += Align4(sizes[i]);
    }
    if (!pSelfRelativeSecurityDescriptor || *lpdwBufferLength < at) {
        *lpdwBufferLength = static_cast<DWORD>(at);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    auto* out = static_cast<BYTE*>(pSelfRelativeSecurityDescriptor);
    std::memset(out, 0, at);
    SECURITY_DESCRIPTOR_RELATIVE rel{};
    rel.Revision = SECURITY_DESCRIPTOR_REVISION;
    rel.Control = static_cast<WORD>(p.control | SE_SELF_RELATIVE);
    rel.Owner = offs[0];
    rel.Group = offs[1];
    rel.Sacl = offs[2];
    rel.Dacl = offs[3];
    std::memcpy(out, &rel, sizeof rel);
    for (int i = 0; i < 4; ++i)
        if (parts[i])
            std::memcpy(out + offs[i], parts[i], sizes[i]);
    *lpdwBufferLength = static_cast<DWORD>(at);
    return TRUE;
}

extern "C" BOOL WINAPI MakeAbsoluteSD(PSECURITY_DESCRIPTOR pSelfRelativeSecurityDescriptor,
                                      PSECURITY_DESCRIPTOR pAbsoluteSecurityDescriptor,
                                      LPDWORD lpdwAbsoluteSecurityDescriptorSize, PACL pDacl,
                                      LPDWORD lpdwDaclSize, PACL pSacl, LPDWORD lpdwSaclSize,
                                      PSID pOwner, LPDWORD lpdwOwnerSize, PSID pPrimaryGroup,
                                      LPDWORD lpdwPrimaryGroupSize) {
    if (!lpdwAbsoluteSecurityDescriptorSize || !lpdwDaclSize || !lpdwSaclSize || !lpdwOwnerSize ||
        !lpdwPrimaryGroupSize)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!CheckHeader(pSelfRelativeSecurityDescriptor, false))
        return FALSE;
    Parts p = ReadParts(pSelfRelativeSecurityDescriptor);
    if (!(p.control & SE_SELF_RELATIVE))
        return Fail(ERROR_BAD_DESCRIPTOR_FORMAT);
    const DWORD need[5] = {
        static_cast<DWORD>(sizeof(SECURITY_DESCRIPTOR)), static_cast<DWORD>(AclSizeOf(p.dacl)),
        static_cast<DWORD>(AclSizeOf(p.sacl)), static_cast<DWORD>(SidSize(p.owner)),
        static_cast<DWORD>(SidSize(p.group))};
    LPDWORD sizes[5] = {lpdwAbsoluteSecurityDescriptorSize, lpdwDaclSize, lpdwSaclSize,
                        lpdwOwnerSize, lpdwPrimaryGroupSize};
    void* buffers[5] = {pAbsoluteSecurityDescriptor, pDacl, pSacl, pOwner, pPrimaryGroup};
    bool fits = true;
    for (int i = 0; i < 5; ++i)
        if (need[i] && (*sizes[i] < need[i] || !buffers[i]))
            fits = false;
    for (int i = 0; i < 5; ++i)
        *sizes[i] = need[i];
    if (!fits)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    const BYTE* sources[5] = {nullptr, p.dacl, p.sacl, p.owner, p.group};
    for (int i = 1; i < 5; ++i)
        if (need[i])
            std::memcpy(buffers[i], sources[i], need[i]);
    SECURITY_DESCRIPTOR abs{};
    abs.Revision = SECURITY_DESCRIPTOR_REVISION;
    abs.Control = static_cast<WORD>(p.control & ~SE_SELF_RELATIVE);
    abs.Dacl = p.dacl ? pDacl : nullptr;
    abs.Sacl = p.sacl ? pSacl : nullptr;
    abs.Owner = p.owner ? pOwner : nullptr;
    abs.Group = p.group ? pPrimaryGroup : nullptr;
    std::memcpy(pAbsoluteSecurityDescriptor, &abs, sizeof abs);
    return TRUE;
}

/* ---- Access checks ---- */

extern "C" void WINAPI MapGenericMask(PDWORD AccessMask, PGENERIC_MAPPING GenericMapping) {
    if (!AccessMask || !GenericMapping)
        return;
    DWORD m = *AccessMask;
    if (m & GENERIC_READ)
        m |= GenericMapping->GenericRead;
    if (m & GENERIC_WRITE)
        m |= GenericMapping->GenericWrite;
    if (m & GENERIC_EXECUTE)
        m |= GenericMapping->GenericExecute;
    if (m & GENERIC_ALL)
        m |= GenericMapping->GenericAll;
    *AccessMask = m & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

extern "C" BOOL WINAPI AccessCheck(PSECURITY_DESCRIPTOR pSecurityDescriptor, HANDLE ClientToken,
                                   DWORD DesiredAccess, PGENERIC_MAPPING GenericMapping,
                                   PPRIVILEGE_SET PrivilegeSet, LPDWORD PrivilegeSetLength,
                                   LPDWORD GrantedAccess, LPBOOL AccessStatus) {
    if (!GenericMapping || !GrantedAccess || !AccessStatus)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!LookupHandle(ClientToken, ObjectKind::Token))
        return FALSE;
    // The token's access is not needed here: the caller already holds it.
    if (!IsValidSecurityDescriptor(pSecurityDescriptor))
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    if (PrivilegeSet && PrivilegeSetLength) {
        if (*PrivilegeSetLength < offsetof(PRIVILEGE_SET, Privilege)) {
            *PrivilegeSetLength = sizeof(PRIVILEGE_SET);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        PrivilegeSet->PrivilegeCount = 0;
        PrivilegeSet->Control = 0;
    }
    const Identity& id = ProcessIdentity();
    auto matches = [&](const BYTE* sid, bool forDeny) {
        size_t len = SidSize(sid);
        auto same = [&](const SidBytes& s) {
            return s.size() == len && std::memcmp(s.data(), sid, len) == 0;
        };
        if (same(id.user))
            return true;
        for (const auto& g : id.groups)
            if (same(g.sid) && ((g.attributes & SE_GROUP_ENABLED) ||
                                (forDeny && (g.attributes & SE_GROUP_USE_FOR_DENY_ONLY))))
                return true;
        return false;
    };

    DWORD desired = DesiredAccess;
    MapGenericMask(&desired, GenericMapping);
    bool maximum = desired & MAXIMUM_ALLOWED;
    desired &= ~MAXIMUM_ALLOWED;
    DWORD granted = 0;
    auto deny = [&](DWORD code) {
        *GrantedAccess = 0;
        *AccessStatus = FALSE;
        SetLastError(code);
        return TRUE;
    };
    if (desired & ACCESS_SYSTEM_SECURITY) {
        if (!ProcessPrivilegeEnabled(PrivilegeLuid(SE_SECURITY_NAME)))
            return deny(ERROR_PRIVILEGE_NOT_HELD);
        granted |= ACCESS_SYSTEM_SECURITY;
    }
    Parts p = ReadParts(pSecurityDescriptor);
    DWORD all = GenericMapping->GenericAll | STANDARD_RIGHTS_ALL;
    if (!p.dacl) {
        // No DACL (or a null one) grants everything.
        granted |= maximum ? all : desired;
    } else {
        if (p.owner && matches(p.owner, false))
            granted |= READ_CONTROL | WRITE_DAC; // owners may always read and change the DACL
        DWORD denied = 0;
        const BYTE* acl = p.dacl;
        size_t at = sizeof(ACL);
        for (WORD i = 0; i < Word(acl + 4); ++i) {
            const BYTE* ace = acl + at;
            at += Word(ace + 2);
            if ((ace[1] & INHERIT_ONLY_ACE) ||
                (ace[0] != ACCESS_ALLOWED_ACE_TYPE && ace[0] != ACCESS_DENIED_ACE_TYPE))
                continue;
            bool isDeny = ace[0] == ACCESS_DENIED_ACE_TYPE;
            if (!matches(ace + 8, isDeny))
                continue;
            DWORD mask = Dword(ace + 4);
            MapGenericMask(&mask, GenericMapping);
            if (isDeny)
                denied |= mask & ~granted;
            else
                granted |= mask & ~denied;
        }
    }
    if ((granted & desired) != desired)
        return deny(ERROR_ACCESS_DENIED);
    DWORD result = maximum ? granted : desired;
    if (maximum && !result)
        return deny(ERROR_ACCESS_DENIED);
    *GrantedAccess = result;
    *AccessStatus = TRUE;
    return TRUE;
}
