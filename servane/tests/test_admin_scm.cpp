// The administration call sequences against the Windows layer's service
// control manager: what reaches the manager, what gdwLastError records and
// that the database lock is always released.
#include "admin.h"
#include "runtime.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

using namespace servane;

namespace {

ServiceInfo Basic(const std::string& name) {
    ServiceInfo info;
    info.name = name;
    info.path = "C:\\svc.exe";
    return info;
}

// Holds the database lock through a connection of its own, as another
// process would.
class HeldLock {
public:
    HeldLock() {
        m_manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        m_lock = m_manager ? LockServiceDatabase(m_manager) : nullptr;
    }
    ~HeldLock() {
        if (m_lock)
            UnlockServiceDatabase(m_lock);
        if (m_manager)
            CloseServiceHandle(m_manager);
    }
    bool held() const { return m_lock != nullptr; }

private:
    SC_HANDLE m_manager = nullptr;
    SC_LOCK m_lock = nullptr;
};

void SetDescriptionValue(const std::string& name, DWORD type, const std::string& text) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, KEY_SET_VALUE, &key),
        ERROR_SUCCESS);
    RegSetValueExA(key, "Description", 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
}

} // namespace

TEST(AdminScm, LockHeldElsewhereGivesDatabaseLocked) {
    ASSERT_EQ(CreateService(Basic("Locked")), 1u);
    HeldLock lock;
    ASSERT_TRUE(lock.held());
    gdwLastError = 0;
    EXPECT_EQ(CreateService(Basic("Other")), 0u);
    EXPECT_EQ(gdwLastError, DWORD(ERROR_SERVICE_DATABASE_LOCKED));
    gdwLastError = 0;
    ServiceInfo change = Basic("Locked");
    EXPECT_EQ(ConfigureService(change), 0u);
    EXPECT_EQ(gdwLastError, DWORD(ERROR_SERVICE_DATABASE_LOCKED));
    gdwLastError = 0;
    ServiceConfig config;
    EXPECT_EQ(QueryServiceConfig("", "Locked", config), 0u);
    EXPECT_EQ(gdwLastError, DWORD(ERROR_SERVICE_DATABASE_LOCKED));
    gdwLastError = 0;
    EXPECT_FALSE(GetSecurity("", "Locked"));
    EXPECT_EQ(gdwLastError, DWORD(ERROR_SERVICE_DATABASE_LOCKED));
    gdwLastError = 0;
    EXPECT_EQ(DeleteService("", "Locked"), 0u);
    EXPECT_EQ(gdwLastError, DWORD(ERROR_SERVICE_DATABASE_LOCKED));
}

TEST(AdminScm, EveryPathReleasesTheLock) {
    ASSERT_EQ(CreateService(Basic("Released")), 1u);
    ServiceConfig config;
    // Failures after the lock was taken: open, create, change, delete.
    EXPECT_EQ(CreateService(Basic("Released")), 0u);
    EXPECT_EQ(QueryServiceConfig("", "Missing", config), 0u);
    ServiceInfo bad = Basic("Released");
    bad.startType = 99;
    EXPECT_EQ(ConfigureService(bad), 0u);
    EXPECT_FALSE(GetSecurity("", "Missing"));
    EXPECT_EQ(DeleteService("", "Missing"), 0u);
    // And successes.
    EXPECT_EQ(QueryServiceConfig("", "Released", config), 1u);
    EXPECT_TRUE(GetSecurity("", "Released"));
    HeldLock lock;
    EXPECT_TRUE(lock.held()) << "a call left the database locked";
}

TEST(AdminScm, ConnectionFailureLeavesLastErrorAlone) {
    gdwLastError = 4242;
    ServiceInfo remote = Basic("Remote");
    remote.machine = "\\\\no-such-host.invalid";
    EXPECT_EQ(CreateService(remote), 0u);
    EXPECT_EQ(ConfigureService(remote), 0u);
    ServiceConfig config;
    EXPECT_EQ(QueryServiceConfig(*remote.machine, "Remote", config), 0u);
    EXPECT_EQ(DeleteService(*remote.machine, "Remote"), 0u);
    EXPECT_FALSE(GetSecurity(*remote.machine, "Remote"));
    EXPECT_EQ(gdwLastError, 4242u);
}

TEST(AdminScm, DescriptionOnlyWhenRegSz) {
    ServiceInfo info = Basic("Described");
    info.description = "plain";
    ASSERT_EQ(CreateService(info), 1u);
    ServiceConfig config;
    ASSERT_EQ(QueryServiceConfig("", "Described", config), 1u);
    EXPECT_EQ(config.description, std::optional<std::string>("plain"));

    SetDescriptionValue("Described", REG_EXPAND_SZ, "%SystemRoot%\\x");
    ASSERT_EQ(QueryServiceConfig("", "Described", config = ServiceConfig()), 1u);
    EXPECT_FALSE(config.description);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath("Described").c_str(), 0,
                            KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    RegDeleteValueA(key, "Description");
    RegCloseKey(key);
    ASSERT_EQ(QueryServiceConfig("", "Described", config = ServiceConfig()), 1u);
    EXPECT_FALSE(config.description);

    // Text up to the first NUL; longer than the first read buffer.
    std::string text(3000, 'x');
    SetDescriptionValue("Described", REG_SZ, text);
    ASSERT_EQ(QueryServiceConfig("", "Described", config = ServiceConfig()), 1u);
    EXPECT_EQ(config.description, std::optional<std::string>(text));
}

