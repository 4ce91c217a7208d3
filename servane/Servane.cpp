// Perl glue of Win32::Servane: the bootstrap and the script-callable
// functions. Logic lives in the other sources of this folder; the functions
// here count arguments, convert values and set results.
//
// croak() unwinds with longjmp: no object with a destructor may be alive in a
// frame that croaks.
#include <windows.h>

#include "constants.h"
#include "runtime.h"

#include "perlglue.h"

namespace {

const char kFile[] = "Servane.cpp";
const char kXsVersion[] = "20101014";
const char kLibraryVersion[] = "20080324";

// Sets the function's target scalar (or a new mortal) to a 32-bit value and
// returns it as the single result.
#define RETURN_DWORD(value)                                                                       \
    do {                                                                                          \
        dXSTARG;                                                                                  \
        XSprePUSH;                                                                                \
        PUSHi(DwordToIV(value));                                                                  \
        XSRETURN(1);                                                                              \
    } while (0)

#define RETURN_TEXT(text)                                                                         \
    do {                                                                                          \
        dXSTARG;                                                                                  \
        XSprePUSH;                                                                                \
        sv_setpv(TARG, text);                                                                     \
        SvSETMAGIC(TARG);                                                                         \
        PUSHs(TARG);                                                                              \
        XSRETURN(1);                                                                              \
    } while (0)

// Win32::Servane::Constant(pszName, pSvBuffer): kind of the named constant;
// its value goes into the caller's scalar.
XS_INTERNAL(XS_Constant) {
    dXSARGS;
    if (items != 2)
        croak_xs_usage(cv, "pszName, pSvBuffer");
    const char* name = SvPV_nolen(ST(0));
    SV* buffer = ST(1);
    servane::ConstantResult found = servane::LookupConstant(name);
    if (found.kind == servane::kConstantNumber)
        sv_setiv(buffer, DwordToIV(found.number));
    else if (found.kind == servane::kConstantText)
        sv_setpv(buffer, found.text);
    SvSETMAGIC(buffer);
    RETURN_DWORD(found.kind);
}

XS_INTERNAL(XS_GetVersion) {
    dXSARGS;
    if (items != 0)
        croak_xs_usage(cv, "");
    RETURN_TEXT(kLibraryVersion);
}

XS_INTERNAL(XS_GetLastError) {
    dXSARGS;
    if (items != 0)
        croak_xs_usage(cv, "");
    RETURN_DWORD(gdwLastError);
}

// The library is a release build: it keeps no debug log, so the path is
// accepted and ignored.
XS_INTERNAL(XS_DebugOutputPath) {
    dXSARGS;
    if (items > 1)
        croak("%s", "Usage: Win32::Servane::DebugOutputPath( [$Path] )\n");
    RETURN_TEXT("");
}

XS_INTERNAL(XS_IsDebugBuild) {
    dXSARGS;
    if (items != 0)
        croak_xs_usage(cv, "");
    RETURN_DWORD(0);
}

// Perl's extension version check: the bootstrap parameter, else
// $Package::XS_VERSION when defined, else $Package::VERSION, compared as
// version objects with the library's version. Croaks on a mismatch.
void CheckVersion(pTHX_ const char* module, I32 items, SV** args) {
    SV* sv;
    const char* vn = nullptr;
    if (items >= 2) {
        sv = args[1];
    } else {
        sv = get_sv(form("%s::%s", module, vn = "XS_VERSION"), 0);
        if (!sv || !SvOK(sv))
            sv = get_sv(form("%s::%s", module, vn = "VERSION"), 0);
    }
    if (!sv)
        return;
    SV* xssv = upg_version(newSVpvn(kXsVersion, sizeof kXsVersion - 1), 0);
    SV* pmsv = sv_isobject(sv) && sv_derived_from(sv, "version") ? SvREFCNT_inc_simple_NN(sv)
                                                                : new_version(sv);
    SV* message = nullptr;
    if (vcmp(pmsv, xssv)) {
        message = sv_2mortal(newSVpvf("%s object version %" SVf " does not match %s%s%s%s %" SVf,
                                      module, SVfARG(sv_2mortal(vstringify(xssv))),
                                      vn ? "$" : "", vn ? module : "", vn ? "::" : "",
                                      vn ? vn : "bootstrap parameter",
                                      SVfARG(sv_2mortal(vstringify(pmsv)))));
    }
    SvREFCNT_dec(xssv);
    SvREFCNT_dec(pmsv);
    if (message)
        croak("%s", SvPVX(message));
}

} // namespace

// The bootstrap, exported under both names the dynamic loader may look for.
extern "C" {
__attribute__((visibility("default"))) void boot_Win32__Servane(pTHX_ CV* cv);
__attribute__((visibility("default"), alias("boot_Win32__Servane"))) void
_boot_Win32__Servane(pTHX_ CV* cv);
}

XS_EXTERNAL(boot_Win32__Servane) {
    dXSARGS;
    const char* module = SvPV_nolen(ST(0));
    CheckVersion(aTHX_ module, items, &ST(0));

    // Registered in this order; each later function takes its place in it.
    newXS("Win32::Servane::Constant", XS_Constant, kFile);
    newXS("Win32::Servane::GetVersion", XS_GetVersion, kFile);
    newXS("Win32::Servane::GetLastError", XS_GetLastError, kFile);
    newXS("Win32::Servane::DebugOutputPath", XS_DebugOutputPath, kFile);
    newXS("Win32::Servane::IsDebugBuild", XS_IsDebugBuild, kFile);

    if (PL_unitcheckav)
        call_list(PL_scopestack_ix, PL_unitcheckav);
    ST(0) = &PL_sv_yes;
    XSRETURN(1);
}
