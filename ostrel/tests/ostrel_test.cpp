// ostrel end to end: the real program against a loopback KDC, first with the
// installed Kerberos 5 library as it is, then with the test preload library
// supplying what that library lacks.
#include "kdc_fixture.h"

extern "C" {
#include <com_err.h>
}
#include <krb5.h>
#include <krb.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using ostrel_test::EnvChanges;
using ostrel_test::LoopbackKdc;
using ostrel_test::RunResult;

namespace {

const std::string kUsage = "Usage: ostrel [-p principal] [-n]\n";

std::string text(krb5_error_code code) {
    return error_message(code);
}

std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string realmMessage(const std::string& prog) {
    return prog +
           ": Client and server principals' realm names are different;\n"
           "\tbecause of limitations in the krb4 ticket file implementation,\n"
           "\tthis doesn't work for an initial ticket.  Try `" +
           prog +
           " -n'\n"
           "\tif you already have other krb4 tickets, or convert the\n"
           "\tticket-granting ticket from your home realm.\n";
}

class Ostrel : public testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            kdc_ = new LoopbackKdc();
        } catch (const std::exception& e) {
            setupError_ = e.what();
            return;
        }
        // This process reads the same cache to check what ostrel wrote.
        for (const auto& [key, value] : kdc_->env())
            if (value)
                setenv(key.c_str(), value->c_str(), 1);
            else
                unsetenv(key.c_str());
        if (krb5_init_context(&ctx_) != 0)
            setupError_ = "krb5_init_context failed in the test";
    }
    static void TearDownTestSuite() {
        if (ctx_ != nullptr)
            krb5_free_context(ctx_);
        ctx_ = nullptr;
        delete kdc_;
        kdc_ = nullptr;
    }

    void SetUp() override {
        ASSERT_EQ(setupError_, "");
        tkt_ = kdc_->path(std::string("tkt-") +
                          testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove(tkt_);
    }

    // Runs build/bin/ostrel with argv[0] as given (by default its path).
    RunResult run(std::vector<std::string> args, EnvChanges extra = {},
                  std::string arg0 = OSTREL_BIN) {
        EnvChanges env = kdc_->env();
        env["KRBTKFILE"] = tkt_;
        // ostrel frees nothing before it exits, by design.
        env["ASAN_OPTIONS"] = "detect_leaks=0:verify_asan_link_order=0";
        for (auto& [k, v] : extra)
            env[k] = v;
        args.insert(args.begin(), arg0);
        return ostrel_test::runProgram(OSTREL_BIN, args, env);
    }

    // The same, with the preload library giving the later steps what they need.
    RunResult runInterposed(std::vector<std::string> args, EnvChanges extra = {}) {
        EnvChanges env{{"LD_PRELOAD", INTERPOSER},
                       {"OSTREL_TEST_ANY_ENCTYPE", "1"},
                       {"OSTREL_TEST_CONVERT", "1"}};
        for (auto& [k, v] : extra)
            env[k] = v;
        return run(std::move(args), env);
    }

    static void expectFailure(const RunResult& r, const std::string& err) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err);
    }

    // The Kerberos 5 credentials for `server` that ostrel left in the cache.
    static std::unique_ptr<krb5_creds, void (*)(krb5_creds*)> cached(const std::string& server) {
        auto freeCreds = [](krb5_creds* c) {
            krb5_free_cred_contents(ctx_, c);
            delete c;
        };
        std::unique_ptr<krb5_creds, void (*)(krb5_creds*)> out(nullptr, freeCreds);
        krb5_ccache cc = nullptr;
        krb5_creds match{};
        auto* found = new krb5_creds{};
        if (krb5_cc_default(ctx_, &cc) == 0 &&
            krb5_cc_get_principal(ctx_, cc, &match.client) == 0 &&
            krb5_parse_name(ctx_, server.c_str(), &match.server) == 0 &&
            krb5_cc_retrieve_cred(ctx_, cc, 0, &match, found) == 0)
            out.reset(found);
        else
            delete found;
        krb5_free_cred_contents(ctx_, &match);
        if (cc != nullptr)
            krb5_cc_close(ctx_, cc);
        return out;
    }

    // Checks one Kerberos 4 ticket against the Kerberos 5 credentials it
    // was made from (see the preload library's conversion).
    static void expectTicketFrom(const CREDENTIALS& c, const std::string& server,
                                 const char* service, const char* instance, const char* realm) {
        auto v5 = cached(server);
        ASSERT_TRUE(v5) << "no cached credentials for " << server;
        EXPECT_STREQ(c.service, service);
        EXPECT_STREQ(c.instance, instance);
        EXPECT_STREQ(c.realm, realm);
        EXPECT_EQ(0, std::memcmp(c.session, v5->keyblock.contents, 8));
        ASSERT_EQ(c.ticket_st.length, static_cast<int>(v5->ticket.length));
        EXPECT_EQ(0, std::memcmp(c.ticket_st.dat, v5->ticket.data, v5->ticket.length));
        krb5_ticket* t = nullptr;
        ASSERT_EQ(krb5_decode_ticket(&v5->ticket, &t), 0);
        EXPECT_EQ(c.kvno, static_cast<int>(t->enc_part.kvno));
        krb5_free_ticket(ctx_, t);
        const long issued = v5->times.starttime ? v5->times.starttime : v5->times.authtime;
        EXPECT_EQ(c.issue_date, issued);
        EXPECT_EQ(c.lifetime, std::min<long>(255, (v5->times.endtime - issued) / 300));
    }

    // Reads the test's ticket file back.
    struct TicketFile {
        int status = -1;
        std::string pname, pinst;
        std::vector<CREDENTIALS> creds;
    };
    TicketFile readTickets() const {
        TicketFile tf;
        char n[ANAME_SZ], i[INST_SZ];
        tf.status = tf_init(tkt_.c_str(), R_TKT_FIL);
        if (tf.status == KSUCCESS)
            tf.status = tf_get_pname(n);
        if (tf.status == KSUCCESS)
            tf.status = tf_get_pinst(i);
        if (tf.status != KSUCCESS)
            return tf;
        tf.pname = n;
        tf.pinst = i;
        CREDENTIALS c;
        while ((tf.status = tf_get_cred(&c)) == KSUCCESS)
            tf.creds.push_back(c);
        if (tf.status == EOF)
            tf.status = KSUCCESS;
        tf_close();
        return tf;
    }

    static LoopbackKdc* kdc_;
    static krb5_context ctx_;
    static std::string setupError_;
    std::string tkt_;
};

