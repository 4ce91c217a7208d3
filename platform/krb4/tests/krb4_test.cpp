#include "krb.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Ticket {
    std::string service, instance, realm;
    unsigned char key[8];
    int lifetime, kvno;
    std::string ticket;
    long issued;
};

Ticket sample(int n) {
    Ticket t{"svc" + std::to_string(n),
             "inst" + std::to_string(n),
             "REALM.TEST",
             {},
             10 + n,
             n,
             std::string(static_cast<size_t>(20 + n), static_cast<char>('a' + n)),
             1700000000L + n};
    for (int i = 0; i < 8; ++i)
        t.key[i] = static_cast<unsigned char>(n * 16 + i);
    return t;
}

int save(const Ticket& t) {
    KTEXT_ST k{};
    k.length = static_cast<int>(t.ticket.size());
    std::memcpy(k.dat, t.ticket.data(), t.ticket.size());
    return krb_save_credentials(t.service.c_str(), t.instance.c_str(), t.realm.c_str(), t.key,
                                t.lifetime, t.kvno, &k, t.issued);
}

class TicketFile : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/krb4-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        file_ = dir_ / "tkt";
        setenv("KRBTKFILE", file_.c_str(), 1);
    }
    void TearDown() override {
        tf_close();
        unsetenv("KRBTKFILE");
        fs::remove_all(dir_);
    }

    // Reads the whole file back through the reading interface.
    int readBack(std::string* pname, std::string* pinst, std::vector<CREDENTIALS>* creds) {
        char n[ANAME_SZ], i[INST_SZ];
        int st = tf_init(file_.c_str(), R_TKT_FIL);
        if (st == KSUCCESS)
            st = tf_get_pname(n);
        if (st == KSUCCESS)
            st = tf_get_pinst(i);
        if (st != KSUCCESS)
            return st;
        *pname = n;
        *pinst = i;
        CREDENTIALS c;
        while ((st = tf_get_cred(&c)) == KSUCCESS)
            creds->push_back(c);
        tf_close();
        return st == EOF ? KSUCCESS : st;
    }

    static void expectSame(const CREDENTIALS& c, const Ticket& t) {
        EXPECT_EQ(c.service, t.service);
        EXPECT_EQ(c.instance, t.instance);
        EXPECT_EQ(c.realm, t.realm);
        EXPECT_EQ(0, std::memcmp(c.session, t.key, 8));
        EXPECT_EQ(c.lifetime, t.lifetime);
        EXPECT_EQ(c.kvno, t.kvno);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.ticket_st.dat),
                              static_cast<size_t>(c.ticket_st.length)),
                  t.ticket);
        EXPECT_EQ(c.issue_date, t.issued);
    }

    fs::path dir_, file_;
};

} // namespace

TEST_F(TicketFile, RoundTripThroughTheReader) {
    ASSERT_EQ(krb_in_tkt("alice", "admin", "REALM.TEST"), KSUCCESS);
    ASSERT_EQ(save(sample(1)), KSUCCESS);
    ASSERT_EQ(save(sample(2)), KSUCCESS);

    std::string pname, pinst;
    std::vector<CREDENTIALS> creds;
    ASSERT_EQ(readBack(&pname, &pinst, &creds), KSUCCESS);
    EXPECT_EQ(pname, "alice");
    EXPECT_EQ(pinst, "admin");
    ASSERT_EQ(creds.size(), 2u);
    expectSame(creds[0], sample(1));
    expectSame(creds[1], sample(2));
    EXPECT_STREQ(creds[1].pname, "alice");
}

TEST_F(TicketFile, LargestNamesAndTicketRoundTrip) {
    std::string n39(39, 'n');
    Ticket t = sample(3);
    t.service = std::string(39, 's');
    t.instance = "";
    t.realm = std::string(39, 'R');
    t.ticket = std::string(MAX_KTXT_LEN, '\x7f');
    t.issued = 0xFFFFFFFFL;
    ASSERT_EQ(krb_in_tkt(n39.c_str(), "", t.realm.c_str()), KSUCCESS);
    ASSERT_EQ(save(t), KSUCCESS);
    std::string pname, pinst;
    std::vector<CREDENTIALS> creds;
    ASSERT_EQ(readBack(&pname, &pinst, &creds), KSUCCESS);
    EXPECT_EQ(pname, n39);
    ASSERT_EQ(creds.size(), 1u);
    expectSame(creds[0], t);
}

