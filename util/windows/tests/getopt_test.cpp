#include "windows/getopt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

namespace w = util::windows;

namespace {

// Every scan in this file uses the same argument 0, so the program name the
// scanner keeps from its first call is "prog" whichever test runs first.
constexpr const char* kArg0 = "/usr/local/bin/prog";

// An argument vector with its own storage and a terminating null.
class Args {
public:
    Args(std::initializer_list<std::string> rest) : text_{kArg0} {
        text_.insert(text_.end(), rest.begin(), rest.end());
        for (auto& s : text_)
            ptrs_.push_back(s.data());
        ptrs_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(text_.size()); }
    char* const* argv() const { return ptrs_.data(); }

private:
    std::vector<std::string> text_;
    std::vector<char*> ptrs_;
};

// Starts a fresh scan as a caller would for a second argument list.
void restart() {
    w::optind = 1;
    w::optreset = 1;
    w::opterr = 1;
}

int next(const Args& a, const char* opts = "p:n") {
    return w::getopt(a.argc(), a.argv(), opts);
}

std::string scanAllCapturingStderr(const Args& a, const char* opts, std::string* results) {
    testing::internal::CaptureStderr();
    for (int c; (c = next(a, opts)) != -1;)
        results->push_back(static_cast<char>(c));
    return testing::internal::GetCapturedStderr();
}

} // namespace

TEST(Getopt, SeparateOptionsAndArgument) {
    restart();
    Args a{"-n", "-p", "X"};
    EXPECT_EQ(next(a), 'n');
    EXPECT_EQ(w::optarg, nullptr);
    EXPECT_EQ(next(a), 'p');
    EXPECT_STREQ(w::optarg, "X");
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(w::optind, 4);
}

TEST(Getopt, GroupedLettersAndAttachedArgument) {
    restart();
    Args a{"-npX", "rest"};
    EXPECT_EQ(next(a), 'n');
    EXPECT_EQ(w::optind, 1) << "still inside the grouped argument";
    EXPECT_EQ(next(a), 'p');
    EXPECT_STREQ(w::optarg, "X");
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(w::optind, 2);

    restart();
    Args b{"-np", "Y"};
    EXPECT_EQ(next(b), 'n');
    EXPECT_EQ(next(b), 'p');
    EXPECT_STREQ(w::optarg, "Y");
    EXPECT_EQ(next(b), -1);
    EXPECT_EQ(w::optind, 3);
}

TEST(Getopt, OptionArgumentMayBeginWithDash) {
    restart();
    Args a{"-p", "-n"};
    EXPECT_EQ(next(a), 'p');
    EXPECT_STREQ(w::optarg, "-n");
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(w::optind, 3);
}

TEST(Getopt, FlagClearsEarlierOptionArgument) {
    restart();
    Args a{"-pX", "-n"};
    EXPECT_EQ(next(a), 'p');
    EXPECT_EQ(next(a), 'n');
    EXPECT_EQ(w::optarg, nullptr);
}

TEST(Getopt, MissingArgumentReportsAndReturnsQuestionMark) {
    restart();
    Args a{"-n", "-p"};
    std::string got;
    std::string err = scanAllCapturingStderr(a, "p:n", &got);
    EXPECT_EQ(got, "n?");
    EXPECT_EQ(err, "prog: option requires an argument -- p\n");
    EXPECT_EQ(w::optopt, 'p');
    EXPECT_EQ(w::optind, 3);
}

