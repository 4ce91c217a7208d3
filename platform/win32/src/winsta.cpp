// user32 window stations and desktops, and their security.
//
// The objects are per process (as a Windows session's are, for this layer):
// the interactive window station "WinSta0" with the desktops "Default" and
// "Winlogon", and the LocalSystem service window station "Service-0x0-3e7$"
// with the desktop "Default". Each keeps its security descriptor as
// self-relative bytes; changes last for the life of the process. The process
// starts on WinSta0, or on the window station named by WIN32POSIX_WINSTA
// (read once, on the first window-station call), and every thread starts on
// that window station's "Default" desktop.
#include "handles.h"
#include "lasterror.h"
#include "message.h"
#include "thread.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <strings.h>
#include <vector>

using namespace w32p;

namespace {

struct UserObject {
    std::string name;
    std::vector<BYTE> sd; // self-relative; empty when it could not be built
};

struct Desktop : UserObject {};

struct WindowStation : UserObject {
    std::vector<std::shared_ptr<Desktop>> desktops;
};

struct WinStaHandle : KernelObject {
    WinStaHandle(std::shared_ptr<WindowStation> s, ACCESS_MASK a)
        : station(std::move(s)), access(a) {}
    ObjectKind Kind() const override { return ObjectKind::WindowStation; }
    std::shared_ptr<WindowStation> station;
    ACCESS_MASK access;
};

struct DesktopHandle : KernelObject {
    DesktopHandle(std::shared_ptr<Desktop> d, ACCESS_MASK a) : desktop(std::move(d)), access(a) {}
    ObjectKind Kind() const override { return ObjectKind::Desktop; }
    std::shared_ptr<Desktop> desktop;
    ACCESS_MASK access;
};

constexpr ACCESS_MASK kWinStaAll = STANDARD_RIGHTS_REQUIRED | WINSTA_ALL_ACCESS;
constexpr ACCESS_MASK kDesktopAll = STANDARD_RIGHTS_REQUIRED | 0x01FF;

// The rights a handle carries. Only the standard rights are ever checked
// (READ_CONTROL, WRITE_DAC, WRITE_OWNER, ACCESS_SYSTEM_SECURITY); opening
// does not check the object's DACL.
ACCESS_MASK Granted(ACCESS_MASK desired, ACCESS_MASK all) {
    ACCESS_MASK granted =
        desired & ~(MAXIMUM_ALLOWED | GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE);
    if (desired & (MAXIMUM_ALLOWED | GENERIC_ALL))
        granted |= all;
    if (desired & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE))
        granted |= READ_CONTROL;
    return granted;
}

// The parts of a descriptor, pointing into the descriptor they came from.
struct SdParts {
    PSID owner = nullptr;
    PSID group = nullptr;
    BOOL daclPresent = FALSE;
    PACL dacl = nullptr;
    BOOL saclPresent = FALSE;
    PACL sacl = nullptr;
};

bool ReadParts(PSECURITY_DESCRIPTOR sd, SdParts& p) {
    BOOL defaulted = FALSE;
    return GetSecurityDescriptorOwner(sd, &p.owner, &defaulted) &&
           GetSecurityDescriptorGroup(sd, &p.group, &defaulted) &&
           GetSecurityDescriptorDacl(sd, &p.daclPresent, &p.dacl, &defaulted) &&
           GetSecurityDescriptorSacl(sd, &p.saclPresent, &p.sacl, &defaulted);
}

bool ToSelfRelative(const SdParts& p, std::vector<BYTE>& out) {
    SECURITY_DESCRIPTOR abs;
    if (!InitializeSecurityDescriptor(&abs, SECURITY_DESCRIPTOR_REVISION))
        return false;
    if ((p.owner && !SetSecurityDescriptorOwner(&abs, p.owner, FALSE)) ||
        (p.group && !SetSecurityDescriptorGroup(&abs, p.group, FALSE)) ||
        !SetSecurityDescriptorDacl(&abs, p.daclPresent, p.dacl, FALSE) ||
        !SetSecurityDescriptorSacl(&abs, p.saclPresent, p.sacl, FALSE))
        return false;
    DWORD length = 0;
    {
        KeepLastError keep; // the size query fails by design
        MakeSelfRelativeSD(&abs, nullptr, &length);
    }
    if (length == 0)
        return false;
    std::vector<BYTE> bytes(length);
    if (!MakeSelfRelativeSD(&abs, bytes.data(), &length))
        return false;
    bytes.resize(length);
    out.swap(bytes);
    return true;
}

