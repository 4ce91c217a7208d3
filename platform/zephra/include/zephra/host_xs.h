/* The host's own Perl functions: Zephra2::ServerUtil->server,
 * $s->module_config, $s->lookup_defaults, Zephra2::ConfVector->new and the
 * Zephra2::Command reader ($cmds->names, $cmds->entries). */
#ifndef ZEPHRA_HOST_XS_H
#define ZEPHRA_HOST_XS_H

#ifdef __cplusplus
extern "C" {
#endif

struct interpreter;

/* Registers the functions in the interpreter; call from xs_init. */
void zephra_host_register_xs(struct interpreter* perl);

#ifdef __cplusplus
}
#endif

#endif
