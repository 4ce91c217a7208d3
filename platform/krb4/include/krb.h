/*
 * Kerberos 4 ticket file interface: the credentials record, the classic name
 * and field size limits, status codes and their texts, and the ticket file
 * (create, save, read back).
 *
 * Ticket file layout (integers are 32 bits in host byte order):
 *   principal name NUL, principal instance NUL, then for each ticket:
 *   service NUL, instance NUL, realm NUL, 8-byte session key, lifetime,
 *   key version, ticket length, ticket bytes, issue date.
 */
#ifndef KRB_H
#define KRB_H

#ifdef __cplusplus
extern "C" {
#endif

/* Name sizes, each including the terminating NUL. */
#define ANAME_SZ 40
#define INST_SZ 40
#define REALM_SZ 40
#define SNAME_SZ 40
#define MAX_KTXT_LEN 1250
#define MAX_K_NAME_SZ (ANAME_SZ + INST_SZ + REALM_SZ + 2)

/* Default ticket file prefix; the user's uid follows it. */
#define TKT_ROOT "/tmp/tkt"

typedef unsigned char des_cblock[8];
typedef des_cblock C_Block;

struct ktext {
    int length;                      /* bytes used in dat */
    unsigned char dat[MAX_KTXT_LEN]; /* the ticket */
    unsigned long mbz;               /* always zero */
};
typedef struct ktext KTEXT_ST;
typedef struct ktext* KTEXT;

struct credentials {
    char service[ANAME_SZ];
    char instance[INST_SZ];
    char realm[REALM_SZ];
    C_Block session;
    int lifetime; /* in units of five minutes */
    int kvno;
    KTEXT_ST ticket_st;
    long issue_date;
    char pname[ANAME_SZ];
    char pinst[INST_SZ];
};
typedef struct credentials CREDENTIALS;

/* Status codes. */
#define KSUCCESS 0
#define NO_TKT_FIL 76  /* no ticket file */
#define TKT_FIL_ACC 77 /* ticket file cannot be accessed, or is unsafe */
#define TKT_FIL_LCK 78 /* ticket file cannot be locked */
#define TKT_FIL_FMT 79 /* ticket file is malformed */
#define TKT_FIL_INI 80 /* tf_init was not called first */
#define KNAME_FMT 81   /* a name is too long or missing */
#define KFAILURE 255   /* any other failure */

/* tf_init modes. */
#define R_TKT_FIL 0
#define W_TKT_FIL 1

/* The text of a status code; never null. */
const char* krb_get_err_text(int code);

/* The ticket file name: $KRBTKFILE, else TKT_ROOT followed by the real uid.
 * The text stays valid until the next call. */
const char* tkt_string(void);

/* Creates the ticket file afresh for a principal, replacing an earlier file
 * of the same user. Refuses symbolic links, non-regular files and files of
 * other users. The realm is checked for size only; the file does not hold
 * it. */
int krb_in_tkt(const char* pname, const char* pinst, const char* realm);

/* Appends one ticket to the existing ticket file under an exclusive lock.
 * Refuses a file that is a symbolic link, is owned by another user or is
 * writable by group or others. On failure the file keeps its earlier
 * contents. */
int krb_save_credentials(const char* service, const char* instance, const char* realm,
                         const C_Block session, int lifetime, int kvno, const struct ktext* ticket,
                         long issue_date);

/* Reading: tf_init loads the named file (R_TKT_FIL only) under a shared
 * lock; the principal name and instance are then read once each, in that
 * order, and tf_get_cred returns each ticket in turn and EOF (-1) after the
 * last. tf_close forgets the loaded file. Name buffers must hold ANAME_SZ and
 * INST_SZ bytes. */
int tf_init(const char* tf_name, int rw);
int tf_get_pname(char* p);
int tf_get_pinst(char* p);
int tf_get_cred(CREDENTIALS* c);
void tf_close(void);

#ifdef __cplusplus
}
#endif

#endif /* KRB_H */
