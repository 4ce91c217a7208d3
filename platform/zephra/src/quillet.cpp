// quillet: Perl-defined server modules and their configuration objects.
//
// Perl may die (get-magic, SERVER_CREATE, ...) and unwind with longjmp, so
// the functions below keep no object with a destructor alive while they
// call into Perl; the tables they build live in the server's pools.
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

#define PERL_NO_GET_CONTEXT
#include <EXTERN.h>
#include <perl.h>

#include "zephra/quillet.h"

namespace {

zp_server_rec* running_server = nullptr;
// Modules made by quillet_module_add.
std::set<const zp_module*> perl_modules;
// Per-server objects, by server and module index; per-vector objects live
// in the vector's slot for the module.
std::map<std::pair<const zp_server_rec*, int>, SV*> server_configs;
// Every object quillet owns, vector slots included.
std::vector<SV*> owned;

// Directive keys accepted in a command hash.
const char* const command_keys[] = {"name",         "func",   "args_how",
                                    "req_override", "errmsg", "cmd_data"};

const struct {
    const char* name;
    int value;
} how_names[] = {{"RAW_ARGS", ZP_RAW_ARGS},  {"TAKE1", ZP_TAKE1},       {"TAKE2", ZP_TAKE2},
                 {"ITERATE", ZP_ITERATE},    {"ITERATE2", ZP_ITERATE2}, {"FLAG", ZP_FLAG},
                 {"NO_ARGS", ZP_NO_ARGS},    {"TAKE12", ZP_TAKE12},     {"TAKE3", ZP_TAKE3},
                 {"TAKE23", ZP_TAKE23},      {"TAKE123", ZP_TAKE123},   {"TAKE13", ZP_TAKE13},
                 {"TAKE_ARGV", ZP_TAKE_ARGV}};

bool is_known_key(const char* key, STRLEN len) {
    for (const char* k : command_keys)
        if (std::strlen(k) == len && std::memcmp(k, key, len) == 0)
            return true;
    return false;
}

// args_how: a number in range or one of the names above.
bool read_args_how(pTHX_ SV* sv, int* out) {
    if (!SvROK(sv) && looks_like_number(sv)) {
        IV n = SvIV(sv);
        if (n < ZP_RAW_ARGS || n > ZP_TAKE_ARGV)
            return false;
        *out = static_cast<int>(n);
        return true;
    }
    const char* s = SvPV_nolen(sv);
    for (const auto& h : how_names)
        if (std::strcmp(h.name, s) == 0) {
            *out = h.value;
            return true;
        }
    return false;
}

// What a directive handler of a Perl-defined module refers to: the Perl
// subroutine (code reference or name) and the caller's cmd_data.
struct PerlCommand {
    SV* func;
    SV* cmd_data;
};

} // namespace

