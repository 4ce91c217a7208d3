#pragma once
// Window station and desktop access: moves the process to another window
// station and its thread to another desktop, opening both to the process
// user first, and back to the pair that was current at load.
#include <windows.h>

class CWinStation {
public:
    // Saves the current window station and desktop (SaveCurrent).
    CWinStation();
    ~CWinStation();

    // Remembers the process's window station and the calling thread's
    // desktop; Restore goes back to them.
    void SaveCurrent();

    // The SID that AddAccess grants access to; not owned.
    void SetSid(PSID pSid);

    // Rebuilds the DACL of a window station (kind 0) or desktop (kind 1)
    // with access-allowed ACEs for pSid appended, and applies it. Nonzero on
    // success.
    int AddAccess(HANDLE hObject, PSID pSid, int nKind);

    // Moves the process to the named window station and the calling thread
    // to the named desktop. Nonzero on success; see winstation.cpp for the
    // one case where 1 is returned without the desktop switch.
    int Set(LPCSTR pszWinSta, LPCSTR pszDesktop);

    // Back to the saved window station and desktop: 1 when both switches
    // succeed, else 0.
    int Restore();

private:
    HWINSTA m_hSavedWinSta;
    HDESK m_hSavedDesktop;
    PSID m_pSid;
};
