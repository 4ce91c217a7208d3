// SIDs, ACLs and security descriptors: Windows byte layouts, error codes,
// and safety on bytes that are no descriptor.
#include <windows.h>

#include "security.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

Bytes Of(const void* p, size_t n) {
    auto* b = static_cast<const BYTE*>(p);
    return Bytes(b, b + n);
}

struct Sid {
    PSID p = nullptr;
    Sid(BYTE authority, std::initializer_list<DWORD> subs) {
        SID_IDENTIFIER_AUTHORITY a = {{0, 0, 0, 0, 0, authority}};
        DWORD s[8] = {};
        size_t i = 0;
        for (DWORD v : subs)
            s[i++] = v;
        EXPECT_TRUE(AllocateAndInitializeSid(&a, (BYTE)subs.size(), s[0], s[1], s[2], s[3], s[4],
                                             s[5], s[6], s[7], &p));
    }
    ~Sid() { FreeSid(p); }
};

TEST(Sids, LayoutLengthCopyAndCompare) {
    Sid system(5, {18});
    EXPECT_EQ(Of(system.p, 12), (Bytes{1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0}));
    EXPECT_TRUE(IsValidSid(system.p));
    EXPECT_EQ(GetLengthSid(system.p), 12u);
    Sid admins(5, {32, 544});
    EXPECT_EQ(Of(admins.p, 16), (Bytes{1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 2, 0, 0}));

    BYTE small[11];
    SetLastError(0);
    EXPECT_FALSE(CopySid(sizeof small, small, system.p));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    BYTE buf[SECURITY_MAX_SID_SIZE];
    ASSERT_TRUE(CopySid(sizeof buf, buf, system.p));
    EXPECT_TRUE(EqualSid(buf, system.p));
    EXPECT_FALSE(EqualSid(buf, admins.p));
    EXPECT_EQ(*GetSidSubAuthority(admins.p, 1), 544u);
    EXPECT_EQ(*GetSidSubAuthorityCount(admins.p), 2);

    BYTE bad[12] = {2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}; // revision 2
    EXPECT_FALSE(IsValidSid(bad));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SID);
    bad[0] = 1;
    bad[1] = 16; // more than fifteen sub-authorities
    EXPECT_FALSE(IsValidSid(bad));
    EXPECT_FALSE(CopySid(sizeof buf, buf, bad));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SID);
    EXPECT_FALSE(IsValidSid(nullptr));
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID none = nullptr;
    EXPECT_FALSE(AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &none));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(Acls, BuildReadAndInsert) {
    Sid user(5, {18});
    Sid world(1, {0});
    alignas(4) BYTE buf[64] = {};
    PACL acl = reinterpret_cast<PACL>(buf);
    ASSERT_TRUE(InitializeAcl(acl, sizeof buf, ACL_REVISION));
    EXPECT_EQ(Of(buf, 8), (Bytes{2, 0, 64, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 0x000F01FF, user.p));
    EXPECT_EQ(Of(buf, 28), (Bytes{2,    0,    64,   0, 1, 0, 0, 0, // ACL header, one ACE
                                  0,    0,    20,   0,             // type, flags, size 20
                                  0xFF, 0x01, 0x0F, 0,             // mask
                                  1,    1,    0,    0, 0, 0, 0, 5, 18, 0, 0, 0}));
    ACL_SIZE_INFORMATION info = {};
    ASSERT_TRUE(GetAclInformation(acl, &info, sizeof info, AclSizeInformation));
    EXPECT_EQ(info.AceCount, 1u);
    EXPECT_EQ(info.AclBytesInUse, 28u);
    EXPECT_EQ(info.AclBytesFree, 36u);

    // A hand-built ACE (as a window station's inherit-only ACE) inserted first.
    BYTE ace[20] = {0, 0x0B, 20, 0, 0, 0, 0, 0xF0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    ASSERT_TRUE(AddAce(acl, ACL_REVISION, 0, ace, sizeof ace));
    void* first = nullptr;
    ASSERT_TRUE(GetAce(acl, 0, &first));
    EXPECT_EQ(Of(first, 20), Of(ace, 20));
    void* second = nullptr;
    ASSERT_TRUE(GetAce(acl, 1, &second));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(second);
    EXPECT_EQ(allowed->Mask, 0x000F01FFu);
    EXPECT_TRUE(EqualSid(&allowed->SidStart, user.p));
    EXPECT_FALSE(GetAce(acl, 2, &second));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(IsValidAcl(acl));

    // 48 of 64 bytes used: another 20-byte ACE does not fit.
    EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, 1, world.p));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALLOTTED_SPACE_EXCEEDED);
    EXPECT_FALSE(AddAce(acl, ACL_REVISION, MAXDWORD, ace, sizeof ace));
    BYTE badSid[12] = {7, 1};
    EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, 1, badSid));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SID);
    ASSERT_TRUE(DeleteAce(acl, 0));
    ASSERT_TRUE(GetAclInformation(acl, &info, sizeof info, AclSizeInformation));
    EXPECT_EQ(info.AclBytesInUse, 28u);

    EXPECT_FALSE(InitializeAcl(acl, 4, ACL_REVISION));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FALSE(InitializeAcl(acl, sizeof buf, 9));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    buf[0] = 2;
    buf[4] = 5; // claims five ACEs that are not there
    EXPECT_FALSE(IsValidAcl(acl));
    EXPECT_FALSE(GetAclInformation(acl, &info, sizeof info, AclSizeInformation));
}

