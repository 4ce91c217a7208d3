// CWinStation against the Windows layer's window stations and desktops:
// switching, going back, and the ACEs it appends for the process user.
#include "identity.h"
#include "winstation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string ObjectName(HANDLE object) {
    char name[256] = {};
    DWORD needed = 0;
    if (!GetUserObjectInformationA(object, UOI_NAME, name, sizeof name, &needed))
        return "?";
    return name;
}

std::string CurrentWinSta() {
    return ObjectName(GetProcessWindowStation());
}
std::string CurrentDesktop() {
    return ObjectName(GetThreadDesktop(GetCurrentThreadId()));
}

struct Ace {
    BYTE type;
    BYTE flags;
    DWORD mask;
    std::vector<BYTE> sid;
};

// The ACEs of an object's DACL; present is false for a null DACL.
std::vector<Ace> DaclOf(HANDLE object, bool* present = nullptr) {
    DWORD info = DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    GetUserObjectSecurity(object, &info, nullptr, 0, &size);
    std::vector<BYTE> sd(size);
    std::vector<Ace> aces;
    if (!GetUserObjectSecurity(object, &info, sd.data(), size, &size))
        return aces;
    BOOL daclPresent = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(sd.data(), &daclPresent, &dacl, &defaulted);
    if (present)
        *present = daclPresent && dacl;
    if (!dacl)
        return aces;
    ACL_SIZE_INFORMATION sizes = {};
    GetAclInformation(dacl, &sizes, sizeof sizes, AclSizeInformation);
    for (DWORD i = 0; i < sizes.AceCount; ++i) {
        void* p = nullptr;
        if (!GetAce(dacl, i, &p))
            continue;
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(p);
        BYTE* sid = reinterpret_cast<BYTE*>(&ace->SidStart);
        aces.push_back({ace->Header.AceType, ace->Header.AceFlags, ace->Mask,
                        std::vector<BYTE>(sid, sid + GetLengthSid(sid))});
    }
    return aces;
}

std::vector<BYTE> ProcessSid() {
    std::vector<BYTE> sid(128);
    EXPECT_TRUE(GetProcessUserSid(GetCurrentProcess(), sid.data(), 128));
    sid.resize(GetLengthSid(sid.data()));
    return sid;
}

// Gives the object a descriptor whose DACL is present but null.
void SetNullDacl(HANDLE object) {
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    DWORD info = DACL_SECURITY_INFORMATION;
    ASSERT_TRUE(SetUserObjectSecurity(object, &info, &sd));
}

const char kServiceWinSta[] = "Service-0x0-3e7$";

} // namespace

TEST(CWinStation, SetMovesProcessAndThreadAndRestoreGoesBack) {
    CWinStation station;
    std::vector<BYTE> sid = ProcessSid();
    station.SetSid(sid.data());
    const std::string startWinSta = CurrentWinSta();
    const std::string startDesktop = CurrentDesktop();
    ASSERT_NE(startWinSta, kServiceWinSta);

    HDESK threadDesktop = GetThreadDesktop(GetCurrentThreadId());
    EXPECT_EQ(station.Set(kServiceWinSta, "Default"), 1);
    EXPECT_EQ(CurrentWinSta(), kServiceWinSta);
    EXPECT_EQ(CurrentDesktop(), "Default");
    EXPECT_NE(GetThreadDesktop(GetCurrentThreadId()), threadDesktop);

    EXPECT_EQ(station.Set("WinSta0", "Winlogon"), 1);
    EXPECT_EQ(CurrentWinSta(), "WinSta0");
    EXPECT_EQ(CurrentDesktop(), "Winlogon");

    EXPECT_EQ(station.Restore(), 1);
    EXPECT_EQ(CurrentWinSta(), startWinSta);
    EXPECT_EQ(CurrentDesktop(), startDesktop);
}

