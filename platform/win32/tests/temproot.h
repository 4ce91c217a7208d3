#pragma once
// Test fixture: a private state root for the test, removed afterwards.
#include "stateroot.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

class TempStateRoot : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/w32p-root-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        setenv("WIN32POSIX_ROOT", root_.c_str(), 1);
        w32p::ResetStateRootForTests();
    }
    void TearDown() override {
        [[maybe_unused]] int rc = system(("rm -rf '" + root_ + "'").c_str());
        unsetenv("WIN32POSIX_ROOT");
        w32p::ResetStateRootForTests();
    }
    std::string root_;
};
