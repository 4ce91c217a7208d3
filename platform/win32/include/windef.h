#pragma once
/* Basic Windows types and calling-convention macros, with the widths the
   Windows ABI gives them (LONG and DWORD are 32 bits; pointers and the
   *_PTR types are pointer-sized). */
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define W32P_EXTERN_C extern "C"
#else
#define W32P_EXTERN_C
#endif

#define WINAPI
#define APIENTRY
#define CALLBACK
#define WINAPIV
#define WINBASEAPI W32P_EXTERN_C
#define WINUSERAPI W32P_EXTERN_C
#define WINADVAPI W32P_EXTERN_C
#define CONST const
#define VOID void

typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef unsigned char BYTE;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef unsigned char UCHAR;
typedef unsigned char BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef char CHAR;
typedef short SHORT;
typedef unsigned short WORD;
typedef unsigned short USHORT;
typedef int INT;
typedef int BOOL;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef unsigned int UINT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORD64;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef size_t SIZE_T;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef CHAR* LPSTR;
typedef CHAR* PSTR;
typedef const CHAR* LPCSTR;
typedef const CHAR* PCSTR;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK* PACCESS_MASK;
typedef ACCESS_MASK REGSAM;
typedef LONG LSTATUS;

typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HWND__* HWND;
typedef struct HWINSTA__* HWINSTA;
typedef struct HDESK__* HDESK;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef LONG_PTR (*FARPROC)(void);

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef MAXDWORD
#define MAXDWORD 0xffffffffu
#endif
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKELONG(a, b)                                                                             \
    ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff)))     \
                                                      << 16))