LoopbackKdc* Ostrel::kdc_ = nullptr;
krb5_context Ostrel::ctx_ = nullptr;
std::string Ostrel::setupError_;

const std::string kTgs = std::string("krbtgt/") + LoopbackKdc::kRealm + "@" + LoopbackKdc::kRealm;
const std::string kLocalService = std::string("host/svc.test@") + LoopbackKdc::kRealm;
const std::string kOtherService = std::string("host/svc.other@") + LoopbackKdc::kOtherRealm;

} // namespace

// --- The installed library as it is ---

TEST_F(Ostrel, DefaultRunStopsAtTheLibrarysEncryptionTypeFailure) {
    RunResult r = run({});
    expectFailure(r, "ostrel: " + text(KRB5_PROG_ETYPE_NOSUPP) + " getting V5 credentials\n");
    EXPECT_FALSE(fs::exists(tkt_));
}

TEST_F(Ostrel, OneExtraArgumentIsIgnoredTwoAreAUsageError) {
    RunResult one = run({"extra"});
    expectFailure(one, "ostrel: " + text(KRB5_PROG_ETYPE_NOSUPP) + " getting V5 credentials\n");
    expectFailure(run({"-n", "a", "b"}), kUsage);
}

// There is no --help: "--" ends the options, and an argument that starts
// with "--" ends them too without being consumed, so "--help" is the one
// ignored argument of a conversion.
TEST_F(Ostrel, DoubleDashEndsTheOptions) {
    const std::string converted =
        "ostrel: " + text(KRB5_PROG_ETYPE_NOSUPP) + " getting V5 credentials\n";
    expectFailure(run({"--help"}), converted);
    expectFailure(run({"--", "-x"}), converted);
    expectFailure(run({"--help", "x"}), kUsage);
    expectFailure(run({"-n", "--", "-p", "x"}), kUsage);
}

TEST_F(Ostrel, NoCredentialsCache) {
    RunResult r = run({}, {{"KRB5CCNAME", "FILE:" + kdc_->path("no-such-cache")}});
    expectFailure(r,
                  "ostrel: " + text(KRB5_FCC_NOFILE) + " while retrieving user principal name\n");
}

