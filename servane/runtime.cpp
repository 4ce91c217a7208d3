#include "runtime.h"

DWORD gdwLastError = 0;
