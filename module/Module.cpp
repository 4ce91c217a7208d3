// Zephra2::Module: Perl access to the server's list of linked modules, to
// quillet's configuration objects and to module registration.
//
// The functions only convert between Perl values and the server's records
// and report misuse; the server core and quillet do the work. Server records
// travel as references, blessed into a class, to a scalar holding the
// record's address. Exceptions are raised without a trailing line feed so
// that Perl appends the caller's position. croak unwinds with longjmp, so no
// object with a destructor is alive in a function that may croak.
#include <cstring>

#define PERL_NO_GET_CONTEXT
#include <EXTERN.h>
#include <perl.h>
#include <XSUB.h>

#include "zephra/core.h"
#include "zephra/quillet.h"

#define ZEPHRA2_MODULE_VERSION "2.000004"

namespace {

const char module_class[] = "Zephra2::Module";
const char command_class[] = "Zephra2::Command";
const char server_class[] = "Zephra2::ServerRec";
const char vector_class[] = "Zephra2::ConfVector";

// The record address held by an object argument of class cls (or a class
// derived from it); anything else, and an object holding address 0 (no
// record at all), stops the call with the type message.
void* record_arg(pTHX_ SV* arg, const char* func, const char* param, const char* cls) {
    if (SvROK(arg) && sv_derived_from(arg, cls)) {
        if (void* record = INT2PTR(void*, SvIV(SvRV(arg))))
            return record;
    }
    croak("%s: %s is not of type %s", func, param, cls);
}

zp_module* module_arg(pTHX_ SV* arg, const char* func, const char* param) {
    return static_cast<zp_module*>(record_arg(aTHX_ arg, func, param, module_class));
}

// The module record of a function whose one argument, named param in the
// usage and type messages, is a module object.
zp_module* sole_module_arg(pTHX_ CV* cv, I32 ax, I32 items, const char* func, const char* param) {
    if (items != 1)
        croak_xs_usage(cv, param);
    return module_arg(aTHX_ ST(0), func, param);
}

// The body of an accessor that returns a number of the module record.
void return_module_number(pTHX_ CV* cv, const char* func, const char* param,
                          int zp_module::*field) {
    dXSARGS;
    zp_module* mod = sole_module_arg(aTHX_ cv, ax, items, func, param);
    dXSTARG;
    XSprePUSH;
    PUSHi(static_cast<IV>(mod->*field));
    XSRETURN(1);
}

// A new mortal object of class cls for record, or undef for NULL.
SV* new_object(pTHX_ const char* cls, const void* record) {
    SV* sv = sv_newmortal();
    sv_setref_pv(sv, cls, const_cast<void*>(record));
    return sv;
}

// Lookup name of loaded(): the part of name before the first "." and ".c".
// Short names use a buffer on the stack, longer ones a mortal scalar.
zp_module* find_by_stem(pTHX_ const char* name, size_t stem) {
    char buf[256];
    if (stem + 3 <= sizeof buf) {
        std::memcpy(buf, name, stem);
        std::memcpy(buf + stem, ".c", 3);
        return zp_find_linked_module(buf);
    }
    SV* lookup = sv_2mortal(newSVpvn(name, stem));
    sv_catpvs(lookup, ".c");
    return zp_find_linked_module(SvPVX(lookup));
}

XS(XS_find_linked_module) {
    dXSARGS;
    if (items != 1)
        croak_xs_usage(cv, "name");
    const char* name = SvPV_nolen(ST(0));
    ST(0) = new_object(aTHX_ module_class, zp_find_linked_module(name));
    XSRETURN(1);
}

XS(XS_remove_loaded_module) {
    dXSARGS;
    zp_module* mod =
        sole_module_arg(aTHX_ cv, ax, items, "Zephra2::Module::remove_loaded_module", "mod");
    zp_remove_loaded_module(mod);
    XSRETURN_EMPTY;
}

XS(XS_add) {
    dXSARGS;
    if (items != 2)
        croak_xs_usage(cv, "package, cmds");
    const char* package = SvPV_nolen(ST(0));
    SV* cmds = ST(1);
    SvGETMAGIC(cmds);
    if (!SvROK(cmds) || SvTYPE(SvRV(cmds)) != SVt_PVAV)
        croak("Usage: Zephra2::Module::add(__PACKAGE__, [])");
    zp_server_rec* s = quillet_global_get_server_rec();
    const char* err = quillet_module_add(s->process->pconf, s, package, cmds);
    if (err)
        croak("Zephra2::Module::add(%s) failed : %s", package, err);
    XSRETURN_EMPTY;
}

XS(XS_zp_api_major_version) {
    return_module_number(aTHX_ cv, "Zephra2::Module::zp_api_major_version", "mod",
                         &zp_module::version);
}

XS(XS_zp_api_minor_version) {
    return_module_number(aTHX_ cv, "Zephra2::Module::zp_api_minor_version", "mod",
                         &zp_module::minor_version);
}

XS(XS_get_config) {
    dXSARGS;
    if (items < 2 || items > 3)
        croak_xs_usage(cv, "pmodule, s, v=NULL");
    SV* pmodule = ST(0);
    auto* s = static_cast<zp_server_rec*>(
        record_arg(aTHX_ ST(1), "Zephra2::Module::get_config", "s", server_class));
    zp_conf_vector* v = nullptr;
    if (items > 2)
        v = static_cast<zp_conf_vector*>(
            record_arg(aTHX_ ST(2), "Zephra2::Module::get_config", "v", vector_class));
    SV* obj = quillet_module_config_get_obj(aTHX, pmodule, s, v);
    if (obj) {
        // The caller gets quillet's own scalar; the extra reference ends
        // with the caller's statement.
        SvREFCNT_inc_simple_void_NN(obj);
        ST(0) = sv_2mortal(obj);
    } else {
        ST(0) = &PL_sv_undef;
    }
    XSRETURN(1);
}

XS(XS_loaded) {
    dXSARGS;
    if (items != 1)
        croak_xs_usage(cv, "name");
    const char* name = SvPV_nolen(ST(0));
    IV result = 0;
    const char* dot = std::strchr(name, '.');
    if (!dot) {
        result = quillet_perl_module_loaded(aTHX, name);
    } else if (zp_module* mod = find_by_stem(aTHX_ name, static_cast<size_t>(dot - name))) {
        // ".c" (only the "c" is compared) asks whether the server has the
        // module; ".so" whether it was loaded from a shared object.
        if (dot[1] == 'c')
            result = 1;
        else if (std::strcmp(dot + 1, "so") == 0 && mod->dynamic_load_handle)
            result = 1;
    }
    dXSTARG;
    XSprePUSH;
    PUSHi(result);
    XSRETURN(1);
}

XS(XS_top_module) {
    dXSARGS;
    if (items != 0)
        croak_xs_usage(cv, "");
    ST(0) = new_object(aTHX_ module_class, zp_top_module);
    XSRETURN(1);
}

XS(XS_module_index) {
    return_module_number(aTHX_ cv, "Zephra2::Module::module_index", "obj",
                         &zp_module::module_index);
}

XS(XS_name) {
    dXSARGS;
    zp_module* obj = sole_module_arg(aTHX_ cv, ax, items, "Zephra2::Module::name", "obj");
    dXSTARG;
    sv_setpv(TARG, obj->name); // a NULL name makes it undef
    XSprePUSH;
    PUSHTARG;
    XSRETURN(1);
}

XS(XS_next) {
    dXSARGS;
    zp_module* obj = sole_module_arg(aTHX_ cv, ax, items, "Zephra2::Module::next", "obj");
    ST(0) = new_object(aTHX_ module_class, obj->next);
    XSRETURN(1);
}

XS(XS_cmds) {
    dXSARGS;
    zp_module* obj = sole_module_arg(aTHX_ cv, ax, items, "Zephra2::Module::cmds", "obj");
    ST(0) = new_object(aTHX_ command_class, obj->cmds);
    XSRETURN(1);
}

// The version check of Perl's extension bootstrap: the version given to
// bootstrap, else $Pkg::XS_VERSION, else $Pkg::VERSION, against ours.
void check_version(pTHX_ const char* module, I32 ax, I32 items) {
    SV* found;
    const char* vn = nullptr;
    if (items >= 2) {
        found = ST(1);
    } else {
        found = get_sv(Perl_form(aTHX_ "%s::%s", module, vn = "XS_VERSION"), 0);
        if (!found || !SvOK(found))
            found = get_sv(Perl_form(aTHX_ "%s::%s", module, vn = "VERSION"), 0);
    }
    if (!found)
        return;
    SV* ours = newSVpvn_flags(ZEPHRA2_MODULE_VERSION, sizeof ZEPHRA2_MODULE_VERSION - 1, SVs_TEMP);
    ours = upg_version(ours, 0);
    // Only a real object of class version is compared as it is; anything
    // else (including the plain string "version") is made a version first.
    SV* theirs = sv_isobject(found) && sv_derived_from(found, "version")
                     ? found
                     : sv_2mortal(new_version(found));
    if (vcmp(theirs, ours) != 0)
        croak("%s object version %" SVf " does not match %s%s%s%s %" SVf, module,
              SVfARG(sv_2mortal(vstringify(ours))), vn ? "$" : "", vn ? module : "", vn ? "::" : "",
              vn ? vn : "bootstrap parameter", SVfARG(sv_2mortal(vstringify(theirs))));
}

} // namespace

