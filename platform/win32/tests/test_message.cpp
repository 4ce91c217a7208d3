// Thread message queues and thread timers.
#include <windows.h>

#include "waitfor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

namespace {

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Runs a thread that creates its queue, reports its id, then echoes every
// message number it gets into `seen` until WM_QUIT.
struct Receiver {
    std::atomic<DWORD> id{0};
    std::vector<UINT> seen;
    HANDLE thread = nullptr;
    static DWORD WINAPI Run(LPVOID p) {
        auto* self = static_cast<Receiver*>(p);
        MSG m;
        PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE); // creates the queue
        self->id = GetCurrentThreadId();
        while (GetMessageA(&m, nullptr, 0, 0) > 0)
            self->seen.push_back(m.message);
        return 7;
    }
    void Start() {
        thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        ASSERT_TRUE(WaitFor([&] { return id.load() != 0; }));
    }
    void Join() {
        ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
};

DWORD WINAPI DoNothingUntilTold(LPVOID p) {
    auto* go = static_cast<std::atomic<int>*>(p);
    while (go->load() == 0)
        Sleep(1);
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
    go->store(2);
    while (go->load() != 3)
        Sleep(1);
    return 0;
}

} // namespace

TEST(MessageQueue, CreatedOnFirstUser32CallAndGoneWithTheThread) {
    std::atomic<int> go{0};
    DWORD tid = 0;
    HANDLE h = CreateThread(nullptr, 0, DoNothingUntilTold, &go, 0, &tid);
    ASSERT_NE(h, nullptr);
    // No user32 call yet on that thread: no queue.
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(tid, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    go = 1;
    ASSERT_TRUE(WaitFor([&] { return go.load() == 2; }));
    EXPECT_TRUE(PostThreadMessageA(tid, WM_USER, 0, 0));
    go = 3;
    ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(tid, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    CloseHandle(h);

    // Ids nobody has are refused the same way; a post to oneself creates the queue.
    EXPECT_FALSE(PostThreadMessageA(0, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    DWORD selfResult = 0;
    HANDLE self = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            BOOL posted = PostThreadMessageA(GetCurrentThreadId(), WM_USER + 5, 1, 2);
            MSG m{};
            BOOL got = PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
            *static_cast<DWORD*>(p) = posted && got && m.message == WM_USER + 5 && m.wParam == 1 &&
                                      m.lParam == 2 && m.hwnd == nullptr;
            return 0;
        },
        &selfResult, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(self, 10000), WAIT_OBJECT_0);
    CloseHandle(self);
    EXPECT_EQ(selfResult, 1u);
}

TEST(MessageQueue, PostedMessagesComeOutInOrderAcrossThreads) {
    Receiver r;
    r.Start();
    for (UINT i = 0; i < 500; ++i)
        ASSERT_TRUE(PostThreadMessageA(r.id, WM_USER + i, 0, 0));
    ASSERT_TRUE(PostThreadMessageA(r.id, WM_QUIT, 0, 0));
    r.Join();
    ASSERT_EQ(r.seen.size(), 500u);
    for (UINT i = 0; i < 500; ++i)
        ASSERT_EQ(r.seen[i], WM_USER + i);
}

TEST(MessageQueue, GetMessageResultsAndBadArguments) {
    MSG m;
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, 3, 0));
    EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), 0);
    EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(m.wParam, 3u);

    EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
    EXPECT_EQ(GetMessageA(&m, reinterpret_cast<HWND>(0x1234), 0, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

    // Range filters leave other messages waiting, in order.
    PostThreadMessageA(GetCurrentThreadId(), WM_USER + 1, 0, 0);
    PostThreadMessageA(GetCurrentThreadId(), WM_USER + 9, 0, 0);
    PostThreadMessageA(GetCurrentThreadId(), WM_USER + 2, 0, 0);
    EXPECT_EQ(GetMessageA(&m, nullptr, WM_USER + 9, WM_USER + 9), 1);
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 9));
    EXPECT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 1));
    EXPECT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 2));
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));

    // PostQuitMessage: WM_QUIT after the posted messages.
    PostQuitMessage(4);
    PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0);
    EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
    EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), 0);
    EXPECT_EQ(m.wParam, 4u);
}

TEST(MessageQueue, PostLimitIsReportedNotGrownWithoutBound) {
    DWORD self = GetCurrentThreadId();
    int posted = 0;
    while (posted < 20000 && PostThreadMessageA(self, WM_USER, 0, 0))
        ++posted;
    EXPECT_EQ(posted, 10000);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
}

namespace {
std::atomic<int> gProcCalls{0};
UINT_PTR gProcId = 0;
void CALLBACK CountingProc(HWND hwnd, UINT msg, UINT_PTR id, DWORD) {
    if (hwnd == nullptr && msg == WM_TIMER && id == gProcId)
        ++gProcCalls;
}
} // namespace