TEST_F(TicketFile, ByteExactLayout) {
    if constexpr (std::endian::native != std::endian::little)
        GTEST_SKIP() << "expected bytes are written for a little-endian host";
    ASSERT_EQ(krb_in_tkt("bob", "", "EX.ORG"), KSUCCESS);
    Ticket t{"krbtgt", "EX.ORG", "EX.ORG", {1, 2, 3, 4, 5, 6, 7, 8}, 120, 5, "abc", 0x5F5E1000L};
    ASSERT_EQ(save(t), KSUCCESS);
    const std::string expected("bob\0\0"
                               "krbtgt\0EX.ORG\0EX.ORG\0"
                               "\x01\x02\x03\x04\x05\x06\x07\x08"
                               "\x78\0\0\0"
                               "\x05\0\0\0"
                               "\x03\0\0\0"
                               "abc"
                               "\x00\x10\x5e\x5f",
                               5 + 21 + 8 + 12 + 3 + 4);
    EXPECT_EQ(slurp(file_), expected);
}

TEST_F(TicketFile, CreateStartsAfreshWithPrivateMode) {
    ASSERT_EQ(krb_in_tkt("alice", "", "R"), KSUCCESS);
    ASSERT_EQ(save(sample(1)), KSUCCESS);
    chmod(file_.c_str(), 0644);
    mode_t old = umask(0);
    int st = krb_in_tkt("carol", "x", "R");
    umask(old);
    ASSERT_EQ(st, KSUCCESS);
    EXPECT_EQ(slurp(file_), std::string("carol\0x\0", 8));
    struct stat sb;
    ASSERT_EQ(stat(file_.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0600u);
}

TEST_F(TicketFile, NeverThroughASymbolicLink) {
    fs::path target = dir_ / "target";
    std::ofstream(target) << "precious";
    fs::create_symlink(target, file_);
    EXPECT_EQ(krb_in_tkt("alice", "", "R"), TKT_FIL_ACC);
    EXPECT_EQ(save(sample(1)), TKT_FIL_ACC);
    EXPECT_EQ(slurp(target), "precious");
    EXPECT_TRUE(fs::is_symlink(file_));

    // A dangling link must not make the create bring its target into being.
    fs::remove(file_);
    fs::create_symlink(dir_ / "absent", file_);
    EXPECT_EQ(krb_in_tkt("alice", "", "R"), TKT_FIL_ACC);
    EXPECT_FALSE(fs::exists(dir_ / "absent"));
}

TEST_F(TicketFile, RefusesAnotherUsersFile) {
    ASSERT_EQ(krb_in_tkt("alice", "", "R"), KSUCCESS);
    ASSERT_EQ(save(sample(1)), KSUCCESS);
    const std::string before = slurp(file_);
    if (chown(file_.c_str(), geteuid() + 4242, static_cast<gid_t>(-1)) != 0)
        GTEST_SKIP() << "changing a file's owner needs root";
    EXPECT_EQ(krb_in_tkt("mallory", "", "R"), TKT_FIL_ACC);
    EXPECT_EQ(save(sample(2)), TKT_FIL_ACC);
    EXPECT_EQ(slurp(file_), before);
}

TEST_F(TicketFile, SaveRefusesFilesOthersCanWrite) {
    ASSERT_EQ(krb_in_tkt("alice", "", "R"), KSUCCESS);
    const std::string before = slurp(file_);
    for (mode_t mode : {0620, 0602}) {
        chmod(file_.c_str(), mode);
        EXPECT_EQ(save(sample(1)), TKT_FIL_ACC) << std::oct << mode;
    }
    EXPECT_EQ(slurp(file_), before);
}

TEST_F(TicketFile, SaveNeedsAnExistingWellFormedFile) {
    EXPECT_EQ(save(sample(1)), NO_TKT_FIL);
    EXPECT_FALSE(fs::exists(file_));

    // Truncated in the middle of a ticket: appending would bury it.
    ASSERT_EQ(krb_in_tkt("alice", "", "R"), KSUCCESS);
    ASSERT_EQ(save(sample(1)), KSUCCESS);
    fs::resize_file(file_, fs::file_size(file_) - 3);
    const std::string before = slurp(file_);
    EXPECT_EQ(save(sample(2)), TKT_FIL_FMT);
    EXPECT_EQ(slurp(file_), before);
    EXPECT_EQ(tf_init(file_.c_str(), R_TKT_FIL), TKT_FIL_FMT);

    // A principal name with no terminator within its field.
    {
        std::ofstream out(file_, std::ios::binary | std::ios::trunc);
        out << std::string(ANAME_SZ, 'x');
    }
    EXPECT_EQ(save(sample(2)), TKT_FIL_FMT);
}

TEST_F(TicketFile, BadArgumentsLeaveTheFileAlone) {
    ASSERT_EQ(krb_in_tkt("alice", "", "R"), KSUCCESS);
    ASSERT_EQ(save(sample(1)), KSUCCESS);
    const std::string before = slurp(file_);

    Ticket longName = sample(2);
    longName.service = std::string(ANAME_SZ, 's');
    EXPECT_EQ(save(longName), KNAME_FMT);
    EXPECT_EQ(krb_in_tkt(std::string(ANAME_SZ, 'a').c_str(), "", "R"), KNAME_FMT);
    EXPECT_EQ(krb_in_tkt("a", "", nullptr), KNAME_FMT);

    KTEXT_ST k{};
    unsigned char key[8] = {};
    for (int len : {-1, MAX_KTXT_LEN + 1}) {
        k.length = len;
        EXPECT_EQ(krb_save_credentials("s", "", "R", key, 1, 1, &k, 1), KFAILURE);
    }
    k.length = 0;
    EXPECT_EQ(krb_save_credentials("s", "", "R", key, 1, 1, &k, -5), KFAILURE);
    EXPECT_EQ(slurp(file_), before);
}

TEST_F(TicketFile, FailedWriteKeepsEarlierTickets) {
    ASSERT_EQ(krb_in_tkt("alice", "", "R"), KSUCCESS);
    ASSERT_EQ(save(sample(1)), KSUCCESS);
    const std::string before = slurp(file_);

    // The child may grow the file by only a few bytes: the write of the new
    // ticket stops part way, and the save must cut the partial record off.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl;
        rl.rlim_cur = rl.rlim_max = before.size() + 10;
        setrlimit(RLIMIT_FSIZE, &rl);
        _exit(save(sample(2)));
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), TKT_FIL_ACC);
    EXPECT_EQ(slurp(file_), before);
}