TEST_F(Ostrel, MalformedServicePrincipal) {
    expectFailure(run({"-p", "host/a@B@C"}), "ostrel: " + text(KRB5_PARSE_MALFORMED) +
                                                 " while parsing service principal name\n");
}

TEST_F(Ostrel, OtherRealmNeedsAppendMode) {
    expectFailure(run({"-p", kOtherService}), realmMessage("ostrel"));
    // Same length, one byte apart.
    expectFailure(run({"-p", "host/x@TEST.REALN"}), realmMessage("ostrel"));
    EXPECT_FALSE(fs::exists(tkt_));

    // With -n there is no realm check: the library is asked for the ticket.
    RunResult r = run({"-n", "-p", kOtherService});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("ostrel: ", 0), 0u) << r.err;
    EXPECT_TRUE(r.err.ends_with(" getting V5 credentials\n")) << r.err;
}

TEST_F(Ostrel, BadOptionsGiveTheParserMessageThenUsage) {
    expectFailure(run({"-x"}), "ostrel: illegal option -- x\n" + kUsage);
    expectFailure(run({"-n", "-p"}), "ostrel: option requires an argument -- p\n" + kUsage);
    expectFailure(run({"-xy", "-p"}), "ostrel: illegal option -- x\nostrel: illegal option -- y\n"
                                      "ostrel: option requires an argument -- p\n" +
                                          kUsage);
}

TEST_F(Ostrel, ProgramNameComesFromArgumentZero) {
    expectFailure(run({"-x"}, {}, "C:\\bin\\ostrel.exe"),
                  "C:\\bin\\ostrel.exe: illegal option -- x\nUsage: C:\\bin\\ostrel.exe "
                  "[-p principal] [-n]\n");
    expectFailure(run({"-p", kOtherService}, {}, "/opt/k/conv"), realmMessage("conv"));
}

TEST_F(Ostrel, BrokenConfigurationIsReportedBeforeOptions) {
    const std::string bad = kdc_->path("broken.conf");
    std::ofstream(bad) << "[libdefaults\n  default_realm = \n{{{\n";
    krb5_context probe = nullptr;
    setenv("KRB5_CONFIG", bad.c_str(), 1);
    krb5_error_code expected = krb5_init_context(&probe);
    setenv("KRB5_CONFIG", kdc_->path("krb5.conf").c_str(), 1);
    ASSERT_NE(expected, 0) << "the broken file must break the library's start";

    RunResult r = run({"-x", "a", "b"}, {{"KRB5_CONFIG", bad}});
    expectFailure(r, "ostrel: " + text(expected) + " while initializing krb5\n");
}

// --- With the preload library supplying the missing abilities ---

TEST_F(Ostrel, RequestsTheTicketGrantingServiceWithKeyTypeOne) {
    const std::string log = kdc_->path("requests.log");
    fs::remove(log);
    run({}, {{"LD_PRELOAD", INTERPOSER}, {"OSTREL_TEST_RECORD", log}});
    EXPECT_EQ(slurp(log),
              "options=0 enctype=1 endtime=0 client=alice@TEST.REALM server=" + kTgs + "\n");
}

