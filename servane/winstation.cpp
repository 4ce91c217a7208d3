#include "winstation.h"

namespace {

// Access asked when opening the target window station and desktop: maximum
// allowed plus the rights to rewrite their DACL.
constexpr ACCESS_MASK kWinStaOpenAccess = 0x02060044;
constexpr ACCESS_MASK kDesktopOpenAccess = 0x02060183;

// The two window-station ACEs: one inherited by the station's objects, one
// for the station itself; and the desktop's ACE.
constexpr BYTE kWinStaInheritFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE;
constexpr DWORD kWinStaInheritMask = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
constexpr BYTE kWinStaOwnFlags = NO_PROPAGATE_INHERIT_ACE;
constexpr DWORD kWinStaOwnMask = STANDARD_RIGHTS_REQUIRED | WINSTA_ALL_ACCESS;
constexpr DWORD kDesktopMask = STANDARD_RIGHTS_REQUIRED | 0x01FF;

constexpr int kKindDesktop = 1;

void* Allocate(DWORD size) {
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
}
void Release(void* block) {
    if (block)
        HeapFree(GetProcessHeap(), 0, block);
}

} // namespace

CWinStation::CWinStation() : m_hSavedWinSta(nullptr), m_hSavedDesktop(nullptr), m_pSid(nullptr) {
    SaveCurrent();
}

CWinStation::~CWinStation() {}

void CWinStation::SaveCurrent() {
    GetDesktopWindow();
    m_hSavedWinSta = GetProcessWindowStation();
    m_hSavedDesktop = GetThreadDesktop(GetCurrentThreadId());
}

void CWinStation::SetSid(PSID pSid) {
    m_pSid = pSid;
}

int CWinStation::AddAccess(HANDLE hObject, PSID pSid, int nKind) {
    // Without a valid SID there is nothing to grant.
    if (!pSid || !IsValidSid(pSid))
        return 0;

    DWORD info = DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    if (GetUserObjectSecurity(hObject, &info, nullptr, 0, &size) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return 0;

    // Both buffers start as descriptors of the absolute form, which can be
    // larger than a small self-relative one (40 bytes on 64-bit builds).
    DWORD blockSize =
        size < sizeof(SECURITY_DESCRIPTOR) ? DWORD(sizeof(SECURITY_DESCRIPTOR)) : size;
    void* current = Allocate(blockSize);
    void* fresh = Allocate(blockSize);
    PACL newAcl = nullptr;
    int result = 0;
    if (!current || !fresh)
        goto done;
    InitializeSecurityDescriptor(current, SECURITY_DESCRIPTOR_REVISION);
    InitializeSecurityDescriptor(fresh, SECURITY_DESCRIPTOR_REVISION);

    if (!GetUserObjectSecurity(hObject, &info, current, blockSize, &size) ||
        !IsValidSecurityDescriptor(current))
        goto done;

    {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        if (!GetSecurityDescriptorDacl(current, &present, &dacl, &defaulted) || !present)
            goto done;

        ACL_SIZE_INFORMATION sizes = {0, sizeof(ACL), 0};
        DWORD sidLength = GetLengthSid(pSid);
        if (dacl && GetAclInformation(dacl, &sizes, sizeof sizes, AclSizeInformation)) {
            DWORD aclSize = sizes.AclBytesInUse + 2 * sidLength + 16;
            newAcl = static_cast<PACL>(Allocate(aclSize));
            if (newAcl)
                InitializeAcl(newAcl, aclSize, ACL_REVISION);
        }
        // No new ACL: applying a descriptor without one would leave the
        // object open to everyone, so nothing is applied.
        if (!newAcl)
            goto done;

        for (DWORD i = 0; i < sizes.AceCount; ++i) {
            void* ace = nullptr;
            if (GetAce(dacl, i, &ace))
                AddAce(newAcl, ACL_REVISION, MAXDWORD, ace, static_cast<ACE_HEADER*>(ace)->AceSize);
        }

        DWORD aceSize = sidLength + 8;
        if (auto* ace = static_cast<BYTE*>(Allocate(aceSize))) {
            if (nKind == kKindDesktop) {
                AddAccessAllowedAce(newAcl, ACL_REVISION, kDesktopMask, pSid);
            } else {
                auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
                allowed->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
                allowed->Header.AceFlags = kWinStaInheritFlags;
                allowed->Header.AceSize = static_cast<WORD>(aceSize);
                allowed->Mask = kWinStaInheritMask;
                CopySid(sidLength, ace + 8, pSid);
                AddAce(newAcl, ACL_REVISION, MAXDWORD, ace, aceSize);
                allowed->Header.AceFlags = kWinStaOwnFlags;
                allowed->Mask = kWinStaOwnMask;
                AddAce(newAcl, ACL_REVISION, MAXDWORD, ace, aceSize);
            }
            Release(ace);
        }

        if (SetSecurityDescriptorDacl(fresh, TRUE, newAcl, FALSE) == TRUE)
            result = SetUserObjectSecurity(hObject, &info, fresh);
    }

done:
    Release(newAcl);
    Release(current);
    Release(fresh);
    return result;
}

int CWinStation::Set(LPCSTR pszWinSta, LPCSTR pszDesktop) {
    HWINSTA previousWinSta = GetProcessWindowStation();
    HWINSTA winSta = OpenWindowStationA(pszWinSta, TRUE, kWinStaOpenAccess);
    if (!winSta)
        return 0;
    // Without a SID (it could not be read at load) AddAccess grants nothing
    // and fails, which Set handles like any other failure to extend a DACL.
    AddAccess(winSta, m_pSid, 0);
    if (!SetProcessWindowStation(winSta)) {
        CloseWindowStation(winSta);
        return 0;
    }
    HDESK previousDesktop = GetThreadDesktop(GetCurrentThreadId());
    HDESK desktop = OpenDesktopA(pszDesktop, 0, TRUE, kDesktopOpenAccess);
    if (!desktop) {
        CloseWindowStation(winSta);
        return 0;
    }
    int result = 1;
    if (AddAccess(desktop, m_pSid, kKindDesktop)) {
        result = SetThreadDesktop(desktop);
        if (result != 1) {
            SetProcessWindowStation(previousWinSta);
            SetThreadDesktop(previousDesktop);
        }
    }
    CloseDesktop(desktop);
    CloseWindowStation(winSta);
    return result;
}

int CWinStation::Restore() {
    if (!SetProcessWindowStation(m_hSavedWinSta))
        return 0;
    return SetThreadDesktop(m_hSavedDesktop) ? 1 : 0;
}
