/* The server core: memory pools, the process and server records, module
 * records and the list of linked modules, and loading modules from shared
 * objects. C linkage, so that modules and extensions written in C or C++
 * can use it alike. */
#ifndef ZEPHRA_CORE_H
#define ZEPHRA_CORE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The module interface version this core was built with. A module loaded
 * from a shared object must carry the same major version. */
#define ZP_API_MAJOR 20261101
#define ZP_API_MINOR 7
/* First word after the list link of every module record. */
#define ZP_MODULE_MAGIC 0x5a504d44UL /* "ZPMD" */

/* Memory pool: allocations live until the pool is destroyed. */
typedef struct zp_pool zp_pool;

zp_pool* zp_pool_create(void);
void zp_pool_destroy(zp_pool* p);
/* Zero-filled block of size bytes. */
void* zp_palloc(zp_pool* p, size_t size);
char* zp_pstrdup(zp_pool* p, const char* s);
/* printf into a block of the pool. */
char* zp_psprintf(zp_pool* p, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

/* Where a directive may appear (req_override bits). */
#define ZP_OR_NONE 0
#define ZP_OR_OPTIONS 1
#define ZP_OR_FILEINFO 2
#define ZP_OR_AUTHCFG 4
#define ZP_OR_INDEXES 8
#define ZP_OR_LIMIT 16
#define ZP_ACCESS_CONF 64
#define ZP_RSRC_CONF 128
#define ZP_OR_ALL (ZP_OR_LIMIT | ZP_OR_OPTIONS | ZP_OR_FILEINFO | ZP_OR_AUTHCFG | ZP_OR_INDEXES)

/* How a directive takes its arguments. */
enum zp_cmd_how {
    ZP_RAW_ARGS,
    ZP_TAKE1,
    ZP_TAKE2,
    ZP_ITERATE,
    ZP_ITERATE2,
    ZP_FLAG,
    ZP_NO_ARGS,
    ZP_TAKE12,
    ZP_TAKE3,
    ZP_TAKE23,
    ZP_TAKE123,
    ZP_TAKE13,
    ZP_TAKE_ARGV
};

/* Handler of one directive: returns NULL on success or an error text. */
typedef const char* (*zp_cmd_func)(void* parms, void* mconfig, const char* args);

/* One configuration directive; a table ends with an entry whose name is
 * NULL. */
typedef struct zp_command_rec {
    const char* name;
    zp_cmd_func func;
    void* cmd_data;
    int req_override;
    int args_how;
    const char* errmsg;
} zp_command_rec;

typedef struct zp_process_rec zp_process_rec;
typedef struct zp_server_rec zp_server_rec;
typedef struct zp_conf_vector zp_conf_vector;

/* One module of the server. The first six members and their order are part
 * of the interface; so is the command table. */
typedef struct zp_module zp_module;
struct zp_module {
    int version;               /* API major version */
    int minor_version;         /* API minor version */
    int module_index;          /* distinct per module, set when added */
    const char* name;          /* e.g. "core.c"; the lookup key */
    void* dynamic_load_handle; /* dlopen handle, NULL for built-in modules */
    zp_module* next;           /* next module of the list, NULL after the last */
    unsigned long magic;       /* ZP_MODULE_MAGIC */
    void* (*create_server_config)(zp_pool* p, zp_server_rec* s);
    void* (*create_dir_config)(zp_pool* p, const char* dir);
    const zp_command_rec* cmds; /* directive table or NULL */
    void (*register_hooks)(zp_pool* p);
};

/* Static initialiser of a module record for modules compiled from C or
 * C++ sources: name, command table. */
#define ZP_MODULE_INIT(name, cmds)                                                                 \
    { ZP_API_MAJOR, ZP_API_MINOR, -1, name, NULL, NULL, ZP_MODULE_MAGIC, NULL, NULL, cmds, NULL }

/* The running process. The second member is the configuration pool, which
 * lives as long as the server's configuration. */
struct zp_process_rec {
    zp_pool* pool;
    zp_pool* pconf;
    const char* short_name;
    int argc;
    const char* const* argv;
};

/* A server (the main server or a virtual host). */
struct zp_server_rec {
    zp_process_rec* process;
    zp_server_rec* next;
    const char* server_hostname;
    unsigned short port;
    zp_conf_vector* module_config;   /* per-server configuration vector */
    zp_conf_vector* lookup_defaults; /* default per-directory vector */
};

/* The first module of the list of linked modules; NULL when empty. */
extern zp_module* zp_top_module;

/* The module named name, or NULL. */
zp_module* zp_find_linked_module(const char* name);

/* Takes the module out of the list of loaded modules. The record itself
 * stays valid; a module that is not in the list is left alone. */
void zp_remove_loaded_module(zp_module* mod);

/* Links mod at the head of the list and gives it the next module index.
 * Returns NULL or an error text (allocated in p): a module whose API major
 * version or magic differs, one already linked, or a name already used. */
const char* zp_add_module(zp_pool* p, zp_module* mod);

/* Makes and links a built-in module record named name. */
const char* zp_add_builtin_module(zp_pool* p, const char* name);

/* Loads the module named name from the shared object at path: opens it with
 * dlopen and takes its record from the symbol zp_module_symbol(name). The
 * record's own name, when set, must equal name. On success *out (when out
 * is not NULL) is the record and the result is NULL; else an error text
 * (allocated in p) and the object is closed again. */
const char* zp_load_module(zp_pool* p, const char* name, const char* path, zp_module** out);

/* The symbol that holds the record of the module named name: the part of
 * the name before the first ".", with characters other than letters, digits
 * and "_" turned into "_", followed by "_module" (mod_echo.c: mod_echo_module).
 * Written into buf (size bytes, always NUL-terminated); returns the full
 * length it needs, not counting the NUL. */
size_t zp_module_symbol(const char* name, char* buf, size_t size);

/* Unlinks every module and closes the shared objects of loaded modules.
 * Module records of loaded modules are invalid afterwards. */
void zp_unload_modules(void);

/* Configuration vectors: one slot per module index. */
zp_conf_vector* zp_create_conf_vector(zp_pool* p);
void* zp_get_module_config(const zp_conf_vector* v, const zp_module* m);
void zp_set_module_config(zp_conf_vector* v, const zp_module* m, void* val);

/* Process and main server records, made in the process pool. */
zp_process_rec* zp_create_process(int argc, const char* const* argv);
void zp_destroy_process(zp_process_rec* proc);
zp_server_rec* zp_create_server(zp_process_rec* proc, const char* hostname, unsigned short port);

#ifdef __cplusplus
}
#endif

#endif
