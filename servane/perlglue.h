#pragma once
// Helpers shared by the extension functions. Include after <windows.h> and
// the C++ headers: the Perl headers define many macros.
#include <cstring>

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

// Sets the function's target scalar (or a new mortal) to a 32-bit value and
// returns it as the single result.
#define RETURN_DWORD(value)                                                                        \
    do {                                                                                           \
        dXSTARG;                                                                                   \
        XSprePUSH;                                                                                 \
        PUSHi(DwordToIV(value));                                                                   \
        XSRETURN(1);                                                                               \
    } while (0)

#define RETURN_TEXT(text)                                                                          \
    do {                                                                                           \
        dXSTARG;                                                                                   \
        XSprePUSH;                                                                                 \
        sv_setpv(TARG, text);                                                                      \
        SvSETMAGIC(TARG);                                                                          \
        PUSHs(TARG);                                                                               \
        XSRETURN(1);                                                                               \
    } while (0)

// A string argument or hash value: present (the key exists) and its bytes.
struct RawText {
    bool present;
    const char* p;
    STRLEN len;
};

// A string in a mortal copy that lives until the caller's temporaries go,
// so that magic or a tie's code cannot change or free it under us.
inline RawText MortalText(pTHX_ SV* sv) {
    STRLEN len = 0;
    const char* p = SvPV(sv, len);
    SV* copy = sv_2mortal(newSVpvn(p, len));
    return RawText{true, SvPVX(copy), len};
}

// The value of an existing key, or null when the fetch yields no scalar.
inline SV* FetchValue(pTHX_ HV* hv, const char* key) {
    SV** svp = hv_fetch(hv, key, static_cast<I32>(std::strlen(key)), 0);
    return svp ? *svp : nullptr;
}

inline bool HasKey(pTHX_ HV* hv, const char* key) {
    return hv_exists(hv, key, static_cast<I32>(std::strlen(key)));
}

inline RawText ReadText(pTHX_ HV* hv, const char* key) {
    if (!HasKey(aTHX_ hv, key))
        return RawText{false, "", 0};
    SV* value = FetchValue(aTHX_ hv, key);
    if (!value)
        return RawText{true, "", 0};
    return MortalText(aTHX_ value);
}

// The hash an argument refers to, or null. Get-magic runs first, so a
// reference held in a tied element or scalar is seen.
inline HV* HashArgument(pTHX_ SV* arg) {
    SvGETMAGIC(arg);
    if (SvROK(arg) && SvTYPE(SvRV(arg)) == SVt_PVHV)
        return reinterpret_cast<HV*>(SvRV(arg));
    return nullptr;
}
