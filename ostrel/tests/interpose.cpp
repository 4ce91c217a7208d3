// Test-only preload library placed in front of the Kerberos 5 library when
// ostrel runs under test. It supplies the two abilities the installed library
// lacks and injects failures; it is never linked into ostrel.
//
// Environment:
//   OSTREL_TEST_ANY_ENCTYPE=1   krb5_get_credentials accepts any session key
//                               type (the requested one is dropped).
//   OSTREL_TEST_CONVERT=1       krb5_524_convert_creds answers with Kerberos 4
//                               credentials derived from the Kerberos 5 ones;
//                               "oversize" makes the ticket one byte too long.
//   OSTREL_TEST_FAIL=<function> that function returns KRB5_CC_IO.
//   OSTREL_TEST_RECORD=<file>   krb5_get_credentials appends its request here.
extern "C" {
#include <com_err.h>
}
#include <krb5.h>
#include <krb.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <typename F> F nextSymbol(const char* name) {
    void* sym = dlsym(RTLD_NEXT, name);
    if (sym == nullptr) {
        std::fprintf(stderr, "interposer: %s not found\n", name);
        std::abort();
    }
    return reinterpret_cast<F>(sym);
}

bool failing(const char* function) {
    const char* f = std::getenv("OSTREL_TEST_FAIL");
    return f != nullptr && std::strcmp(f, function) == 0;
}

bool enabled(const char* var) {
    const char* v = std::getenv(var);
    return v != nullptr && *v != '\0';
}

constexpr krb5_error_code kInjected = KRB5_CC_IO;

// Copies principal component i (or "" when absent) into a Kerberos 4 field.
bool component(krb5_const_principal p, int i, char* out, size_t size) {
    if (i >= p->length) {
        out[0] = '\0';
        return true;
    }
    const krb5_data& d = p->data[i];
    if (d.length >= size)
        return false;
    std::memcpy(out, d.data, d.length);
    out[d.length] = '\0';
    return true;
}

void record(krb5_context ctx, krb5_flags options, const krb5_creds* in) {
    const char* file = std::getenv("OSTREL_TEST_RECORD");
    if (file == nullptr)
        return;
    char *client = nullptr, *server = nullptr;
    krb5_unparse_name(ctx, in->client, &client);
    krb5_unparse_name(ctx, in->server, &server);
    if (FILE* f = std::fopen(file, "a")) {
        std::fprintf(f, "options=%d enctype=%d endtime=%d client=%s server=%s\n",
                     static_cast<int>(options), static_cast<int>(in->keyblock.enctype),
                     static_cast<int>(in->times.endtime), client ? client : "?",
                     server ? server : "?");
        std::fclose(f);
    }
    krb5_free_unparsed_name(ctx, client);
    krb5_free_unparsed_name(ctx, server);
}

} // namespace

extern "C" krb5_error_code krb5_init_context(krb5_context* ctx) {
    static auto next = nextSymbol<krb5_error_code (*)(krb5_context*)>("krb5_init_context");
    // The real call runs first so that the library's error tables are
    // registered before an injected code is reported.
    krb5_error_code code = next(ctx);
    if (code == 0 && failing("krb5_init_context")) {
        krb5_free_context(*ctx);
        *ctx = nullptr;
        return kInjected;
    }
    return code;
}

extern "C" krb5_error_code krb5_cc_default(krb5_context ctx, krb5_ccache* cc) {
    static auto next =
        nextSymbol<krb5_error_code (*)(krb5_context, krb5_ccache*)>("krb5_cc_default");
    return failing("krb5_cc_default") ? kInjected : next(ctx, cc);
}

extern "C" krb5_error_code krb5_cc_get_principal(krb5_context ctx, krb5_ccache cc,
                                                 krb5_principal* p) {
    static auto next = nextSymbol<krb5_error_code (*)(krb5_context, krb5_ccache, krb5_principal*)>(
        "krb5_cc_get_principal");
    return failing("krb5_cc_get_principal") ? kInjected : next(ctx, cc, p);
}

