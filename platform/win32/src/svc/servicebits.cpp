// SetServiceBits: the service side's announcement bits. Until the service
// side lands, every handle is unknown.
#include <windows.h>

extern "C" BOOL WINAPI SetServiceBits(SERVICE_STATUS_HANDLE, DWORD, BOOL, BOOL) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
