// ostrel: turns the user's Kerberos 5 credentials into a Kerberos 4 ticket.
//
// Takes the client principal from the default credentials cache, gets a
// Kerberos 5 ticket for the ticket-granting service of the client's realm
// (or for the -p principal), has the Kerberos 5 library convert it, and
// stores the result in the Kerberos 4 ticket file (created afresh unless -n).
// com_err.h has no C++ guard, and krb5.h includes it: take it first, as C.
extern "C" {
#include <com_err.h>
}
#include <krb5.h>
#include <krb.h>

#include "windows/getopt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

const char* programNameFrom(const char* arg0) {
    if (arg0 == nullptr)
        return "ostrel";
    const char* slash = std::strrchr(arg0, '/');
    return slash != nullptr ? slash + 1 : arg0;
}

[[noreturn]] void usage(const char* prog) {
    std::fprintf(stderr, "Usage: %s [-p principal] [-n]\n", prog);
    std::exit(1);
}

// The whole run; every failure exits with 1 after its message.
int convert(const char* prog, int argc, char** argv) {
    krb5_context context;
    krb5_error_code code = krb5_init_context(&context);
    if (code) {
        com_err(prog, code, "while initializing krb5");
        std::exit(1);
    }

    const char* servicePrincipal = nullptr;
    int appendCount = 0;
    int badOptions = 0;
    for (int c; (c = util::windows::getopt(argc, argv, "p:n")) != -1;) {
        switch (c) {
        case 'p':
            servicePrincipal = util::windows::optarg;
            break;
        case 'n':
            ++appendCount;
            break;
        default:
            ++badOptions;
            break;
        }
    }
    if (badOptions != 0 || argc - util::windows::optind > 1)
        usage(prog);

    krb5_ccache cache;
    if ((code = krb5_cc_default(context, &cache))) {
        com_err(prog, code, "opening default credentials cache");
        std::exit(1);
    }
    krb5_principal client;
    if ((code = krb5_cc_get_principal(context, cache, &client))) {
        com_err(prog, code, "while retrieving user principal name");
        std::exit(1);
    }

    krb5_principal server;
    if (servicePrincipal != nullptr) {
        if ((code = krb5_parse_name(context, servicePrincipal, &server))) {
            com_err(prog, code, "while parsing service principal name");
            std::exit(1);
        }
    } else {
        // The realm is a counted string; the component list wants it
        // NUL-terminated.
        const std::string realm(client->realm.data, client->realm.length);
        if ((code = krb5_build_principal(context, &server, client->realm.length, client->realm.data,
                                         "krbtgt", realm.c_str(), static_cast<char*>(nullptr)))) {
            com_err(prog, code, "while creating service principal name");
            std::exit(1);
        }
    }

    const krb5_data& clientRealm = client->realm;
    const krb5_data& serverRealm = server->realm;
    const bool sameRealm =
        clientRealm.length == serverRealm.length &&
        (clientRealm.length == 0 ||
         std::memcmp(clientRealm.data, serverRealm.data, clientRealm.length) == 0);
    if (appendCount == 0 && !sameRealm) {
        std::fprintf(stderr,
                     "%s: Client and server principals' realm names are different;\n"
                     "\tbecause of limitations in the krb4 ticket file implementation,\n"
                     "\tthis doesn't work for an initial ticket.  Try `%s -n'\n"
                     "\tif you already have other krb4 tickets, or convert the\n"
                     "\tticket-granting ticket from your home realm.\n",
                     prog, prog);
        std::exit(1);
    }

    krb5_creds request;
    std::memset(&request, 0, sizeof request);
    request.client = client;
    request.server = server;
    request.times.endtime = 0;
    request.keyblock.enctype = ENCTYPE_DES_CBC_CRC;
    krb5_creds* obtained;
    if ((code = krb5_get_credentials(context, 0, cache, &request, &obtained))) {
        com_err(prog, code, "getting V5 credentials");
        std::exit(1);
    }

    CREDENTIALS v4;
    std::memset(&v4, 0, sizeof v4);
    if ((code = krb5_524_convert_creds(context, obtained, &v4))) {
        com_err(prog, code, "converting to V4 credentials");
        std::exit(1);
    }

    int status;
    if (appendCount == 0) {
        status = krb_in_tkt(v4.pname, v4.pinst, v4.realm);
        if (status != KSUCCESS) {
            std::fprintf(stderr, "%s: %s trying to create the V4 ticket file", prog,
                         krb_get_err_text(status));
            std::exit(1);
        }
    }
    status = krb_save_credentials(v4.service, v4.instance, v4.realm, v4.session, v4.lifetime,
                                  v4.kvno, &v4.ticket_st, v4.issue_date);
    if (status != KSUCCESS) {
        std::fprintf(stderr, "%s: %s trying to save the V4 ticket\n", prog,
                     krb_get_err_text(status));
        std::exit(1);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // Without any argument the option scanner still needs an argument 0.
    char fallbackName[] = "ostrel";
    char* fallbackArgv[] = {fallbackName, nullptr};
    if (argc < 1 || argv[0] == nullptr) {
        argc = 1;
        argv = fallbackArgv;
    }
    const char* prog = programNameFrom(argv[0]);
    // Nothing may escape as an exception (an allocation failure would abort
    // the program): it is a failure like any other.
    try {
        return convert(prog, argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", prog, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: unexpected failure\n", prog);
    }
    return 1;
}
