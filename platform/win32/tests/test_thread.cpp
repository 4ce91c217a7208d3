// Threads: ids, exit codes, TerminateThread of blocked threads, handles.
#include <windows.h>

#include "waitfor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Shared {
    std::atomic<DWORD> id{0};
    std::atomic<bool> unwound{false};
    std::atomic<bool> after{false};
};

// Sets `unwound` when destroyed: shows that a terminated thread unwinds.
struct UnwindFlag {
    std::atomic<bool>& flag;
    ~UnwindFlag() { flag = true; }
};

DWORD WINAPI BlockInGetMessage(LPVOID p) {
    auto* s = static_cast<Shared*>(p);
    UnwindFlag guard{s->unwound};
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
    s->id = GetCurrentThreadId();
    while (GetMessageA(&m, nullptr, 0, 0) > 0) {
    }
    s->after = true;
    return 1;
}

DWORD WINAPI BlockInSleep(LPVOID p) {
    auto* s = static_cast<Shared*>(p);
    UnwindFlag guard{s->unwound};
    s->id = GetCurrentThreadId();
    Sleep(INFINITE);
    s->after = true;
    return 1;
}

DWORD WINAPI ReturnIdPlusOne(LPVOID p) {
    static_cast<std::atomic<DWORD>*>(p)->store(GetCurrentThreadId());
    return GetCurrentThreadId() + 1;
}

} // namespace

TEST(Threads, IdsAndExitCodes) {
    std::atomic<DWORD> seen{0};
    DWORD tid = 0;
    HANDLE h = CreateThread(nullptr, 0, ReturnIdPlusOne, &seen, 0, &tid);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(h) % 4, 0u);
    ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(seen.load(), tid);
    EXPECT_NE(tid, 0u);
    EXPECT_NE(tid, GetCurrentThreadId());
    EXPECT_EQ(GetThreadId(h), tid);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, tid + 1);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(GetExitCodeThread(h, &code));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
    EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)));
}

TEST(Threads, StillActiveWhileRunningAndExitThreadCode) {
    std::atomic<int> release{0};
    HANDLE h = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            while (static_cast<std::atomic<int>*>(p)->load() == 0)
                Sleep(1);
            ExitThread(42);
        },
        &release, 0, nullptr);
    ASSERT_NE(h, nullptr);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(h, 50), WAIT_TIMEOUT);
    release = 1;
    ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, 42u);
    CloseHandle(h);
}

TEST(Threads, SuspendedThreadRunsOnResume) {
    std::atomic<DWORD> seen{0};
    DWORD tid = 0;
    HANDLE h = CreateThread(nullptr, 0, ReturnIdPlusOne, &seen, CREATE_SUSPENDED, &tid);
    ASSERT_NE(h, nullptr);
    Sleep(50);
    EXPECT_EQ(seen.load(), 0u);
    // The thread exists (it has a desktop) but has no queue yet.
    EXPECT_EQ(GetThreadDesktop(tid), GetThreadDesktop(GetCurrentThreadId()));
    EXPECT_FALSE(PostThreadMessageA(tid, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    EXPECT_EQ(ResumeThread(h), 1u);
    ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    EXPECT_NE(seen.load(), 0u);
    CloseHandle(h);
}

TEST(TerminateThread, EndsAThreadBlockedInGetMessage) {
    Shared s;
    HANDLE h = CreateThread(nullptr, 0, BlockInGetMessage, &s, 0, nullptr);
    ASSERT_TRUE(WaitFor([&] { return s.id.load() != 0; }));
    Sleep(50); // let it block
    EXPECT_TRUE(TerminateThread(h, 0x77));
    // A thread already blocked has ended when TerminateThread returns; on a
    // loaded machine it may not have reached its wait yet, hence the wait.
    ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, 0x77u);
    EXPECT_TRUE(s.unwound.load());
    EXPECT_FALSE(s.after.load());
    // Its queue went with it.
    EXPECT_FALSE(PostThreadMessageA(s.id, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    // A second termination changes nothing.
    EXPECT_TRUE(TerminateThread(h, 5));
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, 0x77u);
    CloseHandle(h);
}

TEST(TerminateThread, EndsAThreadBlockedInSleepOrWait) {
    Shared s;
    HANDLE h = CreateThread(nullptr, 0, BlockInSleep, &s, 0, nullptr);
    ASSERT_TRUE(WaitFor([&] { return s.id.load() != 0; }));
    Sleep(50);
    EXPECT_TRUE(TerminateThread(h, 0));
    EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(s.unwound.load());

    // A thread waiting for another thread's end.
    Shared s2;
    HANDLE sleeper = CreateThread(nullptr, 0, BlockInSleep, &s2, 0, nullptr);
    HANDLE waiter = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(p), INFINITE); },
        sleeper, 0, nullptr);
    Sleep(50);
    EXPECT_TRUE(TerminateThread(waiter, 9));
    EXPECT_EQ(WaitForSingleObject(waiter, 10000), WAIT_OBJECT_0);
    GetExitCodeThread(waiter, &code);
    EXPECT_EQ(code, 9u);
    TerminateThread(sleeper, 0);
    CloseHandle(waiter);
    CloseHandle(sleeper);
    CloseHandle(h);
}

TEST(TerminateThread, InvalidHandles) {
    EXPECT_FALSE(TerminateThread(nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(TerminateThread(reinterpret_cast<HANDLE>(0x7ffff000), 0));
    DWORD code;
    EXPECT_FALSE(GetExitCodeThread(reinterpret_cast<HANDLE>(0x7ffff000), &code));
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7ffff000), 0), WAIT_FAILED);
}

TEST(TerminateThread, ABusyThreadEndsAtItsNextWait) {
    struct Ctx {
        std::atomic<int> stage{0};
        std::atomic<bool> unwound{false};
    } ctx;
    HANDLE h = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* c = static_cast<Ctx*>(p);
            UnwindFlag guard{c->unwound};
            c->stage = 1;
            while (c->stage.load() != 2) {
            } // computing: no wait, so no end yet
            Sleep(INFINITE);
            return 1;
        },
        &ctx, 0, nullptr);
    while (ctx.stage.load() != 1)
        Sleep(1);
    EXPECT_TRUE(TerminateThread(h, 33)); // returns without waiting for a busy thread
    DWORD code = 0;
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    ctx.stage = 2;
    ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, 33u);
    EXPECT_TRUE(ctx.unwound.load());
    CloseHandle(h);
}

TEST(Threads, AForkedChildHasOnlyItsOwnThread) {
    Shared s;
    HANDLE h = CreateThread(nullptr, 0, BlockInGetMessage, &s, 0, nullptr);
    ASSERT_TRUE(WaitFor([&] { return s.id.load() != 0; }));
    DWORD self = GetCurrentThreadId();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        bool ok = !PostThreadMessageA(s.id, WM_USER, 0, 0) &&
                  GetLastError() == static_cast<DWORD>(ERROR_INVALID_THREAD_ID) &&
                  GetCurrentThreadId() == self && PostThreadMessageA(self, WM_USER, 0, 0);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(PostThreadMessageA(s.id, WM_QUIT, 0, 0)); // the parent's thread is still there
    ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    CloseHandle(h);
}
