#pragma once
// The behavioural suite of the service library's core. The same tests run on
// Linux over the Windows layer and as Windows programs under Wine; each
// place where Wine's service manager behaves otherwise than Windows is named
// in the check that meets it (WineDefect), so that a change in Wine shows.
#include "service_run.h"

#include <gtest/gtest.h>

namespace suite {

// True on Wine: the caller then expects Wine's own behaviour, which the
// Windows documentation contradicts. The reason is printed and recorded
// with the test.
bool WineDefect(const char* reason);
// True on Wine where Wine follows a later Windows than the layer does; the
// documentation allows both.
bool WineDiffers(const char* reason);

// The fixture of every suite test: skips with the reason where services
// cannot be administered, and starts each test with gdwLastError 0.
class SuiteTest : public ::testing::Test {
protected:
    void SetUp() override;
};

} // namespace suite
