// kernel32: version, process, handles, time, computer name, local and heap
// memory.
#include "handles.h"
#include "security.h"
#include "thread.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace w32p;

namespace {
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
// Not a multiple of 4, so never a handle-table value.
const HANDLE kProcessHeap = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x00150001));
} // namespace

extern "C" BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    if (!info) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD size = info->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // Windows 7 Service Pack 1.
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 1;
    info->dwBuildNumber = 7601;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
    std::strcpy(info->szCSDVersion, "Service Pack 1");
    if (size == sizeof(OSVERSIONINFOEXA)) {
        auto* ex = reinterpret_cast<LPOSVERSIONINFOEXA>(info);
        ex->wServicePackMajor = 1;
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0x0100; // VER_SUITE_SINGLEUSERTS
        ex->wProductType = VER_NT_WORKSTATION;
        ex->wReserved = 0;
    }
    return TRUE;
}

extern "C" HANDLE WINAPI GetCurrentProcess(void) {
    return kCurrentProcess;
}

extern "C" DWORD WINAPI GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (hObject == kCurrentProcess || hObject == kCurrentThread)
        return TRUE; // pseudo-handles need no closing
    // Kernel objects only: registry keys, window stations, desktops, modules
    // and service handles have close functions of their own.
    for (ObjectKind kind :
         {ObjectKind::Thread, ObjectKind::Token, ObjectKind::Process, ObjectKind::Other}) {
        if (FindHandle(hObject, kind))
            return RemoveHandle(hObject, kind) ? TRUE : FALSE;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

extern "C" BOOL WINAPI ReadProcessMemory(HANDLE hProcess, LPCVOID lpBaseAddress, LPVOID lpBuffer,
                                         SIZE_T nSize, SIZE_T* lpNumberOfBytesRead) {
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    if (hProcess != kCurrentProcess) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (nSize == 0)
        return TRUE;
    auto base = reinterpret_cast<uintptr_t>(lpBaseAddress);
    if (!lpBuffer || base == 0 || base + nSize < base) {
        SetLastError(ERROR_PARTIAL_COPY);
        return FALSE;
    }
    bool ok = SafeCopy(lpBuffer, lpBaseAddress, nSize); // never faults
    if (!ok) {
        SetLastError(ERROR_PARTIAL_COPY);
        return FALSE;
    }
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = nSize;
    return TRUE;
}

extern "C" DWORD WINAPI GetTickCount(void) {
    return static_cast<DWORD>(NowNs() / 1000000);
}

extern "C" BOOL WINAPI GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize) {
    if (!nSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char host[256] = {};
    if (gethostname(host, sizeof(host) - 1) != 0)
        std::strcpy(host, "localhost");
    if (char* dot = std::strchr(host, '.'))
        *dot = '\0';
    // NetBIOS names: upper case, at most 15 characters.
    std::string name(host);
    if (name.size() > MAX_COMPUTERNAME_LENGTH)
        name.resize(MAX_COMPUTERNAME_LENGTH);
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!lpBuffer || *nSize < name.size() + 1) {
        *nSize = static_cast<DWORD>(name.size() + 1);
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    std::memcpy(lpBuffer, name.c_str(), name.size() + 1);
    *nSize = static_cast<DWORD>(name.size());
    return TRUE;
}

extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if (uFlags & ~static_cast<UINT>(LMEM_ZEROINIT | LMEM_MOVEABLE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Moveable memory is handed out fixed: its "handle" is the pointer.
    void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1)
                                       : std::malloc(uBytes ? uBytes : 1);
    if (!p)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}

extern "C" HANDLE WINAPI GetProcessHeap(void) {
    return kProcessHeap;
}

extern "C" LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    if (hHeap != kProcessHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* p = (dwFlags & HEAP_ZERO_MEMORY) ? std::calloc(1, dwBytes ? dwBytes : 1)
                                           : std::malloc(dwBytes ? dwBytes : 1);
    if (!p)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

extern "C" BOOL WINAPI HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem) {
    if (hHeap != kProcessHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::free(lpMem);
    return TRUE;
}