TEST(ThreadTimers, TimerMessagesYieldToPostedMessagesAndDoNotPileUp) {
    MSG m;
    // Long period: the checks below must finish well within one period.
    UINT_PTR id = SetTimer(nullptr, 0, 200, nullptr);
    ASSERT_NE(id, 0u);
    Sleep(700); // several periods pass while nobody reads
    DWORD self = GetCurrentThreadId();
    PostThreadMessageA(self, WM_USER + 1, 0, 0);
    PostThreadMessageA(self, WM_USER + 2, 0, 0);
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 1));
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 2));
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(m.wParam, id);
    EXPECT_EQ(m.lParam, 0);
    // Only one tick was pending, however many periods passed.
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(KillTimer(nullptr, id));
    Sleep(60);
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_FALSE(KillTimer(nullptr, id));
}

TEST(ThreadTimers, GetMessageWakesForTheTimerAndDispatchCallsTheProc) {
    gProcCalls = 0;
    int64_t start = NowMs();
    gProcId = SetTimer(nullptr, 0, 100, CountingProc);
    ASSERT_NE(gProcId, 0u);
    MSG m;
    ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
    EXPECT_GE(NowMs() - start, 90);
    EXPECT_EQ(m.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(m.lParam, reinterpret_cast<LPARAM>(&CountingProc));
    TranslateMessage(&m);
    DispatchMessageA(&m);
    EXPECT_EQ(gProcCalls.load(), 1);
    KillTimer(nullptr, gProcId);
    // A killed timer's procedure still runs for a message already taken.
    DispatchMessageA(&m);
    EXPECT_EQ(gProcCalls.load(), 2);
    // An lParam that is no timer procedure is not called.
    MSG forged = m;
    forged.lParam = 0x1234;
    DispatchMessageA(&forged);
}

TEST(ThreadTimers, IdsAreTheLayersOwnAndTimersBelongToTheirThread) {
    UINT_PTR a = SetTimer(nullptr, 257, 1000, nullptr);
    ASSERT_NE(a, 0u);
    EXPECT_NE(a, 257u); // the requested id is ignored when it names no timer
    UINT_PTR b = SetTimer(nullptr, a, 2000, nullptr);
    EXPECT_EQ(b, a); // naming one of this thread's timers resets it

    UINT_PTR otherId = 0;
    std::atomic<int> step{0};
    struct Ctx {
        UINT_PTR* id;
        std::atomic<int>* step;
        UINT_PTR mine;
        BOOL killedMine = TRUE;
    } ctx{&otherId, &step, a};
    HANDLE h = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* c = static_cast<Ctx*>(p);
            *c->id = SetTimer(nullptr, 0, 1000, nullptr);
            c->killedMine = KillTimer(nullptr, c->mine);
            c->step->store(1);
            while (c->step->load() != 2)
                Sleep(1);
            return KillTimer(nullptr, *c->id) ? 1 : 0;
        },
        &ctx, 0, nullptr);
    ASSERT_TRUE(WaitFor([&] { return step.load() == 1; }));
    EXPECT_FALSE(ctx.killedMine);              // not its timer
    EXPECT_FALSE(KillTimer(nullptr, otherId)); // nor this one ours
    step = 2;
    ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, 1u); // the owner could kill it
    CloseHandle(h);
    EXPECT_TRUE(KillTimer(nullptr, a));

    EXPECT_EQ(SetTimer(reinterpret_cast<HWND>(0x1234), 1, 10, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

// Timers are user objects: a process runs out of them as Windows does, and
// gets them back when they are killed or their thread ends.
TEST(ThreadTimers, AProcessRunsOutOfTimers) {
    struct Result {
        size_t made = 0;
        DWORD error = 0;
        BOOL againAfterKill = FALSE;
    } r;
    HANDLE h = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* res = static_cast<Result*>(p);
            UINT_PTR last = 0;
            for (int i = 0; i < 20000; ++i) {
                UINT_PTR id = SetTimer(nullptr, 0, 100000, nullptr);
                if (!id) {
                    res->error = GetLastError();
                    break;
                }
                last = id;
                ++res->made;
            }
            res->againAfterKill = KillTimer(nullptr, last) && SetTimer(nullptr, 0, 1000, nullptr);
            return 0; // ends with every timer alive
        },
        &r, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(h, 60000), WAIT_OBJECT_0);
    CloseHandle(h);
    EXPECT_GT(r.made, 9000u);
    EXPECT_LE(r.made, 10000u);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NO_MORE_USER_HANDLES));
    EXPECT_TRUE(r.againAfterKill);
    // The ended thread's timers are gone with it.
    ASSERT_TRUE(WaitFor([] {
        UINT_PTR id = SetTimer(nullptr, 0, 1000, nullptr);
        return id && KillTimer(nullptr, id);
    }));
}

TEST(DesktopWindow, GetWindowAnswers) {
    HWND desk = GetDesktopWindow();
    ASSERT_NE(desk, nullptr);
    EXPECT_EQ(GetWindow(desk, GW_HWNDFIRST), desk);
    EXPECT_EQ(GetWindow(desk, GW_CHILD), nullptr);
    EXPECT_EQ(GetWindow(nullptr, GW_HWNDFIRST), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(GetWindow(desk, 99), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_GW_COMMAND));
}
