#pragma once
// The last-error rule in tests: calls that succeed keep the thread's last
// error (or set 0, where Windows documents it).
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

struct LastErrorCall {
    const char* name;
    std::function<bool()> run; // true when the call succeeded
    bool setsZero = false;     // documented to set ERROR_SUCCESS on success
};

// Runs the calls in order, each after setting a sentinel last error.
inline void CheckLastErrorRule(const std::vector<LastErrorCall>& calls) {
    constexpr DWORD kSentinel = 0x2a2a2a;
    for (const LastErrorCall& c : calls) {
        SetLastError(kSentinel);
        bool ok = c.run();
        DWORD after = GetLastError();
        EXPECT_TRUE(ok) << c.name << " failed: " << after;
        EXPECT_EQ(after, c.setsZero ? 0u : kSentinel) << c.name;
    }
}
