/* quillet: the server module that embeds Perl. These calls let Perl code
 * define server modules and keep their configuration objects. The Perl
 * types are named by their struct tags so that this header does not need
 * the Perl headers: PerlInterpreter is struct interpreter, SV is struct sv. */
#ifndef ZEPHRA_QUILLET_H
#define ZEPHRA_QUILLET_H

#include "zephra/core.h"

#ifdef __cplusplus
extern "C" {
#endif

struct interpreter;
struct sv;

/* The record of the running server; NULL before quillet_init. */
zp_server_rec* quillet_global_get_server_rec(void);

/* Makes a server module named after the Perl package name, with a
 * directive table built from cmds (a reference to an array of hash
 * references), and links it into the server's list. The record and its
 * table are allocated in p. Returns NULL on success or an error text; on
 * error nothing is added. Uses the thread's current interpreter. */
const char* quillet_module_add(zp_pool* p, zp_server_rec* s, const char* name, struct sv* cmds);

/* The configuration object of a Perl-defined module for server s, or for
 * configuration vector v when v is not NULL. pmodule is the package name or
 * an object of the package. Made on first request by the package's class
 * method SERVER_CREATE (no vector) or DIR_CREATE (a vector) when it has one,
 * else an empty hash blessed into the package; later requests return the
 * same scalar, which quillet keeps owning. NULL for a package that is not a
 * linked Perl-defined module. */
struct sv* quillet_module_config_get_obj(struct interpreter* perl, struct sv* pmodule,
                                         zp_server_rec* s, zp_conf_vector* v);

/* Nonzero when the Perl package name is loaded in the interpreter: it was
 * required from a file (%INC holds it) or it defines a subroutine. */
int quillet_perl_module_loaded(struct interpreter* perl, const char* name);

/* Host side: sets the running server. */
void quillet_init(zp_server_rec* s);

/* Host side: forgets the running server and every kept configuration
 * object. With a live interpreter the objects are released; pass NULL once
 * the interpreter is gone. */
void quillet_reset(struct interpreter* perl);

#ifdef __cplusplus
}
#endif

#endif
