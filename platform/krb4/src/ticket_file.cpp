// The Kerberos 4 ticket file: creation, appending one ticket, reading back.
#include "krb.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<unsigned char>;

// The largest ticket file: about 750 tickets of the largest size. A larger
// file was not written by this library; it is malformed, is never read into
// memory, and no save takes a file past it.
constexpr size_t kMaxFileBytes = size_t{1} << 20;

// Runs the body of a C entry point: no exception may leave it, so any
// (an allocation failure) becomes KFAILURE.
template <class F> int guarded(F body) noexcept {
    try {
        return body();
    } catch (...) {
        return KFAILURE;
    }
}

// A name fits when it exists and its NUL lies within the field size.
bool fits(const char* name, size_t size) {
    return name != nullptr && strnlen(name, size) < size;
}

// Closes a descriptor on every path out of a function.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    // Takes over a new descriptor (errno is left as the open set it).
    void adopt(int fd) {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }
    // Closes now and reports whether the close succeeded.
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// Takes the lock, waiting up to about two seconds for another holder.
bool lockFile(int fd, int op) {
    for (int attempt = 0; attempt < 40; ++attempt) {
        if (flock(fd, op | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        usleep(50 * 1000);
    }
    return false;
}

// Reads the whole file, but never more than one byte past the largest
// ticket file, so a huge file cannot exhaust memory.
bool readAll(int fd, Bytes* out) {
    out->clear();
    unsigned char buf[8192];
    for (off_t pos = 0; out->size() <= kMaxFileBytes;) {
        ssize_t n = pread(fd, buf, sizeof buf, pos);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out->insert(out->end(), buf, buf + n);
        pos += n;
    }
    return true;
}

bool writeAllAt(int fd, const Bytes& data, off_t pos) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = pwrite(fd, data.data() + done, data.size() - done, pos + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void putName(Bytes* out, const char* name) {
    out->insert(out->end(), name, name + std::strlen(name) + 1);
}

void putInt32(Bytes* out, int32_t v) {
    unsigned char b[4];
    std::memcpy(b, &v, 4);
    out->insert(out->end(), b, b + 4);
}

// Sequential reader over a loaded file; every read checks the bounds.
class Reader {
public:
    explicit Reader(const Bytes& data) : data_(data) {}
    bool atEnd() const { return pos_ == data_.size(); }

    // A NUL-terminated name of at most size - 1 characters.
    bool name(char* out, size_t size) {
        size_t limit = std::min(data_.size() - pos_, size);
        if (limit == 0)
            return false; // also keeps an empty file's null data out of memchr
        const void* nul = std::memchr(data_.data() + pos_, '\0', limit);
        if (nul == nullptr)
            return false;
        size_t len = static_cast<const unsigned char*>(nul) - (data_.data() + pos_);
        std::memcpy(out, data_.data() + pos_, len + 1);
        pos_ += len + 1;
        return true;
    }
    bool bytes(void* out, size_t n) {
        if (data_.size() - pos_ < n)
            return false;
        std::memcpy(out, data_.data() + pos_, n);
        pos_ += n;
        return true;
    }
    bool int32(int32_t* v) { return bytes(v, 4); }

private:
    const Bytes& data_;
    size_t pos_ = 0;
};

struct Contents {
    char pname[ANAME_SZ];
    char pinst[INST_SZ];
    std::vector<CREDENTIALS> creds;
};

// Parses a whole ticket file; false when it is not well formed. The tickets
// are kept only when asked for (a save only checks the file).
bool parse(const Bytes& data, Contents* out, bool keepTickets) {
    if (data.size() > kMaxFileBytes)
        return false;
    Reader r(data);
    if (!r.name(out->pname, ANAME_SZ) || !r.name(out->pinst, INST_SZ))
        return false;
    out->creds.clear();
    while (!r.atEnd()) {
        CREDENTIALS c;
        std::memset(&c, 0, sizeof c);
        int32_t lifetime, kvno, length, issued;
        if (!r.name(c.service, ANAME_SZ) || !r.name(c.instance, INST_SZ) ||
            !r.name(c.realm, REALM_SZ) || !r.bytes(c.session, sizeof c.session) ||
            !r.int32(&lifetime) || !r.int32(&kvno) || !r.int32(&length))
            return false;
        if (length < 0 || length > MAX_KTXT_LEN || !r.bytes(c.ticket_st.dat, length) ||
            !r.int32(&issued))
            return false;
        c.lifetime = lifetime;
        c.kvno = kvno;
        c.ticket_st.length = length;
        c.issue_date = static_cast<long>(static_cast<uint32_t>(issued));
        if (keepTickets) {
            std::strcpy(c.pname, out->pname);
            std::strcpy(c.pinst, out->pinst);
            out->creds.push_back(c);
        }
    }
    return true;
}

// Overwrites an old ticket file of ours with zeros before it is removed, so
// its keys do not linger on disk. Only as far as a ticket file reaches, in
// fixed-size steps. A file with another name besides this one (a hard link
// planted at the ticket path) is not ours to wipe: only the name goes. Best
// effort: failures are ignored.
void scrub(const char* path, const struct stat& seen) {
    if (seen.st_nlink != 1)
        return;
    Fd fd(open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat now;
    if (!fd.ok() || fstat(fd.get(), &now) != 0 || now.st_dev != seen.st_dev ||
        now.st_ino != seen.st_ino || now.st_nlink != 1 || now.st_size <= 0)
        return;
    const size_t length = std::min(static_cast<uintmax_t>(now.st_size), uintmax_t{kMaxFileBytes});
    const Bytes zeros(64 * 1024, 0);
    for (size_t done = 0; done < length;) {
        const size_t n = std::min(zeros.size(), length - done);
        ssize_t written = pwrite(fd.get(), zeros.data(), n, static_cast<off_t>(done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        done += static_cast<size_t>(written);
    }
    fsync(fd.get());
}

// Opens a ticket file (never through a symbolic link), checks that it is a
// regular file of ours, and for a save one that nobody else may write, locks
// it (exclusively for a save) and reads it. KSUCCESS with fd open and
// locked, or the status of the failing step.
int openAndLoad(Fd& fd, const char* path, bool forSave, Bytes* data) {
    fd.adopt(open(path, (forSave ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.ok())
        return errno == ENOENT ? NO_TKT_FIL : TKT_FIL_ACC;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        (forSave && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0))
        return TKT_FIL_ACC;
    if (!lockFile(fd.get(), forSave ? LOCK_EX : LOCK_SH))
        return TKT_FIL_LCK;
    if (!readAll(fd.get(), data))
        return TKT_FIL_ACC;
    return KSUCCESS;
}

// State of the reading interface between tf_init and tf_close.
struct ReadState {
    bool open = false;
    int step = 0; // 0: name next, 1: instance next, 2: tickets
    size_t next = 0;
    Contents contents;
};

ReadState& readState() {
    static ReadState state;
    return state;
}

// tf_get_pname (step 0) and tf_get_pinst (step 1): the header name due at
// step, then on to the next step.
int getHeaderName(char* p, int step) {
    ReadState& rs = readState();
    if (!rs.open || rs.step != step)
        return TKT_FIL_INI;
    std::strcpy(p, step == 0 ? rs.contents.pname : rs.contents.pinst);
    rs.step = step + 1;
    return KSUCCESS;
}

} // namespace

extern "C" const char* tkt_string(void) {
    static std::string name;
    const char* env = std::getenv("KRBTKFILE");
    try {
        if (env != nullptr && *env != '\0')
            name = env;
        else
            name = TKT_ROOT + std::to_string(getuid());
    } catch (...) {
        name.clear(); // no memory for the name: one that names no file
    }
    return name.c_str();
}

extern "C" int krb_in_tkt(const char* pname, const char* pinst, const char* realm) {
    return guarded([&] {
        if (!fits(pname, ANAME_SZ) || !fits(pinst, INST_SZ) || !fits(realm, REALM_SZ))
            return KNAME_FMT;
        const std::string path = tkt_string();

        struct stat st;
        if (lstat(path.c_str(), &st) == 0) {
            // Only a regular file of our own may be replaced; a link or another
            // user's file is left alone.
            if (!S_ISREG(st.st_mode) || st.st_uid != geteuid())
                return TKT_FIL_ACC;
            scrub(path.c_str(), st);
            if (unlink(path.c_str()) != 0 && errno != ENOENT)
                return TKT_FIL_ACC;
        } else if (errno != ENOENT) {
            return TKT_FIL_ACC;
        }

        // O_EXCL with O_NOFOLLOW: a link or file planted since the check makes
        // the create fail instead of being followed or reused.
        Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.ok())
            return TKT_FIL_ACC;
        Bytes head;
        putName(&head, pname);
        putName(&head, pinst);
        bool written = fchmod(fd.get(), 0600) == 0 && lockFile(fd.get(), LOCK_EX) &&
                       writeAllAt(fd.get(), head, 0) && fsync(fd.get()) == 0;
        if (!fd.close() || !written) {
            unlink(path.c_str());
            return TKT_FIL_ACC;
        }
        return KSUCCESS;
    });
}

extern "C" int krb_save_credentials(const char* service, const char* instance, const char* realm,
                                    const C_Block session, int lifetime, int kvno,
                                    const struct ktext* ticket, long issue_date) {
    return guarded([&] {
        if (!fits(service, ANAME_SZ) || !fits(instance, INST_SZ) || !fits(realm, REALM_SZ))
            return KNAME_FMT;
        if (session == nullptr || ticket == nullptr || ticket->length < 0 ||
            ticket->length > MAX_KTXT_LEN || issue_date < 0 ||
            static_cast<unsigned long>(issue_date) > UINT32_MAX)
            return KFAILURE;
        const std::string path = tkt_string();

        Fd fd(-1);
        Bytes old;
        if (int status = openAndLoad(fd, path.c_str(), true, &old))
            return status;
        // Append only to a well-formed file, so the new ticket stays readable.
        Contents contents;
        if (!parse(old, &contents, false))
            return TKT_FIL_FMT;

        Bytes rec;
        putName(&rec, service);
        putName(&rec, instance);
        putName(&rec, realm);
        rec.insert(rec.end(), session, session + sizeof(C_Block));
        putInt32(&rec, lifetime);
        putInt32(&rec, kvno);
        putInt32(&rec, ticket->length);
        rec.insert(rec.end(), ticket->dat, ticket->dat + ticket->length);
        putInt32(&rec, static_cast<int32_t>(static_cast<uint32_t>(issue_date)));

        if (old.size() + rec.size() > kMaxFileBytes)
            return KFAILURE; // the file holds as many tickets as it may
        const off_t end = static_cast<off_t>(old.size());
        if (!writeAllAt(fd.get(), rec, end) || fsync(fd.get()) != 0) {
            // Cut off a partial record so the earlier tickets stay readable.
            if (ftruncate(fd.get(), end) == 0)
                fsync(fd.get());
            return TKT_FIL_ACC;
        }
        if (!fd.close())
            return TKT_FIL_ACC;
        return KSUCCESS;
    });
}

extern "C" int tf_init(const char* tf_name, int rw) {
    return guarded([&] {
        ReadState& rs = readState();
        rs = ReadState{};
        if (tf_name == nullptr || rw != R_TKT_FIL)
            return KFAILURE;
        Fd fd(-1);
        Bytes data;
        if (int status = openAndLoad(fd, tf_name, false, &data))
            return status;
        if (!parse(data, &rs.contents, true))
            return TKT_FIL_FMT;
        rs.open = true;
        return KSUCCESS;
    });
}

extern "C" int tf_get_pname(char* p) {
    return getHeaderName(p, 0);
}

extern "C" int tf_get_pinst(char* p) {
    return getHeaderName(p, 1);
}

extern "C" int tf_get_cred(CREDENTIALS* c) {
    ReadState& rs = readState();
    if (!rs.open || rs.step != 2)
        return TKT_FIL_INI;
    if (rs.next >= rs.contents.creds.size())
        return EOF;
    *c = rs.contents.creds[rs.next++];
    return KSUCCESS;
}

extern "C" void tf_close(void) {
    readState() = ReadState{};
}
