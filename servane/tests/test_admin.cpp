// The builders of the service administration core: dependency lists, path
// quoting and command lines, the LocalSystem test, and the screened copy of
// a descriptor at a script-supplied address.
#include "admin.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace servane;
using namespace std::string_literals;

TEST(DependencyList, NamesInOrderEachTerminatedPlusFinalNul) {
    EXPECT_EQ(BuildDependencyList({"Tcpip", "Afd", "Dhcp"}), "Tcpip\0Afd\0Dhcp\0\0"s);
    EXPECT_EQ(BuildDependencyList({}), "\0"s);
    // An empty name is copied as it stands, so the list ends there.
    std::string list = BuildDependencyList({"A", "", "B"});
    EXPECT_EQ(SplitDependencyList(list.c_str()), (std::vector<std::string>{"A"}));
    // A name is copied as a C string, up to its first NUL.
    EXPECT_EQ(BuildDependencyList({"A\0B"s, "C"}), "A\0C\0\0"s);
    EXPECT_EQ(BuildDependencyList({"\0B"s, "C"}), "\0C\0\0"s);
}

TEST(DependencyList, LongListsAreKeptWhole) {
    std::vector<std::string> names;
    for (int i = 0; i < 500; ++i)
        names.push_back("Service" + std::to_string(i));
    std::string list = BuildDependencyList(names);
    EXPECT_GT(list.size(), 2048u);
    EXPECT_EQ(SplitDependencyList(list.c_str()), names);
}

TEST(DependencyList, TextFormKeepsItsBytesAndAddsTwoNuls) {
    EXPECT_EQ(DependencyListFromText("Tcpip"), "Tcpip\0\0"s);
    EXPECT_EQ(DependencyListFromText("A\0B"s), "A\0B\0\0"s);
    EXPECT_EQ(DependencyListFromText(""), "\0\0"s);
    EXPECT_EQ(SplitDependencyList(DependencyListFromText("A\0B"s).c_str()),
              (std::vector<std::string>{"A", "B"}));
}

TEST(CommandLine, CreateQuotesPathsWithBlanksOnce) {
    EXPECT_EQ(QuotePathForCreate("C:\\Program Files\\x.exe"), "\"C:\\Program Files\\x.exe\"");
    EXPECT_EQ(QuotePathForCreate("\"C:\\Program Files\\x.exe\""), "\"C:\\Program Files\\x.exe\"");
    EXPECT_EQ(QuotePathForCreate("C:\\x.exe"), "C:\\x.exe");
    EXPECT_EQ(QuotePathForCreate("C:\\a\tb.exe"), "C:\\a\tb.exe"); // tabs do not count
    EXPECT_EQ(QuotePathForCreate("\\\\host\\share dir\\x.exe"), "\"\\\\host\\share dir\\x.exe\"");
    EXPECT_EQ(QuotePathForCreate(""), "");
}

TEST(CommandLine, ConfigureLeavesUncAndQuotedPaths) {
    EXPECT_EQ(QuotePathForConfigure("C:\\Program Files\\x.exe"), "\"C:\\Program Files\\x.exe\"");
    EXPECT_EQ(QuotePathForConfigure("\\\\host\\share dir\\x.exe"), "\\\\host\\share dir\\x.exe");
    EXPECT_EQ(QuotePathForConfigure("\"C:\\Program Files\\x.exe\""),
              "\"C:\\Program Files\\x.exe\"");
    EXPECT_EQ(QuotePathForConfigure(""), "");
}

TEST(CommandLine, ParametersAppendedAfterOneBlankUnquoted) {
    EXPECT_EQ(BuildCommandLine("\"C:\\Program Files\\x.exe\"", "-a"),
              "\"C:\\Program Files\\x.exe\" -a");
    EXPECT_EQ(BuildCommandLine("C:\\x.exe", "-a \"b c\" d"), "C:\\x.exe -a \"b c\" d");
    EXPECT_EQ(BuildCommandLine("C:\\x.exe", ""), "C:\\x.exe");
    // Longer than any fixed buffer: kept whole.
    std::string path = "C:\\" + std::string(400, 'p') + " x.exe";
    std::string params(900, 'q');
    std::string line = BuildCommandLine(QuotePathForCreate(path), params);
    EXPECT_EQ(line, '"' + path + "\" " + params);
}

TEST(Account, LocalSystemInAnyCaseOrEmpty) {
    EXPECT_TRUE(IsLocalSystemAccount(""));
    EXPECT_TRUE(IsLocalSystemAccount("localsystem"));
    EXPECT_TRUE(IsLocalSystemAccount("LocalSystem"));
    EXPECT_TRUE(IsLocalSystemAccount("LOCALSYSTEM"));
    EXPECT_FALSE(IsLocalSystemAccount(".\\LocalSystem"));
    EXPECT_FALSE(IsLocalSystemAccount("localsystem "));
    EXPECT_FALSE(IsLocalSystemAccount("localsyste"));
    EXPECT_FALSE(IsLocalSystemAccount("NT AUTHORITY\\LocalService"));
}
