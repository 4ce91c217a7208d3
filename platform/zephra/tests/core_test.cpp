// The server core: module list, module records, loading shared objects,
// configuration vectors and pools.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "zephra/core.h"

namespace {

std::string lib_path(const char* file) {
    return std::string(ZEPHRA_TEST_MODULE_DIR "/") + file;
}

std::vector<std::string> list_names() {
    std::vector<std::string> names;
    for (zp_module* m = zp_top_module; m; m = m->next)
        names.push_back(m->name ? m->name : "(null)");
    return names;
}

class Core : public ::testing::Test {
protected:
    void SetUp() override {
        zp_unload_modules();
        pool = zp_pool_create();
    }
    void TearDown() override {
        zp_unload_modules();
        zp_pool_destroy(pool);
    }
    zp_pool* pool = nullptr;
};

TEST_F(Core, BuiltinModulesAreLinkedAtTheHead) {
    ASSERT_EQ(zp_add_builtin_module(pool, "core.c"), nullptr);
    ASSERT_EQ(zp_add_builtin_module(pool, "mod_so.c"), nullptr);
    ASSERT_EQ(zp_add_builtin_module(pool, "quillet.c"), nullptr);
    EXPECT_EQ(list_names(), (std::vector<std::string>{"quillet.c", "mod_so.c", "core.c"}));
    zp_module* core = zp_find_linked_module("core.c");
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(core->version, ZP_API_MAJOR);
    EXPECT_EQ(core->minor_version, ZP_API_MINOR);
    EXPECT_EQ(core->dynamic_load_handle, nullptr);
    EXPECT_EQ(core->cmds, nullptr);
    EXPECT_EQ(core->next, nullptr);
    // Indexes are distinct and grow in the order of adding.
    EXPECT_LT(core->module_index, zp_find_linked_module("mod_so.c")->module_index);
    EXPECT_LT(zp_find_linked_module("mod_so.c")->module_index,
              zp_find_linked_module("quillet.c")->module_index);
}

TEST_F(Core, LookupMatchesWholeNamesOnly) {
    zp_add_builtin_module(pool, "core.c");
    EXPECT_EQ(zp_find_linked_module("core"), nullptr);
    EXPECT_EQ(zp_find_linked_module("core.c "), nullptr);
    EXPECT_EQ(zp_find_linked_module(""), nullptr);
    EXPECT_EQ(zp_find_linked_module(nullptr), nullptr);
    EXPECT_EQ(zp_top_module, zp_find_linked_module("core.c"));
}

TEST_F(Core, AddRefusesDuplicatesAndForeignRecords) {
    ASSERT_EQ(zp_add_builtin_module(pool, "core.c"), nullptr);
    const char* err = zp_add_builtin_module(pool, "core.c");
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err, "a module named core.c is already linked");
    EXPECT_STREQ(zp_add_module(pool, zp_top_module), "module core.c is already linked");
    EXPECT_NE(zp_add_builtin_module(pool, ""), nullptr);

    zp_module other = ZP_MODULE_INIT("other.c", nullptr);
    other.version = 1;
    EXPECT_NE(std::strstr(zp_add_module(pool, &other), "built for API 1"), nullptr);
    other.version = ZP_API_MAJOR;
    other.magic = 0;
    EXPECT_NE(std::strstr(zp_add_module(pool, &other), "bad magic"), nullptr);
    EXPECT_EQ(list_names(), std::vector<std::string>{"core.c"});
}

TEST_F(Core, RemoveUnlinksFromAnyPlace) {
    for (const char* n : {"a.c", "b.c", "c.c", "d.c"})
        zp_add_builtin_module(pool, n);
    zp_module* b = zp_find_linked_module("b.c");
    zp_remove_loaded_module(b);
    EXPECT_EQ(list_names(), (std::vector<std::string>{"d.c", "c.c", "a.c"}));
    EXPECT_STREQ(b->name, "b.c"); // the record stays valid
    zp_remove_loaded_module(b);   // not linked: nothing happens
    zp_remove_loaded_module(zp_find_linked_module("d.c"));
    zp_remove_loaded_module(zp_find_linked_module("a.c"));
    EXPECT_EQ(list_names(), std::vector<std::string>{"c.c"});
    zp_remove_loaded_module(zp_top_module);
    EXPECT_EQ(zp_top_module, nullptr);
    // A removed module may be linked again, with a new index.
    int old_index = b->module_index;
    ASSERT_EQ(zp_add_module(pool, b), nullptr);
    EXPECT_GT(b->module_index, old_index);
}

TEST_F(Core, ModuleSymbolName) {
    char buf[64];
    EXPECT_EQ(zp_module_symbol("mod_echo.c", buf, sizeof buf), 15u);
    EXPECT_STREQ(buf, "mod_echo_module");
    zp_module_symbol("my-mod.x.c", buf, sizeof buf);
    EXPECT_STREQ(buf, "my_mod_module");
    // A short buffer gets a truncated, terminated name and the full length.
    char small[5];
    EXPECT_EQ(zp_module_symbol("mod_echo.c", small, sizeof small), 15u);
    EXPECT_STREQ(small, "mod_");
    EXPECT_EQ(zp_module_symbol("x", nullptr, 0), 8u);
}

