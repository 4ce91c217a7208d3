// Perl functions the host offers to scripts that run inside the server:
// access to the running server's records and a reader of command tables.
// Records cross into Perl as references, blessed into their class, to a
// scalar holding the record's address.
#define PERL_NO_GET_CONTEXT
#include <EXTERN.h>
#include <perl.h>
#include <XSUB.h>

#include "zephra/host_xs.h"
#include "zephra/quillet.h"

namespace {

// The record behind an object of class cls; croaks when arg is not one.
void* record_arg(pTHX_ SV* arg, const char* func, const char* param, const char* cls) {
    if (!SvROK(arg) || !sv_derived_from(arg, cls))
        croak("%s: %s is not of type %s", func, param, cls);
    return INT2PTR(void*, SvIV(SvRV(arg)));
}

SV* new_object(pTHX_ const char* cls, void* record) {
    SV* sv = sv_newmortal();
    sv_setref_pv(sv, cls, record);
    return sv;
}

XS(xs_server) {
    dXSARGS;
    PERL_UNUSED_VAR(items);
    ST(0) = new_object(aTHX_ "Zephra2::ServerRec", quillet_global_get_server_rec());
    XSRETURN(1);
}

// $s->module_config and $s->lookup_defaults: the vector in field of the
// server record s.
void return_server_vector(pTHX_ CV* cv, const char* func, zp_conf_vector* zp_server_rec::*field) {
    dXSARGS;
    if (items != 1)
        croak_xs_usage(cv, "s");
    auto* s = static_cast<zp_server_rec*>(record_arg(aTHX_ ST(0), func, "s", "Zephra2::ServerRec"));
    ST(0) = new_object(aTHX_ "Zephra2::ConfVector", s ? s->*field : nullptr);
    XSRETURN(1);
}

XS(xs_module_config) {
    return_server_vector(aTHX_ cv, "Zephra2::ServerRec::module_config",
                         &zp_server_rec::module_config);
}

XS(xs_lookup_defaults) {
    return_server_vector(aTHX_ cv, "Zephra2::ServerRec::lookup_defaults",
                         &zp_server_rec::lookup_defaults);
}

// A fresh, empty vector that lives as long as the server's configuration.
XS(xs_conf_vector_new) {
    dXSARGS;
    if (items != 1)
        croak_xs_usage(cv, "class");
    zp_server_rec* s = quillet_global_get_server_rec();
    if (!s)
        croak("Zephra2::ConfVector::new: no running server");
    ST(0) = new_object(aTHX_ "Zephra2::ConfVector", zp_create_conf_vector(s->process->pconf));
    XSRETURN(1);
}

// The command table of a function whose one argument is a command object.
const zp_command_rec* command_arg(pTHX_ CV* cv, I32 ax, I32 items, const char* func) {
    if (items != 1)
        croak_xs_usage(cv, "cmds");
    return static_cast<const zp_command_rec*>(
        record_arg(aTHX_ ST(0), func, "cmds", "Zephra2::Command"));
}

XS(xs_command_names) {
    dXSARGS;
    const zp_command_rec* cmd = command_arg(aTHX_ cv, ax, items, "Zephra2::Command::names");
    SP -= items;
    for (; cmd && cmd->name; ++cmd)
        mXPUSHp(cmd->name, strlen(cmd->name));
    PUTBACK;
}

XS(xs_command_entries) {
    dXSARGS;
    const zp_command_rec* cmd = command_arg(aTHX_ cv, ax, items, "Zephra2::Command::entries");
    SP -= items;
    for (; cmd && cmd->name; ++cmd) {
        HV* hv = newHV();
        hv_stores(hv, "name", newSVpv(cmd->name, 0));
        hv_stores(hv, "args_how", newSViv(cmd->args_how));
        hv_stores(hv, "req_override", newSViv(cmd->req_override));
        hv_stores(hv, "errmsg", cmd->errmsg ? newSVpv(cmd->errmsg, 0) : newSV(0));
        mXPUSHs(newRV_noinc(reinterpret_cast<SV*>(hv)));
    }
    PUTBACK;
}

} // namespace

extern "C" void zephra_host_register_xs(struct interpreter* perl) {
    PerlInterpreter* my_perl = perl;
    static const char file[] = __FILE__;
    newXS("Zephra2::ServerUtil::server", xs_server, file);
    newXS("Zephra2::ServerRec::module_config", xs_module_config, file);
    newXS("Zephra2::ServerRec::lookup_defaults", xs_lookup_defaults, file);
    newXS("Zephra2::ConfVector::new", xs_conf_vector_new, file);
    newXS("Zephra2::Command::names", xs_command_names, file);
    newXS("Zephra2::Command::entries", xs_command_entries, file);
}
