// quillet inside a real embedded Perl interpreter: Perl-defined modules,
// configuration objects and the loaded-package test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <EXTERN.h>
#include <perl.h>

#include "zephra/core.h"
#include "zephra/host_xs.h"
#include "zephra/quillet.h"

EXTERN_C void boot_DynaLoader(pTHX_ CV* cv);

namespace {

PerlInterpreter* my_perl = nullptr;

void xs_init(pTHX) {
    newXS("DynaLoader::boot_DynaLoader", boot_DynaLoader, __FILE__);
    zephra_host_register_xs(aTHX);
}

// One interpreter for the whole program, as in the server.
class PerlEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static char arg0[] = "quillet_test", arg1[] = "-e", arg2[] = "0";
        static char* args[] = {arg0, arg1, arg2, nullptr};
        int argc = 3;
        char** argv = args;
        char** env = nullptr;
        PERL_SYS_INIT3(&argc, &argv, &env);
        my_perl = perl_alloc();
        perl_construct(my_perl);
        PL_exit_flags |= PERL_EXIT_DESTRUCT_END;
        ASSERT_EQ(perl_parse(my_perl, xs_init, argc, argv, nullptr), 0);
        ASSERT_EQ(perl_run(my_perl), 0);
    }
    void TearDown() override {
        quillet_reset(my_perl);
        perl_destruct(my_perl);
        perl_free(my_perl);
        PERL_SYS_TERM();
    }
};

const auto* const perl_env = ::testing::AddGlobalTestEnvironment(new PerlEnvironment);

// Evaluates Perl code and keeps the result alive for the test.
SV* eval(const char* code) {
    SV* sv = eval_pv(code, TRUE);
    return SvREFCNT_inc(sv);
}

class Quillet : public ::testing::Test {
protected:
    void SetUp() override {
        zp_unload_modules();
        proc = zp_create_process(0, nullptr);
        server = zp_create_server(proc, "localhost", 80);
        quillet_init(server);
    }
    void TearDown() override {
        quillet_reset(my_perl);
        zp_unload_modules();
        zp_destroy_process(proc);
    }
    const char* add(const char* name, const char* perl_list) {
        SV* list = eval(perl_list);
        const char* err = quillet_module_add(proc->pconf, server, name, list);
        SvREFCNT_dec(list);
        return err;
    }
    SV* config(const char* package, zp_server_rec* s, zp_conf_vector* v = nullptr) {
        SV* name = newSVpv(package, 0);
        SV* obj = quillet_module_config_get_obj(my_perl, name, s, v);
        SvREFCNT_dec(name);
        return obj;
    }
    zp_process_rec* proc = nullptr;
    zp_server_rec* server = nullptr;
};

TEST_F(Quillet, RunningServer) {
    EXPECT_EQ(quillet_global_get_server_rec(), server);
}

TEST_F(Quillet, AddBuildsRecordAndTable) {
    ASSERT_EQ(add("My::Dir", "[ { name => 'One', args_how => 'TAKE2', req_override => 64,"
                             "    errmsg => 'one thing', cmd_data => 42 },"
                             "  { name => 'Two', func => sub { 1 } },"
                             "  { name => 'Three', func => 'Other::three', args_how => 6 } ]"),
              nullptr);
    zp_module* mod = zp_find_linked_module("My::Dir");
    ASSERT_NE(mod, nullptr);
    EXPECT_EQ(zp_top_module, mod);
    EXPECT_EQ(mod->version, ZP_API_MAJOR);
    EXPECT_EQ(mod->dynamic_load_handle, nullptr);
    EXPECT_GE(mod->module_index, 0);
    const zp_command_rec* c = mod->cmds;
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c[0].name, "One");
    EXPECT_EQ(c[0].args_how, ZP_TAKE2);
    EXPECT_EQ(c[0].req_override, ZP_ACCESS_CONF);
    EXPECT_STREQ(c[0].errmsg, "one thing");
    EXPECT_STREQ(c[1].name, "Two");
    EXPECT_EQ(c[1].args_how, ZP_TAKE1);
    EXPECT_EQ(c[1].req_override, ZP_OR_ALL);
    EXPECT_EQ(c[1].errmsg, nullptr);
    EXPECT_EQ(c[2].args_how, ZP_NO_ARGS);
    EXPECT_EQ(c[3].name, nullptr);

    // cmd_data holds the Perl side of each directive: the subroutine (by
    // default the package's sub of the directive's name) and the data.
    struct PerlCommand {
        SV* func;
        SV* cmd_data;
    };
    auto* one = static_cast<PerlCommand*>(c[0].cmd_data);
    EXPECT_STREQ(SvPV_nolen(one->func), "My::Dir::One");
    EXPECT_EQ(SvIV(one->cmd_data), 42);
    auto* two = static_cast<PerlCommand*>(c[1].cmd_data);
    EXPECT_TRUE(SvROK(two->func) && SvTYPE(SvRV(two->func)) == SVt_PVCV);
    EXPECT_FALSE(SvOK(two->cmd_data));
    EXPECT_STREQ(SvPV_nolen(static_cast<PerlCommand*>(c[2].cmd_data)->func), "Other::three");
}

