// The ticket file reader: the input is a ticket file's bytes. A file that
// loads is read through the read functions, a ticket is appended to it and
// the whole file read back; the file is then written afresh from what was
// read.
//
// Invariants: a file that loads yields NUL-terminated names within their
// field sizes and tickets no longer than MAX_KTXT_LEN; the read functions
// refuse to run out of order; a save appends exactly one ticket and keeps
// every earlier one; a malformed file is refused by the save and left
// byte for byte as it was; writing the tickets read back into a new file
// reproduces the original bytes.
#include "fuzz.h"

#include "krb.h"

#include <fstream>
#include <iterator>

#include <unistd.h>

namespace {

std::string gPath;

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    FUZZ_CHECK(out.good());
}

bool Terminated(const char* field, size_t size) {
    return std::memchr(field, '\0', size) != nullptr;
}

struct Loaded {
    char pname[ANAME_SZ];
    char pinst[INST_SZ];
    std::vector<CREDENTIALS> creds;
};

// Loads the file through the read functions; the tf_init status.
int Load(Loaded* out) {
    int rc = tf_init(gPath.c_str(), R_TKT_FIL);
    if (rc != KSUCCESS)
        return rc;
    CREDENTIALS c;
    FUZZ_CHECK(tf_get_cred(&c) == TKT_FIL_INI); // the names come first
    FUZZ_CHECK(tf_get_pinst(out->pinst) == TKT_FIL_INI);
    FUZZ_CHECK(tf_get_pname(out->pname) == KSUCCESS);
    FUZZ_CHECK(tf_get_pname(out->pname) == TKT_FIL_INI); // once only
    FUZZ_CHECK(tf_get_pinst(out->pinst) == KSUCCESS);
    FUZZ_CHECK(Terminated(out->pname, ANAME_SZ) && Terminated(out->pinst, INST_SZ));
    out->creds.clear();
    for (;;) {
        std::memset(&c, 0xA5, sizeof c);
        int got = tf_get_cred(&c);
        if (got == EOF)
            break;
        FUZZ_CHECK(got == KSUCCESS);
        FUZZ_CHECK(Terminated(c.service, ANAME_SZ) && Terminated(c.instance, INST_SZ) &&
                   Terminated(c.realm, REALM_SZ));
        FUZZ_CHECK(c.ticket_st.length >= 0 && c.ticket_st.length <= MAX_KTXT_LEN);
        FUZZ_CHECK(std::strcmp(c.pname, out->pname) == 0 && std::strcmp(c.pinst, out->pinst) == 0);
        FUZZ_CHECK(c.issue_date >= 0 && static_cast<unsigned long>(c.issue_date) <= UINT32_MAX);
        out->creds.push_back(c);
    }
    FUZZ_CHECK(tf_get_cred(&c) == EOF);
    tf_close();
    FUZZ_CHECK(tf_get_cred(&c) == TKT_FIL_INI);
    return KSUCCESS;
}

bool SameTicket(const CREDENTIALS& a, const CREDENTIALS& b) {
    return std::strcmp(a.service, b.service) == 0 && std::strcmp(a.instance, b.instance) == 0 &&
           std::strcmp(a.realm, b.realm) == 0 && std::memcmp(a.session, b.session, 8) == 0 &&
           a.lifetime == b.lifetime && a.kvno == b.kvno &&
           a.ticket_st.length == b.ticket_st.length &&
           std::memcmp(a.ticket_st.dat, b.ticket_st.dat, a.ticket_st.length) == 0 &&
           a.issue_date == b.issue_date;
}

int Save(const CREDENTIALS& c) {
    return krb_save_credentials(c.service, c.instance, c.realm, c.session, c.lifetime, c.kvno,
                                &c.ticket_st, c.issue_date);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gPath = fuzz::ScratchDir("tkt") + "/tkt";
    setenv("KRBTKFILE", gPath.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unlink(gPath.c_str());
    WriteFile(gPath, data, size);

    Loaded before;
    int rc = Load(&before);
    FUZZ_CHECK(rc == KSUCCESS || rc == TKT_FIL_FMT);

    // The ticket to append: fixed fields, so its bytes are known.
    CREDENTIALS extra;
    std::memset(&extra, 0, sizeof extra);
    std::strcpy(extra.service, "krbtgt");
    std::strcpy(extra.instance, "EXAMPLE.ORG");
    std::strcpy(extra.realm, "EXAMPLE.ORG");
    std::memcpy(extra.session, "\x01\x23\x45\x67\x89\xab\xcd\xef", 8);
    extra.lifetime = 96;
    extra.kvno = 3;
    extra.ticket_st.length = static_cast<int>(size % 64);
    std::memset(extra.ticket_st.dat, 0x5A, 64);
    extra.issue_date = 1700000000;

    if (rc != KSUCCESS) {
        FUZZ_CHECK(Save(extra) == TKT_FIL_FMT);
        std::vector<uint8_t> after = ReadFile(gPath);
        FUZZ_CHECK(after.size() == size &&
                   (size == 0 || std::memcmp(after.data(), data, size) == 0));
        return 0;
    }

    FUZZ_CHECK(Save(extra) == KSUCCESS);
    Loaded appended;
    FUZZ_CHECK(Load(&appended) == KSUCCESS);
    FUZZ_CHECK(appended.creds.size() == before.creds.size() + 1);
    for (size_t i = 0; i < before.creds.size(); ++i)
        FUZZ_CHECK(SameTicket(appended.creds[i], before.creds[i]));
    FUZZ_CHECK(SameTicket(appended.creds.back(), extra));

    // Written afresh from what was read, the file is the original again.
    FUZZ_CHECK(krb_in_tkt(before.pname, before.pinst, "EXAMPLE.ORG") == KSUCCESS);
    for (const CREDENTIALS& c : before.creds)
        FUZZ_CHECK(Save(c) == KSUCCESS);
    std::vector<uint8_t> rewritten = ReadFile(gPath);
    FUZZ_CHECK(rewritten.size() == size && std::memcmp(rewritten.data(), data, size) == 0);
    return 0;
}
