#pragma once
// The module state of the service library: module-wide variables that live
// from load to process end.
#include <windows.h>

// Windows error code of the last failed administration call; returned to
// scripts by Win32::Servane::GetLastError.
extern DWORD gdwLastError;