TEST(CWinStation, FailuresToOpen) {
    CWinStation station;
    std::vector<BYTE> sid = ProcessSid();
    station.SetSid(sid.data());
    EXPECT_EQ(station.Set("NoSuchStation", "Default"), 0);
    EXPECT_EQ(CurrentWinSta(), "WinSta0");
    EXPECT_EQ(CurrentDesktop(), "Default");
    // An unknown desktop: the process stays on the station it moved to.
    EXPECT_EQ(station.Set(kServiceWinSta, "NoSuchDesktop"), 0);
    EXPECT_EQ(CurrentWinSta(), kServiceWinSta);
    EXPECT_EQ(station.Restore(), 1);
    EXPECT_EQ(CurrentWinSta(), "WinSta0");
}

TEST(CWinStation, AppendsTheUsersAces) {
    CWinStation station;
    std::vector<BYTE> sid = ProcessSid();
    station.SetSid(sid.data());
    HWINSTA winSta = OpenWindowStationA(kServiceWinSta, FALSE, READ_CONTROL);
    ASSERT_NE(winSta, nullptr);
    std::vector<Ace> before = DaclOf(winSta);

    ASSERT_EQ(station.Set(kServiceWinSta, "Default"), 1);
    std::vector<Ace> after = DaclOf(winSta);
    ASSERT_EQ(after.size(), before.size() + 2);
    for (size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(after[i].mask, before[i].mask) << "existing ACEs are kept in order";
    const Ace& inherit = after[before.size()];
    EXPECT_EQ(inherit.type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(inherit.flags, 0x0B);
    EXPECT_EQ(inherit.mask, 0xF0000000u);
    EXPECT_EQ(inherit.sid, sid);
    const Ace& own = after[before.size() + 1];
    EXPECT_EQ(own.flags, 0x04);
    EXPECT_EQ(own.mask, 0x000F037Fu);
    EXPECT_EQ(own.sid, sid);

    std::vector<Ace> desktop = DaclOf(GetThreadDesktop(GetCurrentThreadId()));
    ASSERT_FALSE(desktop.empty());
    EXPECT_EQ(desktop.back().type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(desktop.back().flags, 0);
    EXPECT_EQ(desktop.back().mask, 0x000F01FFu);
    EXPECT_EQ(desktop.back().sid, sid);
    CloseWindowStation(winSta);
    station.Restore();
}

TEST(CWinStation, NullDaclIsLeftAloneAndDesktopNotSwitched) {
    CWinStation station;
    std::vector<BYTE> sid = ProcessSid();
    station.SetSid(sid.data());
    HDESK desktop = OpenDesktopA("Winlogon", 0, FALSE, READ_CONTROL | WRITE_DAC);
    ASSERT_NE(desktop, nullptr);
    SetNullDacl(desktop);
    // No new ACL can be made from a null DACL: nothing is applied, which
    // would otherwise open the desktop to everyone.
    EXPECT_EQ(station.AddAccess(desktop, sid.data(), 1), 0);
    bool present = true;
    EXPECT_TRUE(DaclOf(desktop, &present).empty());
    EXPECT_FALSE(present);
    // Set then reports 1 although the thread stays on its desktop.
    EXPECT_EQ(station.Set("WinSta0", "Winlogon"), 1);
    EXPECT_EQ(CurrentDesktop(), "Default");
    CloseDesktop(desktop);
    station.Restore();
}

TEST(CWinStation, WithoutSidNothingIsGrantedAndTheDesktopStays) {
    CWinStation station; // no SetSid: the SID could not be read at load
    HWINSTA winSta = OpenWindowStationA(kServiceWinSta, FALSE, READ_CONTROL);
    ASSERT_NE(winSta, nullptr);
    size_t aces = DaclOf(winSta).size();
    HDESK threadDesktop = GetThreadDesktop(GetCurrentThreadId());
    EXPECT_EQ(station.AddAccess(winSta, nullptr, 0), 0);
    EXPECT_EQ(station.Set(kServiceWinSta, "Default"), 1);
    EXPECT_EQ(DaclOf(winSta).size(), aces);
    EXPECT_EQ(CurrentWinSta(), kServiceWinSta);
    EXPECT_EQ(GetThreadDesktop(GetCurrentThreadId()), threadDesktop) << "still WinSta0's desktop";
    CloseWindowStation(winSta);
    EXPECT_EQ(station.Restore(), 1);
}