extern "C" krb5_error_code krb5_parse_name(krb5_context ctx, const char* name, krb5_principal* p) {
    static auto next = nextSymbol<krb5_error_code (*)(krb5_context, const char*, krb5_principal*)>(
        "krb5_parse_name");
    return failing("krb5_parse_name") ? kInjected : next(ctx, name, p);
}

extern "C" krb5_error_code krb5_build_principal(krb5_context ctx, krb5_principal* p,
                                                unsigned int rlen, const char* realm, ...) {
    if (failing("krb5_build_principal"))
        return kInjected;
    va_list ap;
    va_start(ap, realm);
    krb5_error_code code = krb5_build_principal_alloc_va(ctx, p, rlen, realm, ap);
    va_end(ap);
    return code;
}

extern "C" krb5_error_code krb5_get_credentials(krb5_context ctx, krb5_flags options,
                                                krb5_ccache cc, krb5_creds* in, krb5_creds** out) {
    static auto next = nextSymbol<krb5_error_code (*)(
        krb5_context, krb5_flags, krb5_ccache, krb5_creds*, krb5_creds**)>("krb5_get_credentials");
    record(ctx, options, in);
    if (failing("krb5_get_credentials"))
        return kInjected;
    if (!enabled("OSTREL_TEST_ANY_ENCTYPE"))
        return next(ctx, options, cc, in, out);
    krb5_creds any = *in;
    any.keyblock.enctype = ENCTYPE_NULL;
    return next(ctx, options, cc, &any, out);
}

extern "C" krb5_error_code krb5_524_convert_creds(krb5_context ctx, krb5_creds* v5,
                                                  struct credentials* v4) {
    static auto next =
        nextSymbol<krb5_error_code (*)(krb5_context, krb5_creds*, struct credentials*)>(
            "krb5_524_convert_creds");
    if (failing("krb5_524_convert_creds"))
        return kInjected;
    const char* mode = std::getenv("OSTREL_TEST_CONVERT");
    if (mode == nullptr || *mode == '\0')
        return next(ctx, v5, v4);

    std::memset(v4, 0, sizeof *v4);
    const krb5_data& srealm = v5->server->realm;
    if (!component(v5->client, 0, v4->pname, ANAME_SZ) ||
        !component(v5->client, 1, v4->pinst, INST_SZ) ||
        !component(v5->server, 0, v4->service, ANAME_SZ) ||
        !component(v5->server, 1, v4->instance, INST_SZ) || srealm.length >= REALM_SZ ||
        v5->ticket.length > MAX_KTXT_LEN)
        return KRB5_CONFIG_NOTENUFSPACE;
    std::memcpy(v4->realm, srealm.data, srealm.length);

    std::memcpy(v4->session, v5->keyblock.contents,
                std::min<size_t>(sizeof v4->session, v5->keyblock.length));
    krb5_ticket* ticket = nullptr;
    if (krb5_error_code code = krb5_decode_ticket(&v5->ticket, &ticket))
        return code;
    v4->kvno = static_cast<int>(ticket->enc_part.kvno);
    krb5_free_ticket(ctx, ticket);

    const krb5_timestamp issued = v5->times.starttime ? v5->times.starttime : v5->times.authtime;
    v4->issue_date = static_cast<long>(static_cast<uint32_t>(issued));
    v4->lifetime = static_cast<int>(std::min<long>(255, (v5->times.endtime - issued) / 300));
    std::memcpy(v4->ticket_st.dat, v5->ticket.data, v5->ticket.length);
    v4->ticket_st.length = static_cast<int>(v5->ticket.length);
    if (std::strcmp(mode, "oversize") == 0)
        v4->ticket_st.length = MAX_KTXT_LEN + 1;
    return 0;
}