TEST_F(Quillet, AddErrorsAddNothing) {
    struct Case {
        const char* name;
        const char* list;
        const char* error;
    } cases[] = {
        {"P", "{}", "the command list is not an array reference"},
        {"P", "'x'", "the command list is not an array reference"},
        {"", "[]", "the package name is empty"},
        {"P", "[ 1 ]", "cmds[0] is not a hash reference"},
        {"P", "[ {name=>'A'}, {name=>'B'}, [] ]", "cmds[2] is not a hash reference"},
        {"P", "[ { args_how => 1 } ]", "cmds[0] has no name"},
        {"P", "[ { name => [] } ]", "cmds[0] has no name"},
        {"P", "[ { name => \"A\\0B\" } ]", "cmds[0] has no name"},
        {"P", "[ { name => 'A', Name => 'B' } ]", "cmds[0] has an unknown key \"Name\""},
        {"P", "[ { name => 'A', func => {} } ]",
         "cmds[0] (A): func is neither a code reference nor a subroutine name"},
        {"P", "[ { name => 'A', func => '' } ]",
         "cmds[0] (A): func is neither a code reference nor a subroutine name"},
        {"P", "[ { name => 'A', args_how => -1 } ]", "cmds[0] (A): unknown args_how \"-1\""},
        {"P", "[ { name => 'A', req_override => [] } ]",
         "cmds[0] (A): req_override is not a number"},
        {"P", "[ { name => 'A' }, { name => 'A' } ]", "cmds[1]: directive A is defined twice"},
        {"P", "require Tie::Array; tie my @a, 'Tie::StdArray'; push @a, { name => 'A' }; \\@a",
         "the command list is a tied array"},
        {"P", "require Tie::Hash; tie my %h, 'Tie::StdHash'; $h{name} = 'A'; [ \\%h ]",
         "cmds[0] is a tied hash"},
    };
    for (const auto& c : cases) {
        const char* err = add(c.name, c.list);
        ASSERT_NE(err, nullptr) << c.list;
        EXPECT_STREQ(err, c.error) << c.list;
        EXPECT_EQ(zp_top_module, nullptr) << c.list;
    }
    ASSERT_EQ(add("P", "[]"), nullptr);
    EXPECT_STREQ(add("P", "[]"), "a module named P is already in the server's list");
}

TEST_F(Quillet, WeaklyReferencedListsAreAccepted) {
    ASSERT_EQ(add("W", "require Scalar::Util; our @keep = ({ name => 'A' }); our $weak = \\@keep;"
                       "Scalar::Util::weaken($weak); \\@keep"),
              nullptr);
    ASSERT_NE(zp_find_linked_module("W"), nullptr);
    EXPECT_STREQ(zp_find_linked_module("W")->cmds[0].name, "A");
}

TEST_F(Quillet, ConfigObjectsPerServerAndVector) {
    eval("package Q::Cfg; our @made;"
         "sub SERVER_CREATE { push @made, 's'; bless { kind => 'server', class => $_[0] }, $_[0] }"
         "sub DIR_CREATE { push @made, 'd'; bless { kind => 'dir' }, $_[0] }");
    ASSERT_EQ(add("Q::Cfg", "[]"), nullptr);

    SV* a = config("Q::Cfg", server);
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(sv_isa(a, "Q::Cfg"));
    EXPECT_EQ(config("Q::Cfg", server), a);
    EXPECT_STREQ(SvPV_nolen(eval("join ',', @Q::Cfg::made")), "s");

    zp_server_rec* other = zp_create_server(proc, "other", 81);
    SV* b = config("Q::Cfg", other);
    EXPECT_NE(b, a) << "each server has its own";

    SV* d = config("Q::Cfg", server, server->module_config);
    SV* e = config("Q::Cfg", server, server->lookup_defaults);
    EXPECT_NE(d, a);
    EXPECT_NE(d, e);
    EXPECT_EQ(config("Q::Cfg", other, server->module_config), d) << "kept in the vector";
    EXPECT_STREQ(SvPV_nolen(eval("join ',', @Q::Cfg::made")), "s,s,d,d");

    // An object of the package names it as well.
    SV* obj = quillet_module_config_get_obj(my_perl, a, server, nullptr);
    EXPECT_EQ(obj, a);
}

TEST_F(Quillet, ResetReleasesConfigObjects) {
    ASSERT_EQ(add("Q::Held", "[]"), nullptr);
    SV* obj = config("Q::Held", server);
    ASSERT_NE(obj, nullptr);
    SvREFCNT_inc(obj);
    EXPECT_EQ(SvREFCNT(obj), 2u);
    quillet_reset(my_perl);
    EXPECT_EQ(SvREFCNT(obj), 1u);
    SvREFCNT_dec(obj);
    quillet_init(server);
}

TEST_F(Quillet, PerlModuleLoaded) {
    eval("package Q::Here; sub x { 1 } package main; require File::Spec; 1");
    EXPECT_EQ(quillet_perl_module_loaded(my_perl, "File::Spec"), 1);
    EXPECT_EQ(quillet_perl_module_loaded(my_perl, "strict"), 1);
    EXPECT_EQ(quillet_perl_module_loaded(my_perl, "Q::Here"), 1);
    EXPECT_EQ(quillet_perl_module_loaded(my_perl, "Q::Nowhere"), 0);
    EXPECT_EQ(quillet_perl_module_loaded(my_perl, ""), 0);
    EXPECT_EQ(quillet_perl_module_loaded(my_perl, nullptr), 0);
    eval("$INC{'Q/Failed.pm'} = undef; 1");
    EXPECT_EQ(quillet_perl_module_loaded(my_perl, "Q::Failed"), 0) << "a failed require";
}

} // namespace
