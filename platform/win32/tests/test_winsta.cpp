// Window stations and desktops: names, switching, handle rules, security.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string NameOf(HANDLE h) {
    char name[64] = {};
    DWORD needed = 0;
    if (!GetUserObjectInformationA(h, UOI_NAME, name, sizeof(name), &needed))
        return "<error " + std::to_string(GetLastError()) + ">";
    return name;
}

// S-1-5-21-1-2-3-1001, a user SID as a window-station client would add.
std::vector<BYTE> UserSid() {
    return {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0xE9, 3, 0, 0};
}

std::vector<BYTE> ReadDacl(HANDLE h) {
    DWORD si = DACL_SECURITY_INFORMATION, needed = 0;
    EXPECT_FALSE(GetUserObjectSecurity(h, &si, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> sd(needed);
    EXPECT_TRUE(GetUserObjectSecurity(h, &si, sd.data(), needed, &needed));
    return sd;
}

struct AceView {
    BYTE type, flags;
    WORD size;
    DWORD mask;
    std::vector<BYTE> sid;
};

std::vector<AceView> AcesOf(std::vector<BYTE>& sd) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    EXPECT_TRUE(GetSecurityDescriptorDacl(sd.data(), &present, &acl, &defaulted));
    EXPECT_TRUE(present);
    std::vector<AceView> out;
    if (!acl)
        return out;
    ACL_SIZE_INFORMATION info{};
    EXPECT_TRUE(GetAclInformation(acl, &info, sizeof(info), AclSizeInformation));
    for (DWORD i = 0; i < info.AceCount; ++i) {
        LPVOID ace = nullptr;
        EXPECT_TRUE(GetAce(acl, i, &ace));
        auto* b = static_cast<BYTE*>(ace);
        AceView v;
        v.type = b[0];
        v.flags = b[1];
        std::memcpy(&v.size, b + 2, 2);
        std::memcpy(&v.mask, b + 4, 4);
        v.sid.assign(b + 8, b + v.size);
        out.push_back(v);
    }
    return out;
}

// Appends ACEs for `sid` the way a window-station client does: copy the
// current DACL into a larger one, add, and set it back.
BOOL AddAccess(HANDLE object, std::vector<BYTE> sid, bool desktop) {
    std::vector<BYTE> current = ReadDacl(object);
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    if (!GetSecurityDescriptorDacl(current.data(), &present, &acl, &defaulted) || !present)
        return FALSE;
    ACL_SIZE_INFORMATION info{0, 8, 0};
    GetAclInformation(acl, &info, sizeof(info), AclSizeInformation);
    DWORD sidLen = static_cast<DWORD>(sid.size());
    std::vector<BYTE> newAcl(info.AclBytesInUse + 2 * sidLen + 16);
    auto* pNew = reinterpret_cast<PACL>(newAcl.data());
    InitializeAcl(pNew, static_cast<DWORD>(newAcl.size()), ACL_REVISION);
    for (DWORD i = 0; i < info.AceCount; ++i) {
        LPVOID ace = nullptr;
        if (GetAce(acl, i, &ace))
            AddAce(pNew, ACL_REVISION, MAXDWORD, ace, static_cast<BYTE*>(ace)[2]);
    }
    if (desktop) {
        AddAccessAllowedAce(pNew, ACL_REVISION, 0x000F01FF, sid.data());
    } else {
        std::vector<BYTE> ace(8 + sidLen);
        WORD size = static_cast<WORD>(ace.size());
        DWORD mask = 0xF0000000;
        ace[0] = 0;
        ace[1] = 0x0B;
        std::memcpy(&ace[2], &size, 2);
        std::memcpy(&ace[4], &mask, 4);
        std::memcpy(&ace[8], sid.data(), sidLen);
        AddAce(pNew, ACL_REVISION, MAXDWORD, ace.data(), size);
        ace[1] = 0x04;
        mask = 0x000F037F;
        std::memcpy(&ace[4], &mask, 4);
        AddAce(pNew, ACL_REVISION, MAXDWORD, ace.data(), size);
    }
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    if (!SetSecurityDescriptorDacl(&sd, TRUE, pNew, FALSE))
        return FALSE;
    DWORD si = DACL_SECURITY_INFORMATION;
    return SetUserObjectSecurity(object, &si, &sd);
}

constexpr ACCESS_MASK kOpenWinSta = 0x02060044;
constexpr ACCESS_MASK kOpenDesktop = 0x02060183;

} // namespace

