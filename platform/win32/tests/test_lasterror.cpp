// The last-error rule: a function that succeeds leaves the thread's last
// error as it was, unless Windows documents that it sets it. Checked for
// every function of this part of the layer that the project calls (the
// service manager's functions are checked in the manager's tests).
#include <windows.h>

#include "lastcheck.h"
#include "security.h"
#include "temproot.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Call = LastErrorCall;

class LastError : public TempStateRoot {
protected:
    void SetUp() override {
        TempStateRoot::SetUp();
        ASSERT_EQ(system(("mkdir -p " + root_ + "/drives/c/Users/x").c_str()), 0);
        std::ofstream(root_ + "/drives/c/Users/x/a.dat") << "data";
    }
    static void Check(const std::vector<Call>& calls) { CheckLastErrorRule(calls); }
};

void CALLBACK NoOpTimerProc(HWND, UINT, UINT_PTR, DWORD) {}

TEST_F(LastError, SecurityFunctionsLeaveItOnSuccess) {
    HANDLE token = nullptr;
    std::vector<BYTE> user(256);
    DWORD size = 0;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID system = nullptr;
    BYTE copy[SECURITY_MAX_SID_SIZE];
    alignas(4) BYTE aclBuf[128];
    auto* acl = reinterpret_cast<PACL>(aclBuf);
    BYTE ace[20] = {0, 0, 20, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    LPVOID got = nullptr;
    ACL_SIZE_INFORMATION info{};
    SECURITY_DESCRIPTOR abs{};
    std::vector<BYTE> rel(256);
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    Check({
        {"GetCurrentProcess", [&] { return GetCurrentProcess() != nullptr; }},
        {"OpenProcessToken",
         [&] {
             return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES,
                                     &token);
         }},
        {"GetTokenInformation",
         [&] {
             return GetTokenInformation(token, TokenUser, user.data(),
                                        static_cast<DWORD>(user.size()), &size);
         }},
        {"LookupPrivilegeValueA",
         [&] { return LookupPrivilegeValueA(nullptr, SE_DEBUG_NAME, &tp.Privileges[0].Luid); }},
        {"AdjustTokenPrivileges",
         [&] { return AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr); },
         true},
        {"AllocateAndInitializeSid",
         [&] { return AllocateAndInitializeSid(&nt, 1, 18, 0, 0, 0, 0, 0, 0, 0, &system); }},
        {"IsValidSid", [&] { return IsValidSid(system); }},
        {"GetSidLengthRequired", [&] { return GetSidLengthRequired(2) == 16; }},
        {"GetLengthSid", [&] { return GetLengthSid(system) == 12; }},
        {"CopySid", [&] { return CopySid(sizeof copy, copy, system); }},
        {"EqualSid", [&] { return EqualSid(copy, system); }, true},
        {"GetSidSubAuthority", [&] { return *GetSidSubAuthority(system, 0) == 18; }, true},
        {"InitializeAcl", [&] { return InitializeAcl(acl, sizeof aclBuf, ACL_REVISION); }},
        {"AddAccessAllowedAce",
         [&] { return AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ, system); }},
        {"AddAce", [&] { return AddAce(acl, ACL_REVISION, MAXDWORD, ace, sizeof ace); }},
        {"IsValidAcl", [&] { return IsValidAcl(acl); }},
        {"GetAce", [&] { return GetAce(acl, 1, &got); }},
        {"GetAclInformation",
         [&] { return GetAclInformation(acl, &info, sizeof info, AclSizeInformation); }},
        {"InitializeSecurityDescriptor",
         [&] { return InitializeSecurityDescriptor(&abs, SECURITY_DESCRIPTOR_REVISION); }},
        {"SetSecurityDescriptorDacl",
         [&] { return SetSecurityDescriptorDacl(&abs, TRUE, acl, 0); }},
        {"IsValidSecurityDescriptor", [&] { return IsValidSecurityDescriptor(&abs); }},
        {"MakeSelfRelativeSD",
         [&] {
             size = static_cast<DWORD>(rel.size());
             return MakeSelfRelativeSD(&abs, rel.data(), &size);
         }},
        {"IsValidRelativeSecurityDescriptor",
         [&] { return IsValidRelativeSecurityDescriptor(rel.data(), size, 0); }},
        {"GetSecurityDescriptorDacl",
         [&] { return GetSecurityDescriptorDacl(rel.data(), &present, &list, &defaulted); }},
        {"GetSecurityDescriptorSacl",
         [&] { return GetSecurityDescriptorSacl(rel.data(), &present, &list, &defaulted); }},
        {"CloseHandle (token)", [&] { return CloseHandle(token); }},
    });
    FreeSid(system);
}