TEST_F(TicketFile, LockHeldByAnotherProcess) {
    ASSERT_EQ(krb_in_tkt("alice", "", "R"), KSUCCESS);
    int fd = open(file_.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    EXPECT_EQ(save(sample(1)), TKT_FIL_LCK);
    close(fd);
    EXPECT_EQ(save(sample(1)), KSUCCESS);
}

TEST_F(TicketFile, ReaderOrderAndDefaultName) {
    EXPECT_EQ(tf_get_cred(nullptr), TKT_FIL_INI);
    ASSERT_EQ(krb_in_tkt("alice", "", "R"), KSUCCESS);
    ASSERT_EQ(tf_init(file_.c_str(), R_TKT_FIL), KSUCCESS);
    CREDENTIALS c;
    EXPECT_EQ(tf_get_cred(&c), TKT_FIL_INI) << "the names come first";
    tf_close();
    EXPECT_EQ(tf_init((dir_ / "none").c_str(), R_TKT_FIL), NO_TKT_FIL);

    EXPECT_STREQ(tkt_string(), file_.c_str());
    unsetenv("KRBTKFILE");
    EXPECT_EQ(std::string(tkt_string()), "/tmp/tkt" + std::to_string(getuid()));
}

// Replacing a ticket file that has other names (a hard link to one of the
// user's files planted at the predictable default path) removes the name
// only: the linked file keeps its contents.
TEST_F(TicketFile, ReplacingAHardLinkedFileLeavesItsContents) {
    fs::path other = dir_ / "notes";
    std::ofstream(other) << "my own notes";
    fs::create_hard_link(other, file_);
    ASSERT_EQ(krb_in_tkt("alice", "", "R"), KSUCCESS);
    EXPECT_EQ(slurp(other), "my own notes");
    EXPECT_EQ(fs::hard_link_count(other), 1u);
    EXPECT_EQ(slurp(file_), std::string("alice\0\0", 7));
}

// The old file's bytes are zeroed before its name goes, also for a huge
// sparse file: in bounded steps, without reading it into memory.
TEST_F(TicketFile, ReplacingAHugeSparseFileZeroesItsData) {
    ASSERT_EQ(krb_in_tkt("alice", "", "R"), KSUCCESS);
    ASSERT_EQ(save(sample(1)), KSUCCESS);
    const uintmax_t head = fs::file_size(file_);
    int fd = open(file_.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    if (ftruncate(fd, off_t{1} << 40) != 0) {
        close(fd);
        GTEST_SKIP() << "this file system holds no sparse file of 1 TiB";
    }
    ASSERT_EQ(krb_in_tkt("bob", "", "R"), KSUCCESS);
    // The descriptor still reaches the old file's bytes.
    std::string old(head, 'x');
    ASSERT_EQ(pread(fd, old.data(), old.size(), 0), static_cast<ssize_t>(old.size()));
    close(fd);
    EXPECT_EQ(old, std::string(head, '\0'));
    EXPECT_EQ(slurp(file_), std::string("bob\0\0", 5));
}

// A file beyond any size a ticket file reaches is malformed: it is never
// read into memory, and nothing is appended to it.
TEST_F(TicketFile, HugeFileIsNotReadOrAppendedTo) {
    ASSERT_EQ(krb_in_tkt("alice", "", "R"), KSUCCESS);
    if (truncate(file_.c_str(), off_t{1} << 40) != 0)
        GTEST_SKIP() << "this file system holds no sparse file of 1 TiB";
    EXPECT_EQ(save(sample(1)), TKT_FIL_FMT);
    EXPECT_EQ(tf_init(file_.c_str(), R_TKT_FIL), TKT_FIL_FMT);
    EXPECT_EQ(fs::file_size(file_), uintmax_t{1} << 40);
}

// An empty file (for instance one cut short before its header) is malformed
// for the reader and for a save, and is replaced by a create.
TEST_F(TicketFile, EmptyFile) {
    std::ofstream(file_).close();
    chmod(file_.c_str(), 0600);
    EXPECT_EQ(tf_init(file_.c_str(), R_TKT_FIL), TKT_FIL_FMT);
    EXPECT_EQ(save(sample(1)), TKT_FIL_FMT);
    EXPECT_EQ(fs::file_size(file_), 0u);
    EXPECT_EQ(krb_in_tkt("alice", "", "R"), KSUCCESS);
    EXPECT_EQ(slurp(file_), std::string("alice\0\0", 7));
}

// A file holds at most 1 MiB of tickets: a save that would take it past
// that fails and leaves it as it was. (Zero bytes after the header read as
// tickets of 27 bytes each.)
TEST_F(TicketFile, SaveStopsAtTheLargestFile) {
    ASSERT_EQ(krb_in_tkt("alice", "", "R"), KSUCCESS);
    const uintmax_t header = fs::file_size(file_);
    const uintmax_t full = header + (((uintmax_t{1} << 20) - header) / 27) * 27;
    fs::resize_file(file_, full);
    EXPECT_EQ(save(sample(1)), KFAILURE);
    EXPECT_EQ(fs::file_size(file_), full);
    fs::resize_file(file_, full - 27 * 3);
    EXPECT_EQ(save(sample(1)), KSUCCESS);
}
