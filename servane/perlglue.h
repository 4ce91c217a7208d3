#pragma once
// Helpers shared by the extension functions. Include after <windows.h> and
// the C++ headers: the Perl headers define many macros.
#define PERL_NO_GET_CONTEXT
#include <EXTERN.h>
#include <perl.h>
#include <XSUB.h>

// A 32-bit Windows value as scripts see it: a signed 32-bit integer, so
// 0xFFFFFFFF reaches Perl as -1 on every build of Perl.
inline IV DwordToIV(DWORD value) {
    return static_cast<IV>(static_cast<I32>(value));
}

// A Perl integer as a 32-bit Windows value (the low 32 bits, as a 32-bit Perl
// would hold it).
inline DWORD IVToDword(IV value) {
    return static_cast<DWORD>(static_cast<UV>(value));
}
