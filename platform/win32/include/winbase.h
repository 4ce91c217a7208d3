#pragma once
/* kernel32: processes, threads, errors, handles, files, console. */
#include <windef.h>
#include <winerror.h>

WINBASEAPI DWORD WINAPI GetLastError(void);
WINBASEAPI void WINAPI SetLastError(DWORD dwErrCode);