extern "C" __attribute__((visibility("default"))) void boot_Zephra2__Module(pTHX_ CV* cv) {
    dXSARGS;
    PERL_UNUSED_VAR(cv);
    const char* module = SvPV_nolen(ST(0));
    check_version(aTHX_ module, ax, items);

    static const char file[] = __FILE__;
    newXS("Zephra2::Module::find_linked_module", XS_find_linked_module, file);
    newXS("Zephra2::Module::remove_loaded_module", XS_remove_loaded_module, file);
    newXS("Zephra2::Module::add", XS_add, file);
    newXS("Zephra2::Module::zp_api_major_version", XS_zp_api_major_version, file);
    newXS("Zephra2::Module::zp_api_minor_version", XS_zp_api_minor_version, file);
    newXS("Zephra2::Module::get_config", XS_get_config, file);
    newXS("Zephra2::Module::loaded", XS_loaded, file);
    newXS("Zephra2::Module::top_module", XS_top_module, file);
    newXS("Zephra2::Module::module_index", XS_module_index, file);
    newXS("Zephra2::Module::name", XS_name, file);
    newXS("Zephra2::Module::next", XS_next, file);
    newXS("Zephra2::Module::cmds", XS_cmds, file);

    if (PL_unitcheckav)
        call_list(PL_scopestack_ix, PL_unitcheckav);
    XSRETURN_YES;
}

// The same bootstrap under its second exported name.
extern "C" __attribute__((visibility("default"), alias("boot_Zephra2__Module"))) void
_boot_Zephra2__Module(pTHX_ CV* cv);
