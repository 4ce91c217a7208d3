#pragma once
/* user32: thread message queues, thread timers, the desktop window, window
   stations, desktops and their security. There are no windows other than
   the desktop window: messages are thread messages (hwnd NULL). */
#include <windef.h>
#include <winerror.h>

#ifndef W32P_POINT_DEFINED
#define W32P_POINT_DEFINED
typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT, *PPOINT, *LPPOINT;
#endif

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *PMSG, *LPMSG;

/* Message numbers. */
#define WM_NULL 0x0000
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUERYENDSESSION 0x0011
#define WM_QUIT 0x0012
#define WM_ENDSESSION 0x0016
#define WM_TIMER 0x0113
#define WM_USER 0x0400
#define WM_APP 0x8000

/* PeekMessageA options. */
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define PM_NOYIELD 0x0002

WINUSERAPI BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
WINUSERAPI void WINAPI PostQuitMessage(int nExitCode);
WINUSERAPI BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
WINUSERAPI BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                                    UINT wRemoveMsg);
WINUSERAPI BOOL WINAPI TranslateMessage(const MSG* lpMsg);
WINUSERAPI LRESULT WINAPI DispatchMessageA(const MSG* lpMsg);

/* Timers. */
typedef void(CALLBACK* TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);
#define USER_TIMER_MINIMUM 0x0000000A
#define USER_TIMER_MAXIMUM 0x7FFFFFFF

WINUSERAPI UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse,
                                    TIMERPROC lpTimerFunc);
WINUSERAPI BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent);

/* Windows. */
#define GW_HWNDFIRST 0
#define GW_HWNDLAST 1
#define GW_HWNDNEXT 2
#define GW_HWNDPREV 3
#define GW_OWNER 4
#define GW_CHILD 5
#define GW_ENABLEDPOPUP 6

WINUSERAPI HWND WINAPI GetDesktopWindow(void);
WINUSERAPI HWND WINAPI GetWindow(HWND hWnd, UINT uCmd);

/* Window station access rights. */
#define WINSTA_ENUMDESKTOPS 0x0001
#define WINSTA_READATTRIBUTES 0x0002
#define WINSTA_ACCESSCLIPBOARD 0x0004
#define WINSTA_CREATEDESKTOP 0x0008
#define WINSTA_WRITEATTRIBUTES 0x0010
#define WINSTA_ACCESSGLOBALATOMS 0x0020
#define WINSTA_EXITWINDOWS 0x0040
#define WINSTA_ENUMERATE 0x0100
#define WINSTA_READSCREEN 0x0200
#define WINSTA_ALL_ACCESS 0x037F

/* Desktop access rights. */
#define DESKTOP_READOBJECTS 0x0001
#define DESKTOP_CREATEWINDOW 0x0002
#define DESKTOP_CREATEMENU 0x0004
#define DESKTOP_HOOKCONTROL 0x0008
#define DESKTOP_JOURNALRECORD 0x0010
#define DESKTOP_JOURNALPLAYBACK 0x0020
#define DESKTOP_ENUMERATE 0x0040
#define DESKTOP_WRITEOBJECTS 0x0080
#define DESKTOP_SWITCHDESKTOP 0x0100

#define DF_ALLOWOTHERACCOUNTHOOK 0x0001

/* GetUserObjectInformationA indexes. */
#define UOI_FLAGS 1
#define UOI_NAME 2
#define UOI_TYPE 3

/* Window stations and desktops. The security parameters have the types
   of PSECURITY_INFORMATION (DWORD*) and PSECURITY_DESCRIPTOR (PVOID). */
WINUSERAPI HWINSTA WINAPI GetProcessWindowStation(void);
WINUSERAPI HWINSTA WINAPI OpenWindowStationA(LPCSTR lpszWinSta, BOOL fInherit,
                                             ACCESS_MASK dwDesiredAccess);
WINUSERAPI BOOL WINAPI SetProcessWindowStation(HWINSTA hWinSta);
WINUSERAPI BOOL WINAPI CloseWindowStation(HWINSTA hWinSta);
WINUSERAPI HDESK WINAPI GetThreadDesktop(DWORD dwThreadId);
WINUSERAPI HDESK WINAPI OpenDesktopA(LPCSTR lpszDesktop, DWORD dwFlags, BOOL fInherit,
                                     ACCESS_MASK dwDesiredAccess);
WINUSERAPI BOOL WINAPI SetThreadDesktop(HDESK hDesktop);
WINUSERAPI BOOL WINAPI CloseDesktop(HDESK hDesktop);
WINUSERAPI BOOL WINAPI GetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo,
                                                 DWORD nLength, LPDWORD lpnLengthNeeded);
WINUSERAPI BOOL WINAPI GetUserObjectSecurity(HANDLE hObj, DWORD* pSIRequested, PVOID pSID,
                                             DWORD nLength, LPDWORD lpnLengthNeeded);
WINUSERAPI BOOL WINAPI SetUserObjectSecurity(HANDLE hObj, DWORD* pSIRequested, PVOID pSID);