TEST_F(Core, LoadsModulesFromSharedObjects) {
    zp_module* echo = nullptr;
    ASSERT_EQ(zp_load_module(pool, "mod_echo.c", lib_path("mod_echo.so").c_str(), &echo), nullptr);
    ASSERT_NE(echo, nullptr);
    EXPECT_EQ(zp_find_linked_module("mod_echo.c"), echo);
    EXPECT_NE(echo->dynamic_load_handle, nullptr);
    ASSERT_NE(echo->cmds, nullptr);
    EXPECT_STREQ(echo->cmds[0].name, "ProtocolEcho");
    EXPECT_STREQ(echo->cmds[1].name, "EchoGreeting");
    EXPECT_EQ(echo->cmds[2].name, nullptr);

    // The same name twice is refused.
    EXPECT_STREQ(zp_load_module(pool, "mod_echo.c", lib_path("mod_echo.so").c_str(), nullptr),
                 "module mod_echo.c is already loaded");

    // A record without a name keeps none.
    zp_module* anon = nullptr;
    ASSERT_EQ(zp_load_module(pool, "mod_anon.c", lib_path("mod_anon.so").c_str(), &anon), nullptr);
    EXPECT_EQ(anon->name, nullptr);
    EXPECT_EQ(anon->minor_version, 3);
    EXPECT_NE(anon->module_index, echo->module_index);
}

TEST_F(Core, LoadErrorsNameTheProblem) {
    std::string missing = lib_path("mod_missing.so");
    const char* err = zp_load_module(pool, "mod_missing.c", missing.c_str(), nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_NE(std::strstr(err, "cannot load mod_missing.c from"), nullptr) << err;

    err = zp_load_module(pool, "mod_other.c", lib_path("mod_echo.so").c_str(), nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_NE(std::strstr(err, "cannot find module record mod_other_module"), nullptr) << err;

    err = zp_load_module(pool, "mod_oldapi.c", lib_path("mod_oldapi.so").c_str(), nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_NE(std::strstr(err, "built for API 19990101"), nullptr) << err;

    EXPECT_NE(zp_load_module(pool, "", "x.so", nullptr), nullptr);
    EXPECT_NE(zp_load_module(pool, "x.c", "", nullptr), nullptr);
    EXPECT_EQ(zp_top_module, nullptr);
}

TEST_F(Core, UnloadClosesAndAllowsLoadingAgain) {
    zp_module* echo = nullptr;
    ASSERT_EQ(zp_load_module(pool, "mod_echo.c", lib_path("mod_echo.so").c_str(), &echo), nullptr);
    zp_unload_modules();
    EXPECT_EQ(zp_top_module, nullptr);
    ASSERT_EQ(zp_load_module(pool, "mod_echo.c", lib_path("mod_echo.so").c_str(), &echo), nullptr);
    EXPECT_NE(echo->dynamic_load_handle, nullptr);
}

TEST_F(Core, ConfVectorsGrowPerModuleIndex) {
    zp_conf_vector* v = zp_create_conf_vector(pool);
    std::vector<zp_module> mods(100);
    int values[100];
    for (int i = 0; i < 100; ++i) {
        mods[i] = ZP_MODULE_INIT(nullptr, nullptr);
        mods[i].module_index = i * 7;
        EXPECT_EQ(zp_get_module_config(v, &mods[i]), nullptr);
        zp_set_module_config(v, &mods[i], &values[i]);
    }
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(zp_get_module_config(v, &mods[i]), &values[i]);
    zp_module unindexed = ZP_MODULE_INIT(nullptr, nullptr);
    zp_set_module_config(v, &unindexed, &values[0]); // index -1: ignored
    EXPECT_EQ(zp_get_module_config(v, &unindexed), nullptr);
    EXPECT_EQ(zp_get_module_config(nullptr, &mods[0]), nullptr);
}

TEST(Pool, AllocationsAreZeroedIncludingPadding) {
    // Dirty the heap first so that reused blocks would show old bytes.
    zp_pool* dirty = zp_pool_create();
    for (size_t size : {8, 24, 48, 72, 200})
        std::memset(zp_palloc(dirty, size), 0xa5, size);
    zp_pool_destroy(dirty);
    zp_pool* p = zp_pool_create();
    for (size_t size : {8, 24, 48, 72, 200}) {
        auto* bytes = static_cast<unsigned char*>(zp_palloc(p, size));
        for (size_t i = 0; i < size; ++i)
            ASSERT_EQ(bytes[i], 0) << "size " << size << " byte " << i;
    }
    EXPECT_STREQ(zp_pstrdup(p, "text"), "text");
    EXPECT_EQ(zp_pstrdup(p, nullptr), nullptr);
    EXPECT_STREQ(zp_psprintf(p, "%s %d%%", "module", 42), "module 42%");
    EXPECT_STREQ(zp_psprintf(p, "%s", ""), "");
    zp_pool_destroy(p);
}

} // namespace
