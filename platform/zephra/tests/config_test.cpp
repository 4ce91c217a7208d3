// Reading the host's module list file.
#include <gtest/gtest.h>

#include <sstream>

#include "zephra/config.hpp"

namespace {

using zephra::ModuleDirective;

bool parse(const std::string& text, std::vector<ModuleDirective>& out, std::string& error) {
    std::istringstream in(text);
    return zephra::parse_module_config(in, "test.conf", out, error);
}

TEST(ModuleConfig, ReadsDirectivesCommentsAndBlankLines) {
    std::vector<ModuleDirective> out;
    std::string error;
    ASSERT_TRUE(parse("# modules\n"
                      "Module core.c\n"
                      "\n"
                      "   \t\n"
                      "  loadmodule   mod_echo.c\tbuild/lib/mod_echo.so  \r\n"
                      "MODULE quillet.c",
                      out, error))
        << error;
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].kind, ModuleDirective::Kind::Builtin);
    EXPECT_EQ(out[0].name, "core.c");
    EXPECT_EQ(out[0].line, 2);
    EXPECT_EQ(out[1].kind, ModuleDirective::Kind::Load);
    EXPECT_EQ(out[1].name, "mod_echo.c");
    EXPECT_EQ(out[1].path, "build/lib/mod_echo.so");
    EXPECT_EQ(out[1].line, 5);
    EXPECT_EQ(out[2].name, "quillet.c");
    EXPECT_EQ(out[2].line, 6);
}

TEST(ModuleConfig, BadLinesNameFileAndLine) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"Module core.c\nListen 80\n", "test.conf:2: unknown directive \"Listen\""},
        {"Module\n", "test.conf:1: Module takes one argument, a module name"},
        {"\n\nModule a.c b.c\n", "test.conf:3: Module takes one argument, a module name"},
        {"LoadModule mod_echo.c\n",
         "test.conf:1: LoadModule takes two arguments, a module name and a path"},
        {"LoadModule a.c a.so extra\n",
         "test.conf:1: LoadModule takes two arguments, a module name and a path"},
    };
    for (const auto& c : cases) {
        std::vector<ModuleDirective> out{{ModuleDirective::Kind::Builtin, "kept.c", {}, 1}};
        std::string error;
        EXPECT_FALSE(parse(c.text, out, error)) << c.text;
        EXPECT_EQ(error, c.error);
        ASSERT_EQ(out.size(), 1u) << "the caller's list is left alone";
    }
}

TEST(ModuleConfig, EmptyFileHasNoModules) {
    std::vector<ModuleDirective> out;
    std::string error;
    ASSERT_TRUE(parse("", out, error));
    EXPECT_TRUE(out.empty());
}

TEST(ModuleConfig, MissingFile) {
    std::vector<ModuleDirective> out;
    std::string error;
    EXPECT_FALSE(zephra::read_module_config("/nonexistent/zephra.conf", out, error));
    EXPECT_EQ(error, "/nonexistent/zephra.conf: cannot open: No such file or directory");
}

} // namespace