TEST_F(LastError, RegistryFilesAndMemoryLeaveItOnSuccess) {
    HKEY key = nullptr, machine = nullptr;
    DWORD value = 7, size = sizeof value, type = 0;
    char expanded[64];
    HANDLE token = nullptr;
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, SE_RESTORE_NAME, &tp.Privileges[0].Luid));
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr));
    setenv("W32P_LE_VAR", "x", 1);
    HMODULE advapi = nullptr;
    char buf[16];
    SIZE_T read = 0;
    void* heap = nullptr;
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    Check({
        {"RegConnectRegistryA",
         [&] { return RegConnectRegistryA(nullptr, HKEY_LOCAL_MACHINE, &machine) == 0; }},
        {"RegOpenKeyExA",
         [&] { return RegOpenKeyExA(machine, "SOFTWARE", 0, KEY_ALL_ACCESS, &key) == 0; }},
        {"RegSetValueExA",
         [&] { return RegSetValueExA(key, "v", 0, REG_DWORD, (BYTE*)&value, 4) == 0; }},
        {"RegQueryValueExA",
         [&] { return RegQueryValueExA(key, "v", nullptr, &type, (BYTE*)&value, &size) == 0; }},
        {"RegCloseKey", [&] { return RegCloseKey(key) == 0 && RegCloseKey(machine) == 0; }},
        {"RegLoadKeyA",
         [&] { return RegLoadKeyA(HKEY_USERS, "W32PLastError", "C:\\Users\\x\\h.dat") == 0; }},
        {"ExpandEnvironmentStringsA",
         [&] { return ExpandEnvironmentStringsA("%W32P_LE_VAR%", expanded, 64) == 2; }},
        {"GetFileAttributesA",
         [&] { return GetFileAttributesA("C:\\Users\\x\\a.dat") != INVALID_FILE_ATTRIBUTES; }},
        {"CopyFileA", [&] { return CopyFileA("C:\\Users\\x\\a.dat", "C:\\Users\\x\\b", TRUE); }},
        {"LoadLibraryA", [&] { return (advapi = LoadLibraryA("advapi32.dll")) != nullptr; }},
        {"GetProcAddress", [&] { return GetProcAddress(advapi, "SetServiceBits") != nullptr; }},
        {"ReadProcessMemory",
         [&] { return ReadProcessMemory(GetCurrentProcess(), expanded, buf, sizeof buf, &read); }},
        {"GetProcessHeap", [&] { return GetProcessHeap() != nullptr; }},
        {"HeapAlloc", [&] { return (heap = HeapAlloc(GetProcessHeap(), 0, 16)) != nullptr; }},
        {"HeapFree", [&] { return HeapFree(GetProcessHeap(), 0, heap); }},
        {"GetVersionExA", [&] { return GetVersionExA(&version); }},
    });
    RegUnLoadKeyA(HKEY_USERS, "W32PLastError");
    unsetenv("W32P_LE_VAR");
    CloseHandle(token);
}

TEST_F(LastError, ThreadsMessagesAndStationsLeaveItOnSuccess) {
    HANDLE thread = nullptr;
    DWORD code = 0;
    UINT_PTR timer = 0;
    MSG msg{};
    HWINSTA station = nullptr, current = nullptr;
    HDESK desktop = nullptr, threadDesktop = nullptr;
    std::vector<BYTE> sd(512);
    DWORD needed = 0;
    SECURITY_INFORMATION si = DACL_SECURITY_INFORMATION;
    FreeConsole();
    Check({
        {"GetCurrentThreadId", [&] { return GetCurrentThreadId() != 0; }},
        {"CreateThread",
         [&] {
             thread = CreateThread(
                 nullptr, 0,
                 [](LPVOID) -> DWORD {
                     Sleep(60000);
                     return 0;
                 },
                 nullptr, 0, nullptr);
             return thread != nullptr;
         }},
        {"GetExitCodeThread", [&] { return GetExitCodeThread(thread, &code); }},
        {"TerminateThread", [&] { return TerminateThread(thread, 5); }},
        {"CloseHandle (thread)", [&] { return CloseHandle(thread); }},
        {"Sleep",
         [&] {
             Sleep(0);
             return true;
         }},
        {"GetDesktopWindow", [&] { return GetDesktopWindow() != nullptr; }},
        {"GetWindow", [&] { return GetWindow(GetDesktopWindow(), GW_HWNDFIRST) != nullptr; }},
        {"SetTimer", [&] { return (timer = SetTimer(nullptr, 0, 60000, NoOpTimerProc)) != 0; }},
        {"PostThreadMessageA",
         [&] { return PostThreadMessageA(GetCurrentThreadId(), WM_USER, 1, 2); }},
        {"GetMessageA", [&] { return GetMessageA(&msg, nullptr, 0, 0) > 0; }},
        {"TranslateMessage",
         [&] {
             TranslateMessage(&msg);
             return true;
         }},
        {"DispatchMessageA",
         [&] {
             DispatchMessageA(&msg);
             return true;
         }},
        {"KillTimer", [&] { return KillTimer(nullptr, timer); }},
        {"GetProcessWindowStation", [&] { return (current = GetProcessWindowStation()) != 0; }},
        {"OpenWindowStationA",
         [&] { return (station = OpenWindowStationA("WinSta0", FALSE, MAXIMUM_ALLOWED)) != 0; }},
        {"SetProcessWindowStation", [&] { return SetProcessWindowStation(current); }},
        {"GetThreadDesktop",
         [&] { return (threadDesktop = GetThreadDesktop(GetCurrentThreadId())) != nullptr; }},
        {"OpenDesktopA",
         [&] { return (desktop = OpenDesktopA("Default", 0, FALSE, MAXIMUM_ALLOWED)) != 0; }},
        {"SetThreadDesktop", [&] { return SetThreadDesktop(threadDesktop); }},
        {"GetUserObjectSecurity (desktop)",
         [&] { return GetUserObjectSecurity(desktop, &si, sd.data(), (DWORD)sd.size(), &needed); }},
        {"SetUserObjectSecurity", [&] { return SetUserObjectSecurity(desktop, &si, sd.data()); }},
        {"GetUserObjectSecurity (station)",
         [&] { return GetUserObjectSecurity(station, &si, sd.data(), (DWORD)sd.size(), &needed); }},
        {"CloseDesktop", [&] { return CloseDesktop(desktop); }},
        {"CloseWindowStation", [&] { return CloseWindowStation(station); }},
        {"AllocConsole", [&] { return AllocConsole(); }},
        {"FreeConsole", [&] { return FreeConsole(); }},
    });
}

} // namespace