// AddAce takes an ACE revision below the ACL's and keeps the ACL's; above
// the highest it refuses (Windows would write it into the ACL's header),
// and object ACEs need the revision that knows them.
TEST(Acls, AddAceRevisions) {
    BYTE ace[20] = {0, 0, 20, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    BYTE objectAce[24] = {ACCESS_ALLOWED_OBJECT_ACE_TYPE,
                          0,
                          24,
                          0,
                          1,
                          0,
                          0,
                          0,
                          0,
                          0,
                          0,
                          0,
                          1,
                          1,
                          0,
                          0,
                          0,
                          0,
                          0,
                          5,
                          18,
                          0,
                          0,
                          0};
    alignas(4) BYTE buf[128];
    PACL acl = reinterpret_cast<PACL>(buf);
    ASSERT_TRUE(InitializeAcl(acl, sizeof buf, ACL_REVISION_DS));
    for (DWORD low : {0u, 1u, 2u, 3u}) {
        EXPECT_TRUE(AddAce(acl, low, MAXDWORD, ace, sizeof ace)) << low;
        EXPECT_EQ(acl->AclRevision, ACL_REVISION_DS);
    }
    EXPECT_TRUE(AddAce(acl, ACL_REVISION, MAXDWORD, objectAce, sizeof objectAce));
    EXPECT_TRUE(IsValidAcl(acl));
    EXPECT_FALSE(AddAce(acl, MAX_ACL_REVISION + 1, MAXDWORD, ace, sizeof ace));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(acl->AclRevision, ACL_REVISION_DS);

    ASSERT_TRUE(InitializeAcl(acl, sizeof buf, ACL_REVISION));
    EXPECT_FALSE(AddAce(acl, ACL_REVISION, MAXDWORD, objectAce, sizeof objectAce));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(acl->AceCount, 0);
    EXPECT_TRUE(AddAce(acl, ACL_REVISION_DS, MAXDWORD, objectAce, sizeof objectAce));
    EXPECT_EQ(acl->AclRevision, ACL_REVISION_DS); // raised to the ACE's
    EXPECT_TRUE(IsValidAcl(acl));
}

TEST(Sids, InvalidSidsAndMissingPrivilegeNames) {
    Sid system(5, {18});
    BYTE bad[12] = {9, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}; // revision 9
    SetLastError(1234);
    EXPECT_FALSE(EqualSid(bad, system.p));
    EXPECT_EQ(GetLastError(), 0u); // unequal, not an error
    SetLastError(1234);
    EXPECT_FALSE(EqualSid(bad, bad));
    EXPECT_EQ(GetLastError(), 0u);
    LUID luid;
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, nullptr, &luid));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_SUCH_PRIVILEGE);
}