// A well-known SID of the NT authority, held in a buffer.
std::vector<BYTE> NtSid(std::initializer_list<DWORD> rids) {
    std::vector<DWORD> r(rids);
    r.resize(8, 0);
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    if (!AllocateAndInitializeSid(&nt, static_cast<BYTE>(rids.size()), r[0], r[1], r[2], r[3], r[4],
                                  r[5], r[6], r[7], &sid))
        return {};
    std::vector<BYTE> bytes(static_cast<const BYTE*>(sid),
                            static_cast<const BYTE*>(sid) + GetLengthSid(sid));
    FreeSid(sid);
    return bytes;
}

// Owner and group SYSTEM; a DACL granting `mask` to each SID in turn.
std::vector<BYTE> DefaultDescriptor(const std::vector<std::vector<BYTE>*>& sids, ACCESS_MASK mask) {
    DWORD size = 8; // ACL header
    for (auto* s : sids)
        size += 8 + static_cast<DWORD>(s->size());
    std::vector<BYTE> acl(size);
    auto* pacl = reinterpret_cast<PACL>(acl.data());
    if (!InitializeAcl(pacl, size, ACL_REVISION))
        return {};
    for (auto* s : sids)
        if (s->empty() || !AddAccessAllowedAce(pacl, ACL_REVISION, mask, s->data()))
            return {};
    SdParts parts;
    parts.owner = sids.empty() ? nullptr : sids[0]->data();
    parts.group = parts.owner;
    parts.daclPresent = TRUE;
    parts.dacl = pacl;
    std::vector<BYTE> out;
    ToSelfRelative(parts, out);
    return out;
}

struct Directory {
    std::mutex mutex; // guards everything here, and the objects' descriptors
    bool ready = false;
    std::vector<std::shared_ptr<WindowStation>> stations;
    HWINSTA processStation = nullptr;
    HDESK initialDesktop = nullptr;
};

Directory& TheDirectory() {
    static Directory* d = new Directory;
    return *d;
}

std::shared_ptr<Desktop> MakeDesktop(const char* name, std::vector<BYTE> sd) {
    auto d = std::make_shared<Desktop>();
    d->name = name;
    d->sd = std::move(sd);
    return d;
}

std::shared_ptr<WindowStation> FindStation(Directory& dir, const char* name) {
    for (auto& s : dir.stations)
        if (strcasecmp(s->name.c_str(), name) == 0)
            return s;
    return nullptr;
}

// Builds the objects and the process's start handles (directory lock held).
void EnsureReady(Directory& dir) {
    if (dir.ready)
        return;
    dir.ready = true;
    DWORD savedError = GetLastError();
    std::vector<BYTE> system = NtSid({SECURITY_LOCAL_SYSTEM_RID});
    std::vector<BYTE> admins = NtSid({SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});

    auto interactive = std::make_shared<WindowStation>();
    interactive->name = "WinSta0";
    interactive->sd = DefaultDescriptor({&system, &admins}, kWinStaAll);
    interactive->desktops.push_back(
        MakeDesktop("Default", DefaultDescriptor({&system, &admins}, kDesktopAll)));
    interactive->desktops.push_back(
        MakeDesktop("Winlogon", DefaultDescriptor({&system}, kDesktopAll)));

    auto service = std::make_shared<WindowStation>();
    service->name = "Service-0x0-3e7$";
    service->sd = DefaultDescriptor({&system}, kWinStaAll);
    service->desktops.push_back(MakeDesktop("Default", DefaultDescriptor({&system}, kDesktopAll)));

    dir.stations = {interactive, service};

    std::shared_ptr<WindowStation> start = interactive;
    if (const char* env = getenv("WIN32POSIX_WINSTA"); env && *env)
        if (auto named = FindStation(dir, env))
            start = named;
    dir.processStation =
        static_cast<HWINSTA>(InsertHandle(std::make_shared<WinStaHandle>(start, kWinStaAll)));
    dir.initialDesktop = static_cast<HDESK>(
        InsertHandle(std::make_shared<DesktopHandle>(start->desktops.front(), kDesktopAll)));
    SetLastError(savedError);
}

// The directory, locked for the caller's scope and set up on first use.
struct ReadyDirectory {
    Directory& dir = TheDirectory();
    std::lock_guard<std::mutex> lock{dir.mutex};
    ReadyDirectory() { EnsureReady(dir); }
};

