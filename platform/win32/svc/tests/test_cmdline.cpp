// Windows command-line splitting of ImagePath.
#include "svc/scm.h"

#include <gtest/gtest.h>

using w32p::scm::SplitCommandLine;
using V = std::vector<std::string>;

TEST(ScmCommandLine, BlanksQuotesAndBackslashes) {
    EXPECT_EQ(SplitCommandLine("  /usr/bin/perl  -Ilib\tx.pl  "),
              (V{"/usr/bin/perl", "-Ilib", "x.pl"}));
    EXPECT_EQ(SplitCommandLine("\"C:\\Program Files\\x.exe\" -a"),
              (V{"C:\\Program Files\\x.exe", "-a"}));
    EXPECT_EQ(SplitCommandLine("a\"b c\"d"), (V{"ab cd"}));
    // Backslashes are literal unless they precede a quote.
    EXPECT_EQ(SplitCommandLine("a\\\\b c\\d"), (V{"a\\\\b", "c\\d"}));
    EXPECT_EQ(SplitCommandLine("\"a\\\\\" b"), (V{"a\\", "b"}));
    EXPECT_EQ(SplitCommandLine("a\\\"b"), (V{"a\"b"}));
    EXPECT_EQ(SplitCommandLine("\"\" x"), (V{"", "x"}));
    EXPECT_EQ(SplitCommandLine("\"a\"\"b\""), (V{"a\"b"}));
    EXPECT_EQ(SplitCommandLine("\"unterminated arg"), (V{"unterminated arg"}));
    EXPECT_TRUE(SplitCommandLine("   ").empty());
}

TEST(ScmCommandLine, QuotedArgumentsSplitBackUnchanged) {
    using w32p::scm::QuoteCommandLineArgument;
    const V args{"plain",
                 "",
                 "two words",
                 "tab\there",
                 "say \"hi\"",
                 "C:\\dir\\",
                 "C:\\dir with blank\\",
                 "a\\\\\"b",
                 "\\\\host\\share",
                 "\"",
                 "\\"};
    std::string line;
    for (const auto& a : args)
        line += (line.empty() ? "" : " ") + QuoteCommandLineArgument(a);
    EXPECT_EQ(SplitCommandLine(line), args) << line;
    EXPECT_EQ(QuoteCommandLineArgument("C:\\x.exe"), "C:\\x.exe"); // left as it is
}