TEST(WindowStations, StartOnWinSta0DefaultAndNamesIgnoreCase) {
    EXPECT_EQ(NameOf(GetProcessWindowStation()), "WinSta0");
    EXPECT_EQ(NameOf(GetThreadDesktop(GetCurrentThreadId())), "Default");
    EXPECT_EQ(GetProcessWindowStation(), GetProcessWindowStation());

    HWINSTA a = OpenWindowStationA("winsta0", TRUE, kOpenWinSta);
    ASSERT_NE(a, nullptr);
    EXPECT_LT(reinterpret_cast<uintptr_t>(a), 0x80000000u);
    EXPECT_EQ(NameOf(a), "WinSta0");
    HWINSTA s = OpenWindowStationA("SERVICE-0X0-3E7$", TRUE, kOpenWinSta);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(NameOf(s), "Service-0x0-3e7$");
    EXPECT_EQ(OpenWindowStationA("Service-x0-3e7$", TRUE, kOpenWinSta), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenDesktopA("NoSuchDesktop", 0, TRUE, kOpenDesktop), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HDESK w = OpenDesktopA("WINLOGON", 0, TRUE, kOpenDesktop);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(NameOf(w), "Winlogon");

    EXPECT_FALSE(CloseHandle(a)); // window-station handles have their own close
    EXPECT_TRUE(CloseWindowStation(a));
    EXPECT_FALSE(CloseWindowStation(a));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseWindowStation(reinterpret_cast<HWINSTA>(w))); // wrong kind
    EXPECT_TRUE(CloseDesktop(w));
    EXPECT_TRUE(CloseWindowStation(s));
    EXPECT_EQ(GetThreadDesktop(0), nullptr);
}

TEST(WindowStations, SwitchingProcessAndThreadAndBack) {
    HWINSTA savedStation = GetProcessWindowStation();
    HDESK savedDesktop = GetThreadDesktop(GetCurrentThreadId());

    // Another thread, started before the switch, keeps its own desktop.
    std::atomic<DWORD> otherId{0};
    std::atomic<bool> stop{false};
    struct Ctx {
        std::atomic<DWORD>* id;
        std::atomic<bool>* stop;
    } ctx{&otherId, &stop};
    HANDLE other = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* c = static_cast<Ctx*>(p);
            c->id->store(GetCurrentThreadId());
            while (!c->stop->load())
                Sleep(2);
            return 0;
        },
        &ctx, 0, nullptr);
    while (otherId.load() == 0)
        Sleep(2);

    HWINSTA service = OpenWindowStationA("Service-0x0-3e7$", TRUE, kOpenWinSta);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(SetProcessWindowStation(service));
    EXPECT_EQ(GetProcessWindowStation(), service);
    EXPECT_EQ(OpenDesktopA("Winlogon", 0, TRUE, kOpenDesktop), nullptr); // not on this station
    HDESK desk = OpenDesktopA("Default", 0, TRUE, kOpenDesktop);
    ASSERT_NE(desk, nullptr);
    ASSERT_TRUE(SetThreadDesktop(desk));
    EXPECT_EQ(GetThreadDesktop(GetCurrentThreadId()), desk);
    EXPECT_EQ(GetThreadDesktop(otherId), savedDesktop);

    // Handles in use stay open, as on Windows.
    EXPECT_FALSE(CloseDesktop(desk));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_FALSE(CloseWindowStation(service));
    EXPECT_EQ(NameOf(GetProcessWindowStation()), "Service-0x0-3e7$");

    EXPECT_FALSE(SetProcessWindowStation(reinterpret_cast<HWINSTA>(desk)));
    EXPECT_FALSE(SetThreadDesktop(nullptr));
    EXPECT_EQ(GetThreadDesktop(GetCurrentThreadId()), desk); // unchanged by the failures

    ASSERT_TRUE(SetProcessWindowStation(savedStation));
    ASSERT_TRUE(SetThreadDesktop(savedDesktop));
    EXPECT_EQ(NameOf(GetProcessWindowStation()), "WinSta0");
    EXPECT_TRUE(CloseDesktop(desk));
    EXPECT_TRUE(CloseWindowStation(service));
    stop = true;
    WaitForSingleObject(other, 10000);
    CloseHandle(other);
}

TEST(WindowStations, DaclExtensionIsKeptForTheProcess) {
    std::vector<BYTE> sid = UserSid();
    HWINSTA ws = OpenWindowStationA("Service-0x0-3e7$", TRUE, kOpenWinSta);
    ASSERT_NE(ws, nullptr);
    std::vector<BYTE> before = ReadDacl(ws);
    size_t countBefore = AcesOf(before).size();
    ASSERT_GE(countBefore, 1u);
    ASSERT_TRUE(AddAccess(ws, sid, false));

    // Read back through a fresh handle: the object changed, not the handle.
    HWINSTA again = OpenWindowStationA("service-0x0-3E7$", TRUE, kOpenWinSta);
    std::vector<BYTE> after = ReadDacl(again);
    EXPECT_TRUE(IsValidSecurityDescriptor(after.data()));
    auto aces = AcesOf(after);
    ASSERT_EQ(aces.size(), countBefore + 2);
    const AceView& first = aces[countBefore];
    const AceView& second = aces[countBefore + 1];
    EXPECT_EQ(first.type, 0);
    EXPECT_EQ(first.flags, 0x0B);
    EXPECT_EQ(first.mask, 0xF0000000u);
    EXPECT_EQ(first.sid, sid);
    EXPECT_EQ(second.flags, 0x04);
    EXPECT_EQ(second.mask, 0x000F037Fu);
    EXPECT_EQ(second.size, sid.size() + 8);

    // The desktop of that station, with AddAccessAllowedAce.
    HWINSTA saved = GetProcessWindowStation();
    ASSERT_TRUE(SetProcessWindowStation(ws));
    HDESK desk = OpenDesktopA("Default", 0, TRUE, kOpenDesktop);
    ASSERT_NE(desk, nullptr);
    ASSERT_TRUE(AddAccess(desk, sid, true));
    std::vector<BYTE> dsd = ReadDacl(desk);
    auto daces = AcesOf(dsd);
    ASSERT_FALSE(daces.empty());
    EXPECT_EQ(daces.back().mask, 0x000F01FFu);
    EXPECT_EQ(daces.back().flags, 0);
    EXPECT_EQ(daces.back().sid, sid);
    // WinSta0 was not touched.
    HWINSTA interactive = OpenWindowStationA("WinSta0", TRUE, kOpenWinSta);
    std::vector<BYTE> isd = ReadDacl(interactive);
    for (auto& a : AcesOf(isd))
        EXPECT_NE(a.sid, sid);
    ASSERT_TRUE(SetProcessWindowStation(saved));
    CloseDesktop(desk);
    CloseWindowStation(interactive);
    CloseWindowStation(again);
    CloseWindowStation(ws);
}