// An absolute descriptor with owner, group and a one-ACE DACL.
struct Absolute {
    Sid owner{5, {32, 544}};
    Sid group{5, {18}};
    alignas(8) BYTE aclBuf[32] = {};
    SECURITY_DESCRIPTOR sd = {};
    Absolute() {
        PACL acl = reinterpret_cast<PACL>(aclBuf);
        EXPECT_TRUE(InitializeAcl(acl, sizeof aclBuf, ACL_REVISION));
        EXPECT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ, group.p));
        EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
        EXPECT_TRUE(SetSecurityDescriptorOwner(&sd, owner.p, FALSE));
        EXPECT_TRUE(SetSecurityDescriptorGroup(&sd, group.p, TRUE));
        EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
    }
};

TEST(SecurityDescriptors, SelfRelativeLayoutAndRoundTrip) {
    Absolute a;
    EXPECT_TRUE(IsValidSecurityDescriptor(&a.sd));
    DWORD need = 0;
    EXPECT_FALSE(MakeSelfRelativeSD(&a.sd, nullptr, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    // header 20 + owner 16 + group 12 + DACL 32
    ASSERT_EQ(need, 80u);
    EXPECT_EQ(GetSecurityDescriptorLength(&a.sd), 80u);
    Bytes rel(need);
    ASSERT_TRUE(MakeSelfRelativeSD(&a.sd, rel.data(), &need));
    EXPECT_EQ(Bytes(rel.begin(), rel.begin() + 20),
              (Bytes{1, 0, 0x06, 0x80, 20, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0, 48, 0, 0, 0}));
    EXPECT_EQ(Bytes(rel.begin() + 20, rel.begin() + 36), Of(a.owner.p, 16));
    EXPECT_TRUE(IsValidSecurityDescriptor(rel.data()));
    EXPECT_TRUE(IsValidRelativeSecurityDescriptor(rel.data(), 80, DACL_SECURITY_INFORMATION));
    EXPECT_FALSE(IsValidRelativeSecurityDescriptor(rel.data(), 70, 0));
    EXPECT_EQ(GetSecurityDescriptorLength(rel.data()), 80u);
    EXPECT_FALSE(MakeSelfRelativeSD(rel.data(), rel.data(), &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_DESCRIPTOR_FORMAT);

    // Reading works on either form; writing needs the absolute form.
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(rel.data(), &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    EXPECT_EQ(reinterpret_cast<BYTE*>(dacl), rel.data() + 48);
    PACL sacl = reinterpret_cast<PACL>(1);
    ASSERT_TRUE(GetSecurityDescriptorSacl(rel.data(), &present, &sacl, &defaulted));
    EXPECT_FALSE(present);
    EXPECT_EQ(sacl, nullptr);
    PSID group = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorGroup(rel.data(), &group, &defaulted));
    EXPECT_TRUE(defaulted);
    EXPECT_TRUE(EqualSid(group, a.group.p));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(rel.data(), &control, &revision));
    EXPECT_EQ(control, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_GROUP_DEFAULTED);
    EXPECT_EQ(revision, 1u);
    EXPECT_FALSE(SetSecurityDescriptorDacl(rel.data(), FALSE, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SECURITY_DESCR);

    // Back to absolute: sizes first, then the parts in the caller's buffers.
    SECURITY_DESCRIPTOR abs;
    alignas(8) BYTE daclBuf[64], owner[64], grp[64];
    DWORD absSize = 0, daclSize = 0, saclSize = 0, ownerSize = 0, groupSize = 0;
    EXPECT_FALSE(MakeAbsoluteSD(rel.data(), &abs, &absSize, (PACL)daclBuf, &daclSize, nullptr,
                                &saclSize, owner, &ownerSize, grp, &groupSize));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(absSize, (DWORD)sizeof(SECURITY_DESCRIPTOR));
    EXPECT_EQ(daclSize, 32u);
    EXPECT_EQ(saclSize, 0u);
    EXPECT_EQ(ownerSize, 16u);
    EXPECT_EQ(groupSize, 12u);
    ASSERT_TRUE(MakeAbsoluteSD(rel.data(), &abs, &absSize, (PACL)daclBuf, &daclSize, nullptr,
                               &saclSize, owner, &ownerSize, grp, &groupSize));
    Bytes again(80);
    DWORD len = 80;
    ASSERT_TRUE(MakeSelfRelativeSD(&abs, again.data(), &len));
    EXPECT_EQ(again, rel);
}

// Both validators judge a self-relative descriptor alike: parts lie past the
// header at 4-byte offsets; a part whose present bit is clear is ignored.
TEST(SecurityDescriptors, SelfRelativePartsMustBeAlignedAndPresent) {
    Absolute a;
    DWORD need = 0;
    MakeSelfRelativeSD(&a.sd, nullptr, &need);
    Bytes rel(need);
    ASSERT_TRUE(MakeSelfRelativeSD(&a.sd, rel.data(), &need));
    auto both = [](Bytes& sd) {
        bool relative = IsValidRelativeSecurityDescriptor(sd.data(), (ULONG)sd.size(), 0);
        bool any = IsValidSecurityDescriptor(sd.data());
        EXPECT_EQ(relative, any);
        return relative && any;
    };
    ASSERT_TRUE(both(rel));

    // The DACL moved two bytes on: the bytes are intact, the offset is not aligned.
    Bytes moved(rel.begin(), rel.begin() + 48);
    moved.insert(moved.end(), {0, 0});
    moved.insert(moved.end(), rel.begin() + 48, rel.end());
    moved[16] = 50;
    EXPECT_FALSE(both(moved));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SECURITY_DESCR);
    moved[2] &= static_cast<BYTE>(~SE_DACL_PRESENT); // not present: the offset is ignored
    EXPECT_TRUE(both(moved));

    // An owner at an odd offset is refused the same way.
    Bytes odd = rel;
    odd.insert(odd.begin() + 20, 0);
    odd[4] = 21;
    odd[8] = 37;
    odd[16] = 49;
    EXPECT_FALSE(both(odd));

    // A DACL offset inside the header, present bit clear: ignored by both.
    Bytes inside = rel;
    inside[2] &= static_cast<BYTE>(~SE_DACL_PRESENT);
    inside[16] = 8;
    EXPECT_TRUE(both(inside));
    inside[2] |= SE_DACL_PRESENT;
    EXPECT_FALSE(both(inside));
}

TEST(SecurityDescriptors, EmptyAndNullDacls) {
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_UNKNOWN_REVISION);
    BOOL present = TRUE, defaulted = TRUE;
    PACL dacl = reinterpret_cast<PACL>(1);
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
    EXPECT_FALSE(present);
    EXPECT_EQ(dacl, nullptr);
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE)); // a NULL DACL
    EXPECT_TRUE(IsValidSecurityDescriptor(&sd));
    DWORD len = 0;
    MakeSelfRelativeSD(&sd, nullptr, &len);
    ASSERT_EQ(len, 20u);
    BYTE rel[20];
    ASSERT_TRUE(MakeSelfRelativeSD(&sd, rel, &len));
    EXPECT_EQ(Of(rel, 20),
              (Bytes{1, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(SecurityDescriptors, ValidityCheckIsSafeOnGarbage) {
    // Random bytes in a buffer we own: never a crash, whatever the answer.
    std::mt19937 rng(12345);
    std::vector<BYTE> buf(256);
    for (int round = 0; round < 3000; ++round) {
        for (auto& b : buf)
            b = static_cast<BYTE>(rng());
        buf[0] = 1; // get past the revision check most of the time
        if (round % 2)
            buf[3] |= 0x80; // self-relative with random offsets
        IsValidSecurityDescriptor(buf.data());
    }
    // Addresses that are not mapped at all.
    EXPECT_FALSE(IsValidSecurityDescriptor(reinterpret_cast<void*>(0x10)));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SECURITY_DESCR);
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    EXPECT_FALSE(IsValidSecurityDescriptor(page));
    munmap(page, 4096);
    // A self-relative header whose DACL offset points far away.
    BYTE rel[20] = {1, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x70};
    EXPECT_FALSE(IsValidSecurityDescriptor(rel));
    // An absolute descriptor whose owner pointer is garbage.
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    sd.Owner = reinterpret_cast<PSID>(0x8);
    EXPECT_FALSE(IsValidSecurityDescriptor(&sd));
}

TEST(SafeCopy, BothProbesRefuseUnreadableMemory) {
    long pageSize = sysconf(_SC_PAGESIZE);
    auto* pages = static_cast<BYTE*>(
        mmap(nullptr, 2 * pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    for (long i = 0; i < pageSize; ++i)
        pages[i] = static_cast<BYTE>(i * 7);
    ASSERT_EQ(mprotect(pages + pageSize, pageSize, PROT_NONE), 0);
    for (auto copy : {&w32p::SafeCopy, &w32p::SafeCopyThroughPipe}) {
        std::vector<BYTE> out(pageSize);
        ASSERT_TRUE(copy(out.data(), pages, pageSize)); // more than one pipe chunk
        EXPECT_EQ(std::memcmp(out.data(), pages, pageSize), 0);
        EXPECT_FALSE(copy(out.data(), pages + pageSize - 8, 16)); // runs into the guard page
        EXPECT_FALSE(copy(out.data(), pages + pageSize, 4));
        EXPECT_FALSE(copy(out.data(), nullptr, 4));
        EXPECT_FALSE(copy(out.data(), reinterpret_cast<void*>(~uintptr_t(0) - 2), 8)); // wraps
        EXPECT_TRUE(copy(out.data(), nullptr, 0));
    }
    munmap(pages, 2 * pageSize);
}

TEST(AccessChecks, DaclDecidesForTheProcessUser) {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> tu(size);
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, tu.data(), size, &size));
    PSID me = reinterpret_cast<TOKEN_USER*>(tu.data())->User.Sid;
    Sid other(5, {21, 1, 2, 3, 4242});
    GENERIC_MAPPING mapping = {0x20001, 0x20002, 0x20004, 0xF000F};

    alignas(8) BYTE aclBuf[128];
    PACL acl = reinterpret_cast<PACL>(aclBuf);
    ASSERT_TRUE(InitializeAcl(acl, sizeof aclBuf, ACL_REVISION));
    ASSERT_TRUE(AddAccessDeniedAce(acl, ACL_REVISION, 0x4, me));
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ | 0x2 | 0x4, me));
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, other.p));
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&sd, other.p, FALSE);
    SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);

    auto check = [&](DWORD desired, DWORD* granted) {
        BOOL status = FALSE;
        PRIVILEGE_SET ps;
        DWORD psLen = sizeof ps;
        EXPECT_TRUE(AccessCheck(&sd, token, desired, &mapping, &ps, &psLen, granted, &status));
        return status;
    };
    DWORD granted = 0;
    EXPECT_TRUE(check(GENERIC_READ, &granted));
    EXPECT_EQ(granted, 0x20001u);
    EXPECT_TRUE(check(0x2, &granted));
    EXPECT_FALSE(check(0x4, &granted)); // denied first
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(granted, 0u);
    EXPECT_FALSE(check(0x8, &granted)); // never granted
    EXPECT_TRUE(check(MAXIMUM_ALLOWED, &granted));
    EXPECT_EQ(granted, 0x20003u);
    EXPECT_FALSE(check(ACCESS_SYSTEM_SECURITY | READ_CONTROL, &granted));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PRIVILEGE_NOT_HELD);

    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE); // NULL DACL: all access
    EXPECT_TRUE(check(0xF000F, &granted));
    BOOL status;
    EXPECT_FALSE(AccessCheck(&sd, nullptr, 1, &mapping, nullptr, nullptr, &granted, &status));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    CloseHandle(token);
}

} // namespace
