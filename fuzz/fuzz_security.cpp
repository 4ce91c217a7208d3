// Security descriptors and ACLs. The first input byte chooses the form:
// even, the rest is a self-relative descriptor's bytes; odd, the rest
// describes an absolute descriptor (control word, then owner, group, SACL
// and DACL, each in its own allocation of the size it claims).
//
// Invariants: the bounded validator (IsValidRelativeSecurityDescriptor) and
// the unbounded one (IsValidSecurityDescriptor) agree wherever every part
// lies inside the bytes; an absolute descriptor is valid exactly when its
// self-relative form is; on a valid descriptor the accessors return parts
// inside it that are valid themselves, GetAclInformation and GetAce agree
// with the ACL's bytes, MakeAbsoluteSD and MakeSelfRelativeSD give back
// the same parts, AddAccessAllowedAce into a copy adds exactly one ACE that
// DeleteAce takes out again, and AccessCheck grants what it says it grants.
#include "fuzz.h"

#include <windows.h>

#include "security.h" // IsValidRelativeSecurityDescriptor

#include <memory>

namespace {

using Bytes = std::unique_ptr<uint8_t[]>;

HANDLE gToken = nullptr;

WORD Word(const uint8_t* p) {
    WORD v;
    std::memcpy(&v, p, 2);
    return v;
}
DWORD Dword(const uint8_t* p) {
    DWORD v;
    std::memcpy(&v, p, 4);
    return v;
}

// n bytes from p in an allocation of exactly `size` bytes (at least n).
Bytes Copy(const uint8_t* p, size_t n, size_t size = 0) {
    size = size < n ? n : size;
    Bytes b(new uint8_t[size ? size : 1]);
    if (n)
        std::memcpy(b.get(), p, n);
    return b;
}

bool Inside(const void* part, size_t partSize, const void* base, size_t size) {
    auto p = reinterpret_cast<uintptr_t>(part), b = reinterpret_cast<uintptr_t>(base);
    return p >= b && p - b <= size && partSize <= size - (p - b);
}

// Whether a self-relative descriptor's present parts all lie inside n bytes
// (their lengths read from the parts themselves).
bool PartsInside(const uint8_t* sd, size_t n) {
    WORD control = Word(sd + 2);
    for (int i = 0; i < 4; ++i) {
        DWORD off = Dword(sd + 4 + 4 * i);
        if (!off || (i == 2 && !(control & SE_SACL_PRESENT)) ||
            (i == 3 && !(control & SE_DACL_PRESENT)))
            continue;
        if (off >= n || n - off < 8)
            return false;
        size_t len = i < 2 ? 8 + 4 * static_cast<size_t>(sd[off + 1]) : Word(sd + off + 2);
        if (len > n - off)
            return false;
    }
    return true;
}

const GENERIC_MAPPING kMapping = {0x1, 0x2, 0x4, 0x1F};

// AccessCheck's answer for the process token; granted is 0 when denied.
DWORD Check(PSECURITY_DESCRIPTOR sd, DWORD desired) {
    BYTE privileges[64];
    DWORD privilegesLength = sizeof privileges;
    DWORD granted = 0xDEADBEEF;
    BOOL status = TRUE;
    FUZZ_CHECK(AccessCheck(sd, gToken, desired, const_cast<PGENERIC_MAPPING>(&kMapping),
                           reinterpret_cast<PPRIVILEGE_SET>(privileges), &privilegesLength,
                           &granted, &status));
    if (!status) {
        FUZZ_CHECK(granted == 0);
        return 0;
    }
    DWORD wanted = desired & ~static_cast<DWORD>(MAXIMUM_ALLOWED);
    MapGenericMask(&wanted, const_cast<PGENERIC_MAPPING>(&kMapping));
    FUZZ_CHECK((granted & wanted) == wanted);
    return granted;
}

// The checks of a valid ACL, and of edits made to copies of it.
void CheckAcl(PACL acl, const uint8_t* sidToAdd) {
    FUZZ_CHECK(IsValidAcl(acl));
    const auto* bytes = reinterpret_cast<const uint8_t*>(acl);
    const WORD aclSize = Word(bytes + 2), count = Word(bytes + 4);
    ACL_SIZE_INFORMATION info;
    FUZZ_CHECK(GetAclInformation(acl, &info, sizeof info, AclSizeInformation));
    FUZZ_CHECK(info.AceCount == count && info.AclBytesInUse + info.AclBytesFree == aclSize);
    ACL_REVISION_INFORMATION revision;
    FUZZ_CHECK(GetAclInformation(acl, &revision, sizeof revision, AclRevisionInformation));
    FUZZ_CHECK(revision.AclRevision == bytes[0]);

    size_t at = sizeof(ACL);
    for (DWORD i = 0; i < count; ++i) {
        void* ace = nullptr;
        FUZZ_CHECK(GetAce(acl, i, &ace));
        FUZZ_CHECK(ace == bytes + at);
        at += Word(bytes + at + 2);
    }
    FUZZ_CHECK(at == info.AclBytesInUse);
    void* none = nullptr;
    FUZZ_CHECK(!GetAce(acl, count, &none));

    // One ACE more, into a copy with room for it, and out again.
    const size_t sidLen = 8 + 4 * static_cast<size_t>(sidToAdd[1]);
    const size_t room = (8 + sidLen + 3) & ~static_cast<size_t>(3);
    if (aclSize + room > 0xFFFF)
        return;
    Bytes grown = Copy(bytes, aclSize, aclSize + room);
    std::memset(grown.get() + aclSize, 0x77, room);
    WORD grownSize = static_cast<WORD>(aclSize + room);
    std::memcpy(grown.get() + 2, &grownSize, 2);
    auto* g = reinterpret_cast<PACL>(grown.get());
    const DWORD mask = 0x00120089;
    FUZZ_CHECK(AddAccessAllowedAce(g, ACL_REVISION, mask, const_cast<uint8_t*>(sidToAdd)));
    ACL_SIZE_INFORMATION after;
    FUZZ_CHECK(GetAclInformation(g, &after, sizeof after, AclSizeInformation));
    FUZZ_CHECK(after.AceCount == count + 1u &&
               after.AclBytesInUse == info.AclBytesInUse + 8 + sidLen);
    void* added = nullptr;
    FUZZ_CHECK(GetAce(g, count, &added));
    const auto* a = static_cast<const uint8_t*>(added);
    FUZZ_CHECK(a[0] == ACCESS_ALLOWED_ACE_TYPE && Word(a + 2) == 8 + sidLen &&
               Dword(a + 4) == mask && std::memcmp(a + 8, sidToAdd, sidLen) == 0);
    FUZZ_CHECK(DeleteAce(g, count));
    FUZZ_CHECK(Word(grown.get() + 4) == count);
    FUZZ_CHECK(std::memcmp(grown.get() + 8, bytes + 8, info.AclBytesInUse - 8) == 0);

    if (count > 0) {
        Bytes shrunk = Copy(bytes, aclSize);
        const WORD first = Word(bytes + 8 + 2);
        FUZZ_CHECK(DeleteAce(reinterpret_cast<PACL>(shrunk.get()), 0));
        FUZZ_CHECK(Word(shrunk.get() + 4) == count - 1);
        FUZZ_CHECK(
            std::memcmp(shrunk.get() + 8, bytes + 8 + first, info.AclBytesInUse - 8 - first) == 0);
    }
}

// MakeAbsoluteSD of a valid self-relative descriptor, each part in an
// allocation of exactly the size asked for.
struct Absolute {
    SECURITY_DESCRIPTOR* sd() { return reinterpret_cast<SECURITY_DESCRIPTOR*>(head.get()); }
    Bytes head, dacl, sacl, owner, group;
};

void ToAbsolute(PSECURITY_DESCRIPTOR rel, Absolute& out) {
    DWORD sizes[5] = {0, 0, 0, 0, 0};
    if (!MakeAbsoluteSD(rel, nullptr, &sizes[0], nullptr, &sizes[1], nullptr, &sizes[2], nullptr,
                        &sizes[3], nullptr, &sizes[4]))
        FUZZ_CHECK(GetLastError() == ERROR_INSUFFICIENT_BUFFER);
    FUZZ_CHECK(sizes[0] >= sizeof(SECURITY_DESCRIPTOR));
    Bytes* bufs[5] = {&out.head, &out.dacl, &out.sacl, &out.owner, &out.group};
    for (int i = 0; i < 5; ++i)
        if (sizes[i])
            bufs[i]->reset(new uint8_t[sizes[i]]);
    FUZZ_CHECK(MakeAbsoluteSD(rel, out.head.get(), &sizes[0],
                              reinterpret_cast<PACL>(out.dacl.get()), &sizes[1],
                              reinterpret_cast<PACL>(out.sacl.get()), &sizes[2], out.owner.get(),
                              &sizes[3], out.group.get(), &sizes[4]));
}

// MakeSelfRelativeSD into an allocation of exactly the size asked for.
Bytes ToSelfRelative(PSECURITY_DESCRIPTOR abs, DWORD* len) {
    *len = 0;
    FUZZ_CHECK(!MakeSelfRelativeSD(abs, nullptr, len));
    FUZZ_CHECK(GetLastError() == ERROR_INSUFFICIENT_BUFFER && *len >= 20);
    Bytes out(new uint8_t[*len]);
    DWORD have = *len;
    FUZZ_CHECK(MakeSelfRelativeSD(abs, out.get(), &have) && have == *len);
    return out;
}

// The parts of two descriptors are the same bytes.
void SameParts(PSECURITY_DESCRIPTOR a, PSECURITY_DESCRIPTOR b) {
    SECURITY_DESCRIPTOR_CONTROL ca, cb;
    DWORD ra, rb;
    FUZZ_CHECK(GetSecurityDescriptorControl(a, &ca, &ra) &&
               GetSecurityDescriptorControl(b, &cb, &rb));
    FUZZ_CHECK((ca & ~SE_SELF_RELATIVE) == (cb & ~SE_SELF_RELATIVE));
    PSID sa, sb;
    BOOL da, db, pa, pb;
    for (int owner = 0; owner < 2; ++owner) {
        auto get = owner ? GetSecurityDescriptorOwner : GetSecurityDescriptorGroup;
        FUZZ_CHECK(get(a, &sa, &da) && get(b, &sb, &db));
        FUZZ_CHECK(!sa == !sb && da == db);
        FUZZ_CHECK(!sa || (GetLengthSid(sa) == GetLengthSid(sb) &&
                           std::memcmp(sa, sb, GetLengthSid(sa)) == 0));
    }
    for (int dacl = 0; dacl < 2; ++dacl) {
        auto get = dacl ? GetSecurityDescriptorDacl : GetSecurityDescriptorSacl;
        PACL la, lb;
        FUZZ_CHECK(get(a, &pa, &la, &da) && get(b, &pb, &lb, &db));
        FUZZ_CHECK(pa == pb && da == db && !la == !lb);
        const auto* ba = reinterpret_cast<const uint8_t*>(la);
        const auto* bb = reinterpret_cast<const uint8_t*>(lb);
        FUZZ_CHECK(!la || (Word(ba + 2) == Word(bb + 2) && std::memcmp(ba, bb, Word(ba + 2)) == 0));
    }
}

// Everything a valid self-relative descriptor of `size` bytes must satisfy.
void CheckValidRelative(uint8_t* sd, size_t size, DWORD desired) {
    static const uint8_t kWorld[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    SECURITY_DESCRIPTOR_CONTROL control;
    DWORD revision;
    FUZZ_CHECK(GetSecurityDescriptorControl(sd, &control, &revision));
    FUZZ_CHECK(revision == SECURITY_DESCRIPTOR_REVISION && (control & SE_SELF_RELATIVE));
    FUZZ_CHECK(GetSecurityDescriptorLength(sd) <= size);

    PSID owner = nullptr, group = nullptr;
    BOOL defaulted, present;
    FUZZ_CHECK(GetSecurityDescriptorOwner(sd, &owner, &defaulted));
    FUZZ_CHECK(GetSecurityDescriptorGroup(sd, &group, &defaulted));
    for (PSID sid : {owner, group})
        FUZZ_CHECK(!sid || (IsValidSid(sid) && Inside(sid, GetLengthSid(sid), sd, size)));
    for (int dacl = 0; dacl < 2; ++dacl) {
        PACL acl = nullptr;
        auto get = dacl ? GetSecurityDescriptorDacl : GetSecurityDescriptorSacl;
        FUZZ_CHECK(get(sd, &present, &acl, &defaulted));
        FUZZ_CHECK(!present == !(control & (dacl ? SE_DACL_PRESENT : SE_SACL_PRESENT)));
        if (!acl)
            continue;
        FUZZ_CHECK(Inside(acl, Word(reinterpret_cast<uint8_t*>(acl) + 2), sd, size));
        CheckAcl(acl, owner ? static_cast<const uint8_t*>(owner) : kWorld);
    }

    Absolute abs;
    ToAbsolute(sd, abs);
    FUZZ_CHECK(IsValidSecurityDescriptor(abs.sd()));
    SameParts(sd, abs.sd());
    DWORD len;
    Bytes back = ToSelfRelative(abs.sd(), &len);
    FUZZ_CHECK(IsValidRelativeSecurityDescriptor(back.get(), len, 0));
    SameParts(sd, back.get());

    FUZZ_CHECK(Check(sd, desired) == Check(abs.sd(), desired));
}

void SelfRelative(fuzz::Input& in) {
    DWORD required = in.byte() & 0xF;
    DWORD desired = in.u32();
    std::vector<uint8_t> raw = in.rest();
    const size_t n = raw.size();
    Bytes sd = Copy(raw.data(), n);

    BOOL bounded = IsValidRelativeSecurityDescriptor(sd.get(), static_cast<ULONG>(n), 0);
    BOOL withInfo = IsValidRelativeSecurityDescriptor(sd.get(), static_cast<ULONG>(n), required);
    FUZZ_CHECK(!withInfo || bounded);
    // The unbounded validator reads where the offsets point: only compared
    // when they point inside the bytes.
    if (n >= 20 && (Word(sd.get() + 2) & SE_SELF_RELATIVE) && PartsInside(sd.get(), n)) {
        BOOL unbounded = IsValidSecurityDescriptor(sd.get());
        FUZZ_CHECK(bounded == unbounded);
    } else {
        FUZZ_CHECK(!bounded);
    }
    if (bounded)
        CheckValidRelative(sd.get(), n, desired);
}

void FromParts(fuzz::Input& in) {
    WORD control = static_cast<WORD>(in.u16() & ~SE_SELF_RELATIVE);
    DWORD desired = in.u32();
    Bytes parts[4];
    void* at[4] = {nullptr, nullptr, nullptr, nullptr};
    for (int i = 0; i < 4; ++i) {
        uint8_t head = in.byte();
        if (!(head & 1))
            continue;
        size_t size;
        if (i < 2) {
            size = 8 + 4 * static_cast<size_t>(in.byte() % 20); // a few too many may come
        } else {
            size = in.u16() % 1024;
            size = size < 8 ? 8 : size;
        }
        std::vector<uint8_t> content = in.bytes(size);
        content.resize(size, 0);
        if (i < 2)
            content[1] = static_cast<uint8_t>((size - 8) / 4);
        else
            std::memcpy(&content[2], &size, 2);
        parts[i] = Copy(content.data(), size);
        at[i] = parts[i].get();
    }
    SECURITY_DESCRIPTOR abs{};
    abs.Revision = SECURITY_DESCRIPTOR_REVISION;
    abs.Control = control;
    abs.Owner = at[0];
    abs.Group = at[1];
    abs.Sacl = static_cast<PACL>(at[2]);
    abs.Dacl = static_cast<PACL>(at[3]);

    BOOL valid = IsValidSecurityDescriptor(&abs);
    DWORD len;
    Bytes rel = ToSelfRelative(&abs, &len);
    FUZZ_CHECK(valid == IsValidRelativeSecurityDescriptor(rel.get(), len, 0));
    FUZZ_CHECK(valid == IsValidSecurityDescriptor(rel.get()));
    if (valid) {
        SameParts(&abs, rel.get());
        CheckValidRelative(rel.get(), len, desired);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("WIN32POSIX_ROOT", fuzz::ScratchDir("security").c_str(), 1);
    FUZZ_CHECK(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &gToken));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    if (in.byte() & 1)
        FromParts(in);
    else
        SelfRelative(in);
    return 0;
}
