#include "suite.h"

#include "runtime.h"

#include <cstdio>

namespace suite {

namespace {

bool OnWineBecause(const char* kind, const char* reason) {
    if (CurrentSide() != Side::kWine)
        return false;
    std::printf("[ %s ] %s\n", kind, reason);
    ::testing::Test::RecordProperty(kind, reason);
    return true;
}

} // namespace

bool WineDefect(const char* reason) {
    return OnWineBecause("WINE DEFECT", reason);
}

bool WineDiffers(const char* reason) {
    return OnWineBecause("WINE DIFFERS", reason);
}

void SuiteTest::SetUp() {
    std::string reason = SkipReason();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    gdwLastError = 0;
}

} // namespace suite