TEST(WindowStations, SecurityQueriesFollowWindowsRules) {
    HWINSTA ws = OpenWindowStationA("WinSta0", FALSE, kOpenWinSta);
    ASSERT_NE(ws, nullptr);
    DWORD si = DACL_SECURITY_INFORMATION, needed = 0;
    ASSERT_FALSE(GetUserObjectSecurity(ws, &si, nullptr, 0, &needed));
    ASSERT_GT(needed, 20u);
    std::vector<BYTE> buf(needed);
    DWORD again = 0;
    EXPECT_FALSE(GetUserObjectSecurity(ws, &si, buf.data(), needed - 1, &again));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(again, needed);
    ASSERT_TRUE(GetUserObjectSecurity(ws, &si, buf.data(), needed, &again));
    // Only the requested part: no owner in a DACL-only answer.
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(buf.data(), &owner, &defaulted));
    EXPECT_EQ(owner, nullptr);
    EXPECT_EQ(buf[3] & 0x80, 0x80); // SE_SELF_RELATIVE in the control word

    si = OWNER_SECURITY_INFORMATION;
    GetUserObjectSecurity(ws, &si, nullptr, 0, &needed);
    buf.assign(needed, 0);
    ASSERT_TRUE(GetUserObjectSecurity(ws, &si, buf.data(), needed, &needed));
    ASSERT_TRUE(GetSecurityDescriptorOwner(buf.data(), &owner, &defaulted));
    ASSERT_NE(owner, nullptr);
    const BYTE system[] = {1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0};
    EXPECT_EQ(std::memcmp(owner, system, sizeof(system)), 0);

    // Rights come from the handle.
    HWINSTA weak = OpenWindowStationA("WinSta0", FALSE, WINSTA_ENUMERATE);
    si = DACL_SECURITY_INFORMATION;
    EXPECT_FALSE(GetUserObjectSecurity(weak, &si, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    EXPECT_FALSE(SetUserObjectSecurity(weak, &si, &sd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // Bad input: errors, and the stored descriptor stays intact.
    std::vector<BYTE> junk(64, 0xEE);
    EXPECT_FALSE(SetUserObjectSecurity(ws, &si, junk.data()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
    EXPECT_FALSE(GetUserObjectSecurity(nullptr, &si, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    std::vector<BYTE> still = ReadDacl(ws);
    EXPECT_GE(AcesOf(still).size(), 1u);
    CloseWindowStation(weak);

    // A small descriptor (NULL DACL) still reports room for an absolute
    // descriptor, which callers initialise in the buffer they allocate.
    HDESK winlogon = OpenDesktopA("Winlogon", 0, FALSE, kOpenDesktop);
    ASSERT_NE(winlogon, nullptr);
    ASSERT_TRUE(SetUserObjectSecurity(winlogon, &si, &sd));
    GetUserObjectSecurity(winlogon, &si, nullptr, 0, &needed);
    EXPECT_GE(needed, sizeof(SECURITY_DESCRIPTOR));
    buf.assign(needed, 0xCC);
    ASSERT_TRUE(GetUserObjectSecurity(winlogon, &si, buf.data(), needed, &needed));
    BOOL present = FALSE;
    PACL dacl = reinterpret_cast<PACL>(1);
    ASSERT_TRUE(GetSecurityDescriptorDacl(buf.data(), &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(dacl, nullptr);
    CloseDesktop(winlogon);
    CloseWindowStation(ws);
}

TEST(WindowStationsDeathTest, ProcessStartsOnTheStationNamedByTheEnvironment) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("WIN32POSIX_WINSTA", "Service-0x0-3e7$", 1);
    EXPECT_EXIT(
        {
            bool ok = NameOf(GetProcessWindowStation()) == "Service-0x0-3e7$" &&
                      NameOf(GetThreadDesktop(GetCurrentThreadId())) == "Default";
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    unsetenv("WIN32POSIX_WINSTA");
}
