// Window stations and desktops as ShowService, HideService and
// RestoreService use them: the core's CWinStation moves the process and
// comes back.
#include "runtime.h"
#include "suite.h"
#include "winstation.h"

namespace suite {
namespace {

TEST(WindowStations, ShowHideAndRestore) {
    EXPECT_NE(gWinStation.Set("WinSta0", "Default"), 0);
    EXPECT_EQ(gWinStation.Restore(), 1);

    int hidden = gWinStation.Set("Service-0x0-3e7$", "Default");
    if (WineDefect("there is no \"Service-0x0-3e7$\" window station (LocalSystem's services)")) {
        EXPECT_EQ(hidden, 0);
    } else {
        EXPECT_NE(hidden, 0);
    }
    EXPECT_EQ(gWinStation.Restore(), 1);
}

TEST(WindowStations, TheInteractiveStationHasAWinlogonDesktop) {
    HWINSTA station = OpenWindowStationA("WinSta0", FALSE, WINSTA_ENUMDESKTOPS);
    ASSERT_NE(station, nullptr) << GetLastError();
    HWINSTA previous = GetProcessWindowStation();
    ASSERT_TRUE(SetProcessWindowStation(station));
    // Only LocalSystem may open it; a missing desktop is another matter.
    HDESK desktop = OpenDesktopA("Winlogon", 0, FALSE, DESKTOP_READOBJECTS);
    DWORD error = desktop ? 0 : GetLastError();
    if (desktop)
        CloseDesktop(desktop);
    SetProcessWindowStation(previous);
    CloseWindowStation(station);
    if (WineDefect("there is no \"Winlogon\" desktop")) {
        EXPECT_EQ(error, DWORD(ERROR_FILE_NOT_FOUND));
    } else {
        EXPECT_TRUE(error == 0 || error == ERROR_ACCESS_DENIED) << error;
    }
}

} // namespace
} // namespace suite
