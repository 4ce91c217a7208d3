// zephra-host: builds the server's module list, then runs a Perl script
// inside the server with an embedded Perl interpreter, the way quillet
// does. The server's symbols (zp_top_module, zp_find_linked_module,
// quillet_*) are exported, so extension libraries that the script loads
// bind to them.
//
//   zephra-host [-f CONFIG] [perl options] SCRIPT [ARGS...]
//
// The exit status is the script's; 2 for a bad command line or module list.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <EXTERN.h>
#include <perl.h>

#include "zephra/config.hpp"
#include "zephra/core.h"
#include "zephra/host_xs.h"
#include "zephra/quillet.h"

EXTERN_C void boot_DynaLoader(pTHX_ CV* cv);

namespace {

void xs_init(pTHX) {
    static const char file[] = __FILE__;
    newXS("DynaLoader::boot_DynaLoader", boot_DynaLoader, file);
    zephra_host_register_xs(aTHX);
}

// The folder of this program, from /proc/self/exe (or argv[0]).
std::string program_dir(const char* argv0) {
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    std::string path = n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : argv0;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Without -f: three built-in modules and one from a shared object that the
// build puts in lib/ beside bin/.
std::vector<zephra::ModuleDirective> default_modules(const char* argv0) {
    using K = zephra::ModuleDirective::Kind;
    return {
        {K::Builtin, "core.c", {}, 0},
        {K::Builtin, "mod_so.c", {}, 0},
        {K::Builtin, "quillet.c", {}, 0},
        {K::Load, "mod_echo.c", program_dir(argv0) + "/../lib/mod_echo.so", 0},
    };
}

int usage() {
    std::fprintf(stderr, "usage: zephra-host [-f CONFIG] [perl options] SCRIPT [ARGS...]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv, char** env) {
    if (argc < 2)
        return usage();
    int first = 1;
    std::string config;
    if (std::strcmp(argv[1], "-f") == 0) {
        if (argc < 4)
            return usage();
        config = argv[2];
        first = 3;
    }

    std::vector<zephra::ModuleDirective> modules;
    std::string where = "default module list";
    if (!config.empty()) {
        std::string error;
        if (!zephra::read_module_config(config, modules, error)) {
            std::fprintf(stderr, "zephra-host: %s\n", error.c_str());
            return 2;
        }
        where = config;
    } else {
        modules = default_modules(argv[0]);
    }

    zp_process_rec* proc = zp_create_process(argc, argv);
    zp_server_rec* server = zp_create_server(proc, "localhost", 80);
    for (const auto& m : modules) {
        const char* err =
            m.kind == zephra::ModuleDirective::Kind::Builtin
                ? zp_add_builtin_module(proc->pconf, m.name.c_str())
                : zp_load_module(proc->pconf, m.name.c_str(), m.path.c_str(), nullptr);
        if (err) {
            if (m.line > 0)
                std::fprintf(stderr, "zephra-host: %s:%d: %s\n", where.c_str(), m.line, err);
            else
                std::fprintf(stderr, "zephra-host: %s: %s\n", where.c_str(), err);
            zp_unload_modules();
            zp_destroy_process(proc);
            return 2;
        }
    }
    quillet_init(server);

    // Perl sees the program name and everything after the module list.
    std::vector<char*> perl_argv;
    perl_argv.push_back(argv[0]);
    for (int i = first; i < argc; ++i)
        perl_argv.push_back(argv[i]);
    perl_argv.push_back(nullptr);
    int perl_argc = static_cast<int>(perl_argv.size()) - 1;
    char** pargv = perl_argv.data();

    PERL_SYS_INIT3(&perl_argc, &pargv, &env);
    PerlInterpreter* my_perl = perl_alloc();
    perl_construct(my_perl);
    PL_exit_flags |= PERL_EXIT_DESTRUCT_END;
    if (perl_parse(my_perl, xs_init, perl_argc, pargv, env) == 0)
        perl_run(my_perl);
    int status = perl_destruct(my_perl);
    perl_free(my_perl);

    // The interpreter has freed the configuration objects; forget them.
    quillet_reset(nullptr);
    zp_unload_modules();
    zp_destroy_process(proc);
    PERL_SYS_TERM();
    return status;
}
