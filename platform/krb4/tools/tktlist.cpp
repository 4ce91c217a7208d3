// tktlist: lists the tickets of a Kerberos 4 ticket file.
//   tktlist [file]     (default: the file tkt_string() names)
#include "krb.h"

#include <cstdio>
#include <ctime>

namespace {

void printName(const char* name, const char* inst, const char* realm) {
    std::printf("%s%s%s%s%s", name, *inst ? "." : "", inst, *realm ? "@" : "", realm);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "Usage: %s [ticket-file]\n", argv[0]);
        return 1;
    }
    const char* file = argc == 2 ? argv[1] : tkt_string();
    char pname[ANAME_SZ], pinst[INST_SZ];
    int st = tf_init(file, R_TKT_FIL);
    if (st == KSUCCESS)
        st = tf_get_pname(pname);
    if (st == KSUCCESS)
        st = tf_get_pinst(pinst);
    if (st != KSUCCESS) {
        std::fprintf(stderr, "%s: %s: %s\n", argv[0], file, krb_get_err_text(st));
        return 1;
    }
    std::printf("Ticket file: %s\nPrincipal:   ", file);
    printName(pname, pinst, "");
    std::printf("\n\n%-20s  %8s  %4s  %6s  %s\n", "Issued (UTC)", "Lifetime", "Kvno", "Length",
                "Service");
    CREDENTIALS c;
    while ((st = tf_get_cred(&c)) == KSUCCESS) {
        char when[32] = "?";
        time_t t = static_cast<time_t>(c.issue_date);
        struct tm tm;
        if (gmtime_r(&t, &tm) != nullptr)
            std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
        std::printf("%-20s  %8d  %4d  %6d  ", when, c.lifetime, c.kvno, c.ticket_st.length);
        printName(c.service, c.instance, c.realm);
        std::printf("\n");
    }
    tf_close();
    return 0;
}