extern "C" {

zp_server_rec* quillet_global_get_server_rec(void) {
    return running_server;
}

void quillet_init(zp_server_rec* s) {
    running_server = s;
}

void quillet_reset(struct interpreter* perl) {
    if (perl) {
        PerlInterpreter* my_perl = perl;
        for (SV* sv : owned)
            SvREFCNT_dec(sv);
    }
    owned.clear();
    server_configs.clear();
    perl_modules.clear();
    running_server = nullptr;
}

const char* quillet_module_add(zp_pool* p, zp_server_rec* s, const char* name, SV* cmds) {
    dTHX;
    if (!p || !s)
        return "no server";
    if (!name || !*name)
        return "the package name is empty";
    if (zp_find_linked_module(name))
        return zp_psprintf(p, "a module named %s is already in the server's list", name);
    if (!cmds || !SvROK(cmds) || SvTYPE(SvRV(cmds)) != SVt_PVAV)
        return "the command list is not an array reference";
    AV* av = reinterpret_cast<AV*>(SvRV(cmds));
    if (mg_find(reinterpret_cast<SV*>(av), PERL_MAGIC_tied))
        return "the command list is a tied array";

    SSize_t count = av_top_index(av) + 1;
    auto* table = static_cast<zp_command_rec*>(
        zp_palloc(p, (static_cast<size_t>(count) + 1) * sizeof(zp_command_rec)));
    // Raw pointers to the caller's values until everything is checked.
    auto* raw = static_cast<PerlCommand*>(
        zp_palloc(p, (static_cast<size_t>(count) + 1) * sizeof(PerlCommand)));

    // Pass 1: check every entry and fill the table's plain members.
    for (SSize_t i = 0; i < count; ++i) {
        SV** elem = av_fetch(av, i, 0);
        if (!elem || !SvROK(*elem) || SvTYPE(SvRV(*elem)) != SVt_PVHV)
            return zp_psprintf(p, "cmds[%ld] is not a hash reference", static_cast<long>(i));
        HV* hv = reinterpret_cast<HV*>(SvRV(*elem));
        if (mg_find(reinterpret_cast<SV*>(hv), PERL_MAGIC_tied))
            return zp_psprintf(p, "cmds[%ld] is a tied hash", static_cast<long>(i));

        // Unknown keys first, so a misspelt "name" is reported as such.
        hv_iterinit(hv);
        while (HE* he = hv_iternext(hv)) {
            STRLEN klen;
            const char* key = HePV(he, klen);
            if (!is_known_key(key, klen))
                return zp_psprintf(p, "cmds[%ld] has an unknown key \"%.*s\"", static_cast<long>(i),
                                   static_cast<int>(klen), key);
        }

        SV** v = hv_fetchs(hv, "name", 0);
        const char* cname = nullptr;
        if (v && SvOK(*v) && !SvROK(*v)) {
            STRLEN len;
            const char* pv = SvPV(*v, len);
            if (len > 0 && std::memchr(pv, '\0', len) == nullptr)
                cname = zp_pstrdup(p, pv);
        }
        if (!cname)
            return zp_psprintf(p, "cmds[%ld] has no name", static_cast<long>(i));
        for (SSize_t j = 0; j < i; ++j)
            if (std::strcmp(table[j].name, cname) == 0)
                return zp_psprintf(p, "cmds[%ld]: directive %s is defined twice",
                                   static_cast<long>(i), cname);
        zp_command_rec& cmd = table[i];
        cmd.name = cname;
        cmd.args_how = ZP_TAKE1;
        cmd.req_override = ZP_OR_ALL;

        if ((v = hv_fetchs(hv, "func", 0)) && SvOK(*v)) {
            bool code = SvROK(*v) && SvTYPE(SvRV(*v)) == SVt_PVCV;
            if (!code && (SvROK(*v) || SvCUR(*v) == 0 || !SvPOK(*v)))
                return zp_psprintf(p,
                                   "cmds[%ld] (%s): func is neither a code reference nor a "
                                   "subroutine name",
                                   static_cast<long>(i), cname);
            raw[i].func = *v;
        }
        if ((v = hv_fetchs(hv, "args_how", 0)) && SvOK(*v)) {
            if (!read_args_how(aTHX_ * v, &cmd.args_how))
                return zp_psprintf(p, "cmds[%ld] (%s): unknown args_how \"%s\"",
                                   static_cast<long>(i), cname, SvPV_nolen(*v));
        }
        if ((v = hv_fetchs(hv, "req_override", 0)) && SvOK(*v)) {
            if (SvROK(*v) || !looks_like_number(*v))
                return zp_psprintf(p, "cmds[%ld] (%s): req_override is not a number",
                                   static_cast<long>(i), cname);
            cmd.req_override = static_cast<int>(SvIV(*v));
        }
        if ((v = hv_fetchs(hv, "errmsg", 0)) && SvOK(*v))
            cmd.errmsg = zp_pstrdup(p, SvPV_nolen(*v));
        if ((v = hv_fetchs(hv, "cmd_data", 0)))
            raw[i].cmd_data = *v;
    }

    auto* mod = static_cast<zp_module*>(zp_palloc(p, sizeof(zp_module)));
    mod->version = ZP_API_MAJOR;
    mod->minor_version = ZP_API_MINOR;
    mod->module_index = -1;
    mod->name = zp_pstrdup(p, name);
    mod->magic = ZP_MODULE_MAGIC;
    mod->cmds = table;
    if (const char* err = zp_add_module(p, mod))
        return err;

    // Pass 2: keep copies of the Perl values; a directive without func
    // calls the package's subroutine of the directive's name.
    for (SSize_t i = 0; i < count; ++i) {
        PerlCommand& pc = raw[i];
        pc.func = pc.func ? newSVsv(pc.func) : newSVpvf("%s::%s", name, table[i].name);
        pc.cmd_data = pc.cmd_data ? newSVsv(pc.cmd_data) : newSV(0);
        owned.push_back(pc.func);
        owned.push_back(pc.cmd_data);
        table[i].cmd_data = &pc;
    }
    perl_modules.insert(mod);
    return nullptr;
}

SV* quillet_module_config_get_obj(struct interpreter* perl, SV* pmodule, zp_server_rec* s,
                                  zp_conf_vector* v) {
    PerlInterpreter* my_perl = perl;
    if (!pmodule || !s)
        return nullptr;
    const char* package = nullptr;
    if (SvROK(pmodule) && SvOBJECT(SvRV(pmodule)))
        package = HvNAME(SvSTASH(SvRV(pmodule)));
    else if (SvOK(pmodule))
        package = SvPV_nolen(pmodule);
    if (!package)
        return nullptr;
    zp_module* mod = zp_find_linked_module(package);
    if (!mod || !perl_modules.count(mod))
        return nullptr;

    if (v) {
        if (SV* found = static_cast<SV*>(zp_get_module_config(v, mod)))
            return found;
    } else {
        auto it = server_configs.find({s, mod->module_index});
        if (it != server_configs.end())
            return it->second;
    }

    const char* method = v ? "DIR_CREATE" : "SERVER_CREATE";
    HV* stash = gv_stashpv(mod->name, 0);
    GV* gv = stash ? gv_fetchmeth_pv(stash, method, -1, 0) : nullptr;
    SV* obj;
    if (gv && GvCV(gv)) {
        dSP;
        ENTER;
        SAVETMPS;
        PUSHMARK(SP);
        XPUSHs(sv_2mortal(newSVpv(mod->name, 0)));
        PUTBACK;
        I32 n = call_sv(reinterpret_cast<SV*>(GvCV(gv)), G_SCALAR | G_EVAL);
        SPAGAIN;
        obj = n > 0 ? newSVsv(POPs) : newSV(0);
        PUTBACK;
        FREETMPS;
        LEAVE;
        if (SvTRUE(ERRSV)) {
            SvREFCNT_dec(obj);
            croak_sv(sv_2mortal(newSVsv(ERRSV)));
        }
    } else {
        HV* hv = newHV();
        obj = sv_bless(newRV_noinc(reinterpret_cast<SV*>(hv)), gv_stashpv(mod->name, GV_ADD));
    }

    owned.push_back(obj);
    if (v)
        zp_set_module_config(v, mod, obj);
    else
        server_configs[{s, mod->module_index}] = obj;
    return obj;
}

int quillet_perl_module_loaded(struct interpreter* perl, const char* name) {
    PerlInterpreter* my_perl = perl;
    if (!name || !*name)
        return 0;

    // Required from a file: Foo::Bar is in %INC as Foo/Bar.pm.
    size_t len = std::strlen(name);
    char* file = static_cast<char*>(alloca(len + 4));
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        if (name[i] == ':' && name[i + 1] == ':') {
            file[n++] = '/';
            ++i;
        } else {
            file[n++] = name[i];
        }
    }
    std::memcpy(file + n, ".pm", 4);
    SV** inc = hv_fetch(GvHVn(PL_incgv), file, static_cast<I32>(n + 3), 0);
    if (inc && SvOK(*inc))
        return 1;

    // Defined in place: the package has a subroutine. The stash is walked
    // bucket by bucket so a Perl-level iteration over it is not disturbed.
    HV* stash = gv_stashpvn(name, static_cast<U32>(len), 0);
    if (!stash || !HvARRAY(stash))
        return 0;
    for (STRLEN b = 0; b <= HvMAX(stash); ++b) {
        for (HE* he = HvARRAY(stash)[b]; he; he = HeNEXT(he)) {
            SV* val = HeVAL(he);
            if (!val)
                continue;
            if (SvTYPE(val) == SVt_PVGV) {
                GV* gv = reinterpret_cast<GV*>(val);
                if (GvCV(gv))
                    return 1;
            } else if (SvROK(val) && SvTYPE(SvRV(val)) == SVt_PVCV) {
                return 1; // a subroutine stored without a glob
            }
        }
    }
    return 0;
}

} // extern "C"