TEST(Getopt, EndOfOptions) {
    restart();
    Args dd{"-n", "--", "-p", "X"};
    EXPECT_EQ(next(dd), 'n');
    EXPECT_EQ(next(dd), -1);
    EXPECT_EQ(w::optind, 3) << "\"--\" is consumed";

    restart();
    Args lone{"-n", "-", "-n"};
    EXPECT_EQ(next(lone), 'n');
    EXPECT_EQ(next(lone), -1);
    EXPECT_EQ(w::optind, 2) << "a lone \"-\" is not consumed";

    restart();
    Args word{"-n", "file", "-x"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(next(word), 'n');
    EXPECT_EQ(next(word), -1);
    EXPECT_EQ(next(word), -1) << "arguments after the first operand are not scanned";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(w::optind, 2);

    restart();
    Args none{};
    EXPECT_EQ(next(none), -1);
    EXPECT_EQ(w::optind, 1);

    restart();
    Args dashword{"--x"};
    EXPECT_EQ(next(dashword), -1) << "\"--x\" is not \"--\" but its '-' still ends the scan";
    EXPECT_EQ(w::optind, 1);
}

TEST(Getopt, IllegalOptionsAreReportedAndScanningGoesOn) {
    restart();
    Args a{"-x", "-n", "-yn", "-p", "V"};
    std::string got;
    std::string err = scanAllCapturingStderr(a, "p:n", &got);
    EXPECT_EQ(got, "?n?np");
    EXPECT_STREQ(w::optarg, "V");
    EXPECT_EQ(err, "prog: illegal option -- x\nprog: illegal option -- y\n");
    EXPECT_EQ(w::optind, 6);

    // ':' is never an option letter, even though it appears in the string.
    restart();
    Args colon{"-:"};
    got.clear();
    err = scanAllCapturingStderr(colon, "p:n", &got);
    EXPECT_EQ(got, "?");
    EXPECT_EQ(w::optopt, ':');
    EXPECT_EQ(err, "prog: illegal option -- :\n");

    // A high byte is an unknown letter, not the end of the options.
    restart();
    Args high{"-\xff", "-n"};
    got.clear();
    testing::internal::CaptureStderr();
    EXPECT_EQ(next(high), '?');
    EXPECT_EQ(w::optopt, 0xff);
    EXPECT_EQ(next(high), 'n');
    testing::internal::GetCapturedStderr();
}

TEST(Getopt, SilencedMessages) {
    restart();
    w::opterr = 0;
    Args a{"-x", "-p"};
    std::string got;
    std::string err = scanAllCapturingStderr(a, "p:n", &got);
    EXPECT_EQ(got, "??");
    EXPECT_EQ(err, "");

    restart();
    got.clear();
    err = scanAllCapturingStderr(a, ":p:n", &got);
    EXPECT_EQ(got, "?:") << "a leading ':' reports a missing argument as ':'";
    EXPECT_EQ(err, "");
    w::opterr = 1;
}

TEST(Getopt, ResetRestartsInTheMiddleOfAGroup) {
    restart();
    Args first{"-nnn"};
    EXPECT_EQ(next(first), 'n');
    EXPECT_EQ(w::optind, 1);

    restart();
    Args second{"-pA", "-n"};
    EXPECT_EQ(next(second), 'p');
    EXPECT_STREQ(w::optarg, "A");
    EXPECT_EQ(next(second), 'n');
    EXPECT_EQ(next(second), -1);
    EXPECT_EQ(w::optind, 3);
}

TEST(Getopt, OutOfRangeIndexEndsTheScan) {
    restart();
    Args a{"-n"};
    w::optind = -3;
    EXPECT_EQ(next(a), -1);
    w::optind = 7;
    w::optreset = 1;
    EXPECT_EQ(next(a), -1);
}

TEST(GetoptDeathTest, ProgramNameIsTakenOnceAfterTheLastForwardSlash) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Each death test child starts with a fresh scanner.
    auto scanBad = [](const char* arg0) {
        std::string a0 = arg0, x = "-x";
        char* argv[] = {a0.data(), x.data(), nullptr};
        w::getopt(2, argv, "n");
        std::string other = "/bin/other";
        argv[0] = other.data();
        w::optind = 1;
        w::optreset = 1;
        w::getopt(2, argv, "n");
        std::exit(0);
    };
    EXPECT_EXIT(scanBad("C:\\tools\\prog.exe"), testing::ExitedWithCode(0),
                "^C:\\\\tools\\\\prog\\.exe: illegal option -- x\n"
                "C:\\\\tools\\\\prog\\.exe: illegal option -- x\n$");
    EXPECT_EXIT(scanBad("a/b/"), testing::ExitedWithCode(0),
                "^: illegal option -- x\n: illegal option -- x\n$");
    EXPECT_EXIT(scanBad("plain"), testing::ExitedWithCode(0), "^plain: illegal option -- x\n");
}

TEST(GetoptDeathTest, PreconditionsAreAsserted) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::string a0 = "prog";
    char* argv[] = {a0.data(), nullptr};
    char* noArg0[] = {nullptr};
    EXPECT_DEATH(w::getopt(1, nullptr, "n"), "Assertion `nargv != \\(\\(void \\*\\)0\\)' failed");
    EXPECT_DEATH(w::getopt(1, argv, nullptr), "Assertion `ostr != \\(\\(void \\*\\)0\\)' failed");
    EXPECT_DEATH(w::getopt(0, noArg0, "n"), "Assertion `nargv0 != \\(\\(void \\*\\)0\\)' failed");
}