// Either kind of user object behind a handle, with the handle's rights.
bool LookupUserObject(HANDLE h, UserObject** object, ACCESS_MASK* access) {
    if (auto ws = FindHandleAs<WinStaHandle>(h, ObjectKind::WindowStation)) {
        *object = ws->station.get();
        *access = ws->access;
        return true;
    }
    if (auto dh = FindHandleAs<DesktopHandle>(h, ObjectKind::Desktop)) {
        *object = dh->desktop.get();
        *access = dh->access;
        return true;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

// The rights needed to read or write the given parts of a descriptor.
ACCESS_MASK RightsFor(SECURITY_INFORMATION si, bool write) {
    ACCESS_MASK need = 0;
    if (si & SACL_SECURITY_INFORMATION)
        need |= ACCESS_SYSTEM_SECURITY;
    if (si & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION))
        need |= write ? WRITE_OWNER : READ_CONTROL;
    if (si & DACL_SECURITY_INFORMATION)
        need |= write ? WRITE_DAC : READ_CONTROL;
    return need;
}

// Whether a handle with `granted` may read or write the parts `si` names;
// if not, ERROR_ACCESS_DENIED.
bool MayAccessParts(ACCESS_MASK granted, SECURITY_INFORMATION si, bool write) {
    ACCESS_MASK need = RightsFor(si, write);
    if ((granted & need) != need) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

// The parts of an object's descriptor (none when it has no descriptor); a
// damaged one gives ERROR_INVALID_SECURITY_DESCR.
bool ReadObjectParts(UserObject& object, SdParts& parts) {
    if (!object.sd.empty() && !ReadParts(object.sd.data(), parts)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return false;
    }
    return true;
}

// Copies the parts `si` names from `from` into `to`.
void TakeParts(SdParts& to, const SdParts& from, SECURITY_INFORMATION si) {
    if (si & OWNER_SECURITY_INFORMATION)
        to.owner = from.owner;
    if (si & GROUP_SECURITY_INFORMATION)
        to.group = from.group;
    if (si & DACL_SECURITY_INFORMATION) {
        to.daclPresent = from.daclPresent;
        to.dacl = from.dacl;
    }
    if (si & SACL_SECURITY_INFORMATION) {
        to.saclPresent = from.saclPresent;
        to.sacl = from.sacl;
    }
}

} // namespace

extern "C" HWINSTA WINAPI GetProcessWindowStation(void) {
    CurrentQueue();
    ReadyDirectory ready;
    Directory& dir = ready.dir;
    return dir.processStation;
}

extern "C" HWINSTA WINAPI OpenWindowStationA(LPCSTR lpszWinSta, BOOL, ACCESS_MASK dwDesiredAccess) {
    CurrentQueue();
    if (!lpszWinSta) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ReadyDirectory ready;
    Directory& dir = ready.dir;
    auto station = FindStation(dir, lpszWinSta);
    if (!station) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return static_cast<HWINSTA>(InsertHandle(
        std::make_shared<WinStaHandle>(station, Granted(dwDesiredAccess, kWinStaAll))));
}

extern "C" BOOL WINAPI SetProcessWindowStation(HWINSTA hWinSta) {
    CurrentQueue();
    ReadyDirectory ready;
    Directory& dir = ready.dir;
    if (!LookupHandle(hWinSta, ObjectKind::WindowStation))
        return FALSE;
    dir.processStation = hWinSta;
    return TRUE;
}

extern "C" BOOL WINAPI CloseWindowStation(HWINSTA hWinSta) {
    CurrentQueue();
    ReadyDirectory ready;
    Directory& dir = ready.dir;
    if (!LookupHandle(hWinSta, ObjectKind::WindowStation))
        return FALSE;
    if (hWinSta == dir.processStation) {
        SetLastError(ERROR_BUSY); // the process's own window station stays open
        return FALSE;
    }
    return RemoveHandle(hWinSta, ObjectKind::WindowStation) ? TRUE : FALSE;
}

extern "C" HDESK WINAPI GetThreadDesktop(DWORD dwThreadId) {
    CurrentQueue();
    ReadyDirectory ready;
    Directory& dir = ready.dir;
    std::shared_ptr<ThreadState> thread = FindThread(dwThreadId);
    if (!thread) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard threadLock(thread->mutex);
    return thread->desktop ? thread->desktop : dir.initialDesktop;
}

extern "C" HDESK WINAPI OpenDesktopA(LPCSTR lpszDesktop, DWORD, BOOL, ACCESS_MASK dwDesiredAccess) {
    CurrentQueue();
    if (!lpszDesktop) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ReadyDirectory ready;
    Directory& dir = ready.dir;
    // Desktops are looked up on the process's current window station.
    auto ws = LookupHandleAs<WinStaHandle>(dir.processStation, ObjectKind::WindowStation);
    if (ws) {
        for (auto& d : ws->station->desktops)
            if (strcasecmp(d->name.c_str(), lpszDesktop) == 0)
                return static_cast<HDESK>(InsertHandle(
                    std::make_shared<DesktopHandle>(d, Granted(dwDesiredAccess, kDesktopAll))));
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

extern "C" BOOL WINAPI SetThreadDesktop(HDESK hDesktop) {
    CurrentQueue();
    ReadyDirectory ready;
    if (!LookupHandle(hDesktop, ObjectKind::Desktop))
        return FALSE;
    ThreadState& self = CurrentThread();
    std::lock_guard threadLock(self.mutex);
    self.desktop = hDesktop;
    return TRUE;
}

extern "C" BOOL WINAPI CloseDesktop(HDESK hDesktop) {
    CurrentQueue();
    ReadyDirectory ready;
    Directory& dir = ready.dir;
    if (!LookupHandle(hDesktop, ObjectKind::Desktop))
        return FALSE;
    // A handle in use as some thread's desktop, or the initial desktop, stays open.
    bool inUse = hDesktop == dir.initialDesktop;
    ForEachThread([&](ThreadState& t) {
        std::lock_guard threadLock(t.mutex);
        inUse = inUse || t.desktop == hDesktop;
    });
    if (inUse) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    return RemoveHandle(hDesktop, ObjectKind::Desktop) ? TRUE : FALSE;
}

extern "C" BOOL WINAPI GetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo,
                                                 DWORD nLength, LPDWORD lpnLengthNeeded) {
    CurrentQueue();
    ReadyDirectory ready;
    std::string text;
    if (auto ws = FindHandleAs<WinStaHandle>(hObj, ObjectKind::WindowStation))
        text = nIndex == UOI_NAME ? ws->station->name : "WindowStation";
    else if (auto dh = FindHandleAs<DesktopHandle>(hObj, ObjectKind::Desktop))
        text = nIndex == UOI_NAME ? dh->desktop->name : "Desktop";
    else {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (nIndex != UOI_NAME && nIndex != UOI_TYPE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (lpnLengthNeeded)
        *lpnLengthNeeded = needed;
    if (!pvInfo || nLength < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(pvInfo, text.c_str(), needed);
    return TRUE;
}

extern "C" BOOL WINAPI GetUserObjectSecurity(HANDLE hObj, DWORD* pSIRequested, PVOID pSID,
                                             DWORD nLength, LPDWORD lpnLengthNeeded) {
    CurrentQueue();
    ReadyDirectory ready;
    UserObject* object = nullptr;
    ACCESS_MASK access = 0;
    if (!LookupUserObject(hObj, &object, &access))
        return FALSE;
    if (!pSIRequested || !lpnLengthNeeded) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    SECURITY_INFORMATION si = *pSIRequested;
    if (!MayAccessParts(access, si, false))
        return FALSE;
    // Only the requested parts go into the answer.
    SdParts all, requested;
    if (!ReadObjectParts(*object, all))
        return FALSE;
    TakeParts(requested, all, si);
    std::vector<BYTE> answer;
    if (!ToSelfRelative(requested, answer)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    // Never less than an absolute descriptor: callers (written for 32-bit
    // Windows, where both are 20 bytes) initialise a buffer of this size as
    // an absolute descriptor, which is larger on 64-bit.
    size_t length = std::max(answer.size(), sizeof(SECURITY_DESCRIPTOR));
    *lpnLengthNeeded = static_cast<DWORD>(length);
    if (!pSID || nLength < length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memset(pSID, 0, length);
    std::memcpy(pSID, answer.data(), answer.size());
    return TRUE;
}

extern "C" BOOL WINAPI SetUserObjectSecurity(HANDLE hObj, DWORD* pSIRequested, PVOID pSID) {
    CurrentQueue();
    ReadyDirectory ready;
    UserObject* object = nullptr;
    ACCESS_MASK access = 0;
    if (!LookupUserObject(hObj, &object, &access))
        return FALSE;
    if (!pSIRequested || !pSID) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SECURITY_INFORMATION si = *pSIRequested;
    if (!MayAccessParts(access, si, true))
        return FALSE;
    SdParts given;
    if (!IsValidSecurityDescriptor(pSID) || !ReadParts(pSID, given)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    if ((given.daclPresent && given.dacl && !IsValidAcl(given.dacl)) ||
        (given.saclPresent && given.sacl && !IsValidAcl(given.sacl))) {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
    }
    SdParts current;
    if (!ReadObjectParts(*object, current))
        return FALSE;
    // The requested parts are replaced; the others stay as they were.
    SdParts merged = current;
    TakeParts(merged, given, si);
    std::vector<BYTE> bytes;
    if (!ToSelfRelative(merged, bytes)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    object->sd.swap(bytes);
    return TRUE;
}
