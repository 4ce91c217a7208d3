#include "constants.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using servane::LookupConstant;

TEST(Constants, TableHasSixtyDistinctNames) {
    std::set<std::string> names;
    size_t count = 0;
    for (const auto* e = servane::kConstantTable; e->name; ++e, ++count)
        names.insert(e->name);
    EXPECT_EQ(count, 60u);
    EXPECT_EQ(names.size(), 60u);
}

TEST(Constants, FirstCharacterExactRestWithoutCase) {
    auto exact = LookupConstant("SERVICE_RUNNING");
    EXPECT_EQ(exact.kind, 3u);
    EXPECT_EQ(exact.number, 4u);
    auto mixed = LookupConstant("Service_running");
    EXPECT_EQ(mixed.kind, 3u);
    EXPECT_EQ(mixed.number, 4u);
    EXPECT_EQ(LookupConstant("service_running").kind, 0u);
    EXPECT_EQ(LookupConstant("").kind, 0u);
    EXPECT_EQ(LookupConstant("SERVICE_RUNNIN").kind, 0u);
    EXPECT_EQ(LookupConstant("SERVICE_RUNNINGX").kind, 0u);
}

TEST(Constants, WholeNamesAndSpecialValues) {
    EXPECT_EQ(LookupConstant("USER_SERVICE_BITS_10").number, 0x20000000u);
    EXPECT_EQ(LookupConstant("USER_SERVICE_BITS_1").number, 0x4000u);
    EXPECT_EQ(LookupConstant("SERVICE_CONTROL_NONE").number, 0xFFFFFFFFu);
    auto group = LookupConstant("SC_GROUP_IDENTIFIER");
    EXPECT_EQ(group.kind, 2u);
    EXPECT_STREQ(group.text, "+");
    for (const char* missing :
         {"SERVICE_ERROR_IGNORE", "SERVICE_CONTROL_PRESHUTDOWN", "SERVICE_ACCEPT_PRESHUTDOWN"})
        EXPECT_EQ(LookupConstant(missing).kind, 0u) << missing;
}