// Builds a descriptor with many ACEs in absolute form.
struct AbsoluteDescriptor {
    SECURITY_DESCRIPTOR sd;
    std::vector<BYTE> acl;
    std::vector<BYTE> owner;
    explicit AbsoluteDescriptor(int aces) : acl(8 + aces * 20), owner(12) {
        owner = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
        InitializeAcl(reinterpret_cast<PACL>(acl.data()), static_cast<DWORD>(acl.size()),
                      ACL_REVISION);
        for (int i = 0; i < aces; ++i)
            AddAccessAllowedAce(reinterpret_cast<PACL>(acl.data()), ACL_REVISION,
                                0x20000 | DWORD(i), owner.data());
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorOwner(&sd, owner.data(), FALSE);
        SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(acl.data()), FALSE);
    }
};

TEST(CopyDescriptorAt, BothFormsBecomeEqualSelfRelativeCopies) {
    AbsoluteDescriptor absolute(3);
    auto fromAbsolute = CopyDescriptorAt(reinterpret_cast<uintptr_t>(&absolute.sd));
    ASSERT_TRUE(fromAbsolute);
    ASSERT_TRUE(IsValidSecurityDescriptor(fromAbsolute->data()));
    EXPECT_TRUE(CopyRelativeDescriptor(fromAbsolute->data(), fromAbsolute->size()));
    auto fromRelative = CopyDescriptorAt(reinterpret_cast<uintptr_t>(fromAbsolute->data()));
    ASSERT_TRUE(fromRelative);
    EXPECT_EQ(*fromRelative, *fromAbsolute);
}

TEST(CopyDescriptorAt, UnreadableMemoryIsRefused) {
    EXPECT_FALSE(CopyDescriptorAt(0));
    EXPECT_FALSE(CopyDescriptorAt(1));
    EXPECT_FALSE(CopyDescriptorAt(~uintptr_t(0) - 2));
    // A readable header whose parts lie in unmapped memory.
    BYTE relative[20] = {1, 0, 0x04, 0x80};
    DWORD farOffset = 0x7FFFFFF0;
    std::memcpy(relative + 16, &farOffset, 4);
    EXPECT_FALSE(CopyDescriptorAt(reinterpret_cast<uintptr_t>(relative)));
    SECURITY_DESCRIPTOR absolute = {};
    absolute.Revision = 1;
    absolute.Control = SE_DACL_PRESENT;
    absolute.Dacl = reinterpret_cast<PACL>(uintptr_t(0xDEAD0000BEEF));
    EXPECT_FALSE(CopyDescriptorAt(reinterpret_cast<uintptr_t>(&absolute)));
}

TEST(CopyRelativeDescriptor, AcceptsWholeDescriptorsAtAnyAddress) {
    AbsoluteDescriptor absolute(2);
    auto relative = CopyDescriptorAt(reinterpret_cast<uintptr_t>(&absolute.sd));
    ASSERT_TRUE(relative);
    // A Perl string's bytes may start at an odd address; the copy does not.
    std::vector<BYTE> shifted(relative->size() + 1);
    std::memcpy(shifted.data() + 1, relative->data(), relative->size());
    auto copy = CopyRelativeDescriptor(shifted.data() + 1, relative->size());
    ASSERT_TRUE(copy);
    EXPECT_EQ(*copy, *relative);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(copy->data()) % alignof(DWORD), 0u);
    // Trailing bytes are allowed.
    relative->resize(relative->size() + 7);
    EXPECT_TRUE(CopyRelativeDescriptor(relative->data(), relative->size()));
}

TEST(CopyRelativeDescriptor, RefusesPartsOutsideOrMisplaced) {
    AbsoluteDescriptor absolute(2);
    const std::vector<BYTE> good = *CopyDescriptorAt(reinterpret_cast<uintptr_t>(&absolute.sd));
    SECURITY_DESCRIPTOR_RELATIVE header;
    std::memcpy(&header, good.data(), sizeof header);
    ASSERT_NE(header.Owner, 0u);
    ASSERT_NE(header.Dacl, 0u);

    EXPECT_FALSE(CopyRelativeDescriptor(nullptr, 20));
    EXPECT_FALSE(CopyRelativeDescriptor(good.data(), 19));
    // Cut anywhere inside the last part.
    for (size_t cut = 1; cut <= 8; ++cut)
        EXPECT_FALSE(CopyRelativeDescriptor(good.data(), good.size() - cut)) << cut;

    auto with = [&](size_t at, DWORD value) {
        std::vector<BYTE> bytes = good;
        std::memcpy(bytes.data() + at, &value, sizeof value);
        return CopyRelativeDescriptor(bytes.data(), bytes.size());
    };
    const size_t ownerAt = offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner);
    const size_t daclAt = offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl);
    EXPECT_FALSE(with(ownerAt, 4));                                   // inside the header
    EXPECT_FALSE(with(ownerAt, header.Owner + 1));                    // not DWORD aligned
    EXPECT_FALSE(with(ownerAt, DWORD(good.size())));                  // just past the end
    EXPECT_FALSE(with(daclAt, 0x7FFFFFF0));                           // far outside
    EXPECT_FALSE(with(daclAt, DWORD(good.size() - sizeof(ACL)) + 4)); // header would not fit
    // An ACL whose size runs past the bytes.
    std::vector<BYTE> longAcl = good;
    auto* acl = reinterpret_cast<ACL*>(longAcl.data() + header.Dacl);
    acl->AclSize = static_cast<WORD>(longAcl.size() - header.Dacl + 4);
    EXPECT_FALSE(CopyRelativeDescriptor(longAcl.data(), longAcl.size()));
    // A SID whose sub-authority count runs past the bytes.
    std::vector<BYTE> longSid = good;
    longSid[header.Owner + 1] = 15;
    EXPECT_FALSE(CopyRelativeDescriptor(longSid.data(), longSid.size()));
    // The absolute form is no byte string of a descriptor.
    EXPECT_FALSE(with(0, 0x00040001)); // revision 1, control SE_DACL_PRESENT only
}
