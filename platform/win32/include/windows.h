#pragma once
/* The Windows API subset this layer provides, under the header names the
   Windows SDK uses. */
#include <windef.h>
#include <winerror.h>
#include <winnt.h>
#include <winbase.h>
#include <winuser.h>
#include <winreg.h>
#include <winsvc.h>
