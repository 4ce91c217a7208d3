// The server core: pools, records, the module list and module loading.
#include "zephra/core.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

struct zp_pool {
    std::vector<std::unique_ptr<std::max_align_t[]>> blocks;
};

struct zp_conf_vector {
    zp_pool* pool;
    size_t size;
    void** slots;
};

extern "C" {

zp_module* zp_top_module = nullptr;

zp_pool* zp_pool_create(void) {
    return new zp_pool;
}

void zp_pool_destroy(zp_pool* p) {
    delete p;
}

void* zp_palloc(zp_pool* p, size_t size) {
    size_t n = (size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    if (n == 0)
        n = 1;
    auto block = std::make_unique_for_overwrite<std::max_align_t[]>(n);
    void* mem = block.get();
    std::memset(mem, 0, n * sizeof(std::max_align_t)); // padding bytes included
    p->blocks.push_back(std::move(block));
    return mem;
}

char* zp_pstrdup(zp_pool* p, const char* s) {
    if (!s)
        return nullptr;
    size_t len = std::strlen(s);
    char* copy = static_cast<char*>(zp_palloc(p, len + 1));
    std::memcpy(copy, s, len + 1);
    return copy;
}

char* zp_psprintf(zp_pool* p, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int len = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    char* buf = static_cast<char*>(zp_palloc(p, static_cast<size_t>(len) + 1));
    std::vsnprintf(buf, static_cast<size_t>(len) + 1, fmt, ap2);
    va_end(ap2);
    return buf;
}

} // extern "C"

namespace {

// Modules ever added, in the order they were added: the next index and the
// list of shared objects to close at the end.
int next_module_index = 0;
std::vector<zp_module*> loaded_from_objects;

bool is_linked(const zp_module* mod) {
    for (zp_module* m = zp_top_module; m; m = m->next)
        if (m == mod)
            return true;
    return false;
}

} // namespace

extern "C" {

zp_module* zp_find_linked_module(const char* name) {
    if (!name)
        return nullptr;
    for (zp_module* m = zp_top_module; m; m = m->next)
        if (m->name && std::strcmp(m->name, name) == 0)
            return m;
    return nullptr;
}

void zp_remove_loaded_module(zp_module* mod) {
    for (zp_module** link = &zp_top_module; *link; link = &(*link)->next) {
        if (*link == mod) {
            *link = mod->next;
            mod->next = nullptr;
            return;
        }
    }
}

const char* zp_add_module(zp_pool* p, zp_module* mod) {
    const char* shown = mod->name ? mod->name : "(unnamed)";
    if (mod->magic != ZP_MODULE_MAGIC)
        return zp_psprintf(p, "module %s is not a module record (bad magic)", shown);
    if (mod->version != ZP_API_MAJOR)
        return zp_psprintf(p, "module %s is built for API %d, this server has API %d", shown,
                           mod->version, ZP_API_MAJOR);
    if (is_linked(mod))
        return zp_psprintf(p, "module %s is already linked", shown);
    if (mod->name && zp_find_linked_module(mod->name))
        return zp_psprintf(p, "a module named %s is already linked", shown);
    mod->module_index = next_module_index++;
    mod->next = zp_top_module;
    zp_top_module = mod;
    return nullptr;
}

const char* zp_add_builtin_module(zp_pool* p, const char* name) {
    if (!name || !*name)
        return "a built-in module needs a name";
    zp_module* mod = static_cast<zp_module*>(zp_palloc(p, sizeof(zp_module)));
    mod->version = ZP_API_MAJOR;
    mod->minor_version = ZP_API_MINOR;
    mod->module_index = -1;
    mod->name = zp_pstrdup(p, name);
    mod->magic = ZP_MODULE_MAGIC;
    return zp_add_module(p, mod);
}

size_t zp_module_symbol(const char* name, char* buf, size_t size) {
    static const char suffix[] = "_module";
    size_t n = 0;
    auto put = [&](char c) {
        if (size && n + 1 < size)
            buf[n] = c;
        ++n;
    };
    for (const char* c = name; *c && *c != '.'; ++c) {
        bool word = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                    (*c >= '0' && *c <= '9') || *c == '_';
        put(word ? *c : '_');
    }
    for (const char* c = suffix; *c; ++c)
        put(*c);
    if (size)
        buf[n < size ? n : size - 1] = '\0';
    return n;
}

const char* zp_load_module(zp_pool* p, const char* name, const char* path, zp_module** out) {
    if (out)
        *out = nullptr;
    if (!name || !*name)
        return "LoadModule needs a module name";
    if (!path || !*path)
        return zp_psprintf(p, "LoadModule %s needs a path", name);
    if (zp_find_linked_module(name))
        return zp_psprintf(p, "module %s is already loaded", name);

    // A path without a slash would make dlopen search the library path.
    std::string file = std::strchr(path, '/') ? path : std::string("./") + path;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return zp_psprintf(p, "cannot load %s from %s: %s", name, path, dlerror());

    std::string symbol(zp_module_symbol(name, nullptr, 0), '\0');
    zp_module_symbol(name, symbol.data(), symbol.size() + 1);
    dlerror();
    auto* mod = static_cast<zp_module*>(dlsym(handle, symbol.c_str()));
    const char* err = nullptr;
    if (!mod)
        err = zp_psprintf(p, "cannot find module record %s in %s", symbol.c_str(), path);
    else if (mod->name && std::strcmp(mod->name, name) != 0)
        err = zp_psprintf(p, "the module record in %s is named %s, not %s", path, mod->name, name);
    else if (mod->dynamic_load_handle)
        err = zp_psprintf(p, "module %s from %s is already loaded", name, path);
    else if ((err = zp_add_module(p, mod)) == nullptr) {
        mod->dynamic_load_handle = handle;
        loaded_from_objects.push_back(mod);
        if (out)
            *out = mod;
        return nullptr;
    }
    dlclose(handle);
    return err;
}

void zp_unload_modules(void) {
    while (zp_top_module)
        zp_remove_loaded_module(zp_top_module);
    for (zp_module* mod : loaded_from_objects) {
        void* handle = mod->dynamic_load_handle;
        mod->dynamic_load_handle = nullptr;
        dlclose(handle);
    }
    loaded_from_objects.clear();
}

zp_conf_vector* zp_create_conf_vector(zp_pool* p) {
    auto* v = static_cast<zp_conf_vector*>(zp_palloc(p, sizeof(zp_conf_vector)));
    v->pool = p;
    return v;
}

void* zp_get_module_config(const zp_conf_vector* v, const zp_module* m) {
    if (!v || !m || m->module_index < 0 || static_cast<size_t>(m->module_index) >= v->size)
        return nullptr;
    return v->slots[m->module_index];
}

void zp_set_module_config(zp_conf_vector* v, const zp_module* m, void* val) {
    if (!v || !m || m->module_index < 0)
        return;
    size_t index = static_cast<size_t>(m->module_index);
    if (index >= v->size) {
        size_t size = v->size ? v->size : 16;
        while (size <= index)
            size *= 2;
        auto** slots = static_cast<void**>(zp_palloc(v->pool, size * sizeof(void*)));
        if (v->size)
            std::memcpy(slots, v->slots, v->size * sizeof(void*));
        v->slots = slots;
        v->size = size;
    }
    v->slots[index] = val;
}

zp_process_rec* zp_create_process(int argc, const char* const* argv) {
    zp_pool* pool = zp_pool_create();
    auto* proc = static_cast<zp_process_rec*>(zp_palloc(pool, sizeof(zp_process_rec)));
    proc->pool = pool;
    proc->pconf = zp_pool_create();
    proc->argc = argc;
    proc->argv = argv;
    const char* prog = argc > 0 && argv && argv[0] ? argv[0] : "zephra";
    const char* slash = std::strrchr(prog, '/');
    proc->short_name = zp_pstrdup(pool, slash ? slash + 1 : prog);
    return proc;
}

void zp_destroy_process(zp_process_rec* proc) {
    if (!proc)
        return;
    zp_pool_destroy(proc->pconf);
    zp_pool_destroy(proc->pool); // holds proc itself
}

zp_server_rec* zp_create_server(zp_process_rec* proc, const char* hostname, unsigned short port) {
    auto* s = static_cast<zp_server_rec*>(zp_palloc(proc->pconf, sizeof(zp_server_rec)));
    s->process = proc;
    s->server_hostname = zp_pstrdup(proc->pconf, hostname ? hostname : "localhost");
    s->port = port;
    s->module_config = zp_create_conf_vector(proc->pconf);
    s->lookup_defaults = zp_create_conf_vector(proc->pconf);
    return s;
}

} // extern "C"