TEST_F(Ostrel, WritesAFreshTicketFile) {
    std::ofstream(tkt_) << "stale contents that are not a ticket file";
    RunResult r = runInterposed({});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    struct stat sb;
    ASSERT_EQ(lstat(tkt_.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0600u);
    TicketFile tf = readTickets();
    ASSERT_EQ(tf.status, KSUCCESS);
    EXPECT_EQ(tf.pname, "alice");
    EXPECT_EQ(tf.pinst, "");
    ASSERT_EQ(tf.creds.size(), 1u);
    expectTicketFrom(tf.creds[0], kTgs, "krbtgt", LoopbackKdc::kRealm, LoopbackKdc::kRealm);
}

// An old ticket file of 1 TiB (sparse) is replaced like any other, in
// bounded memory; with -n it is refused as malformed.
TEST_F(Ostrel, HugeOldTicketFile) {
    { std::ofstream(tkt_) << "old"; }
    chmod(tkt_.c_str(), 0600);
    if (truncate(tkt_.c_str(), off_t{1} << 40) != 0)
        GTEST_SKIP() << "this file system holds no sparse file of 1 TiB";
    expectFailure(runInterposed({"-n"}),
                  "ostrel: Bad ticket file format (tf_util) trying to save the V4 ticket\n");
    RunResult r = runInterposed({});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    TicketFile tf = readTickets();
    ASSERT_EQ(tf.status, KSUCCESS);
    EXPECT_EQ(tf.creds.size(), 1u);
    EXPECT_LT(fs::file_size(tkt_), 4096u);
}

TEST_F(Ostrel, AppendModeAddsToTheExistingFile) {
    ASSERT_EQ(runInterposed({}).status, 0);
    RunResult local = runInterposed({"-n", "-p", kLocalService});
    ASSERT_EQ(local.status, 0) << local.err;
    // Another realm's service, reached across the realms, with -n.
    RunResult other = runInterposed({"-p", kOtherService, "-n"});
    ASSERT_EQ(other.status, 0) << other.err;
    EXPECT_EQ(local.err + other.err, "");

    TicketFile tf = readTickets();
    ASSERT_EQ(tf.status, KSUCCESS);
    EXPECT_EQ(tf.pname, "alice");
    ASSERT_EQ(tf.creds.size(), 3u);
    expectTicketFrom(tf.creds[0], kTgs, "krbtgt", LoopbackKdc::kRealm, LoopbackKdc::kRealm);
    expectTicketFrom(tf.creds[1], kLocalService, "host", "svc.test", LoopbackKdc::kRealm);
    expectTicketFrom(tf.creds[2], kOtherService, "host", "svc.other", LoopbackKdc::kOtherRealm);

    // Without -n the file starts afresh again.
    ASSERT_EQ(runInterposed({"-p", kLocalService}).status, 0);
    tf = readTickets();
    ASSERT_EQ(tf.creds.size(), 1u);
    EXPECT_STREQ(tf.creds[0].service, "host");
}

TEST_F(Ostrel, AppendModeWithoutAFile) {
    expectFailure(runInterposed({"-n"}),
                  "ostrel: No ticket file (tf_util) trying to save the V4 ticket\n");
    EXPECT_FALSE(fs::exists(tkt_));
}

TEST_F(Ostrel, TicketFileBehindASymbolicLinkIsRefused) {
    const std::string target = kdc_->path("link-target");
    std::ofstream(target) << "keep";
    fs::create_symlink(target, tkt_);
    expectFailure(runInterposed({}),
                  "ostrel: Couldn't access ticket file (tf_util) trying to create the V4 ticket "
                  "file");
    EXPECT_EQ(slurp(target), "keep");
    fs::remove(tkt_);
    fs::remove(target);
}

TEST_F(Ostrel, FailedSaveKeepsTheCreatedFile) {
    expectFailure(runInterposed({}, {{"OSTREL_TEST_CONVERT", "oversize"}}),
                  "ostrel: Generic kerberos error (kfailure) trying to save the V4 ticket\n");
    TicketFile tf = readTickets();
    EXPECT_EQ(tf.status, KSUCCESS);
    EXPECT_EQ(tf.pname, "alice");
    EXPECT_TRUE(tf.creds.empty());
}

TEST_F(Ostrel, LibraryConversionRefusal) {
    RunResult r = runInterposed({}, {{"OSTREL_TEST_CONVERT", std::nullopt}});
    expectFailure(r, "ostrel: " + text(KRB524_KRB4_DISABLED) + " converting to V4 credentials\n");
    EXPECT_FALSE(fs::exists(tkt_));
}

TEST_F(Ostrel, EachKerberos5StepReportsItsFailure) {
    const std::string injected = text(KRB5_CC_IO);
    struct Step {
        const char* function;
        std::vector<std::string> args;
        const char* message;
    };
    const Step steps[] = {
        {"krb5_init_context", {"-x"}, "while initializing krb5"},
        {"krb5_cc_default", {}, "opening default credentials cache"},
        {"krb5_cc_get_principal", {}, "while retrieving user principal name"},
        {"krb5_parse_name", {"-p", kLocalService}, "while parsing service principal name"},
        {"krb5_build_principal", {}, "while creating service principal name"},
        {"krb5_get_credentials", {}, "getting V5 credentials"},
        {"krb5_524_convert_creds", {"-n"}, "converting to V4 credentials"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.function);
        expectFailure(runInterposed(s.args, {{"OSTREL_TEST_FAIL", s.function}}),
                      "ostrel: " + injected + " " + s.message + "\n");
        EXPECT_FALSE(fs::exists(tkt_));
    }
}
