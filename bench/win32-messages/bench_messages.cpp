// Benchmark of thread messages and timers (not a test: prints figures).
//
//  1. Latency from PostThreadMessageA on one thread to GetMessageA returning
//     on another that was blocked, median and 99th percentile; baseline: the
//     same ping-pong over a bare std::condition_variable.
//  2. CPU used by a thread blocked 2 s in GetMessageA; baseline: a thread
//     blocked 2 s in a bare condition-variable wait.
//  3. Lateness of thread timers (WM_TIMER against the due time); baseline:
//     clock_nanosleep to the same due times.
// Targets: median latency under 50 us, under 10 ms CPU for the 2 s block,
// timers within 15 ms of their due time.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <time.h>
#include <vector>

namespace {

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t ThreadCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double Pct(std::vector<int64_t> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1));
    return static_cast<double>(v[i]);
}

void Report(const char* what, const std::vector<int64_t>& ns, double unit, const char* unitName) {
    std::printf("  %-34s median %8.1f %s  p90 %8.1f  p99 %8.1f  max %8.1f  (n=%zu)\n", what,
                Pct(ns, 50) / unit, unitName, Pct(ns, 90) / unit, Pct(ns, 99) / unit,
                Pct(ns, 100) / unit, ns.size());
}

constexpr int kRounds = 5000;

// --- 1. latency -------------------------------------------------------------

struct PingPong {
    std::atomic<DWORD> echoId{0};
    DWORD mainId = 0;
    std::vector<int64_t> latency;
};

DWORD WINAPI Echo(LPVOID p) {
    auto* pp = static_cast<PingPong*>(p);
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
    pp->echoId = GetCurrentThreadId();
    while (GetMessageA(&m, nullptr, 0, 0) > 0) {
        pp->latency.push_back(NowNs() - static_cast<int64_t>(m.wParam));
        PostThreadMessageA(pp->mainId, WM_USER, 0, 0);
    }
    return 0;
}

std::vector<int64_t> LayerLatency() {
    PingPong pp;
    pp.mainId = GetCurrentThreadId();
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
    HANDLE h = CreateThread(nullptr, 0, Echo, &pp, 0, nullptr);
    while (!pp.echoId.load())
        Sleep(1);
    for (int i = 0; i < kRounds; ++i) {
        if (i % 100 == 0)
            Sleep(1); // let the receiver settle into a real block now and then
        PostThreadMessageA(pp.echoId, WM_USER, static_cast<WPARAM>(NowNs()), 0);
        GetMessageA(&m, nullptr, 0, 0);
    }
    PostThreadMessageA(pp.echoId, WM_QUIT, 0, 0);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
    return pp.latency;
}

std::vector<int64_t> BaselineLatency() {
    std::mutex mutex;
    std::condition_variable toEcho, toMain;
    int64_t stamp = 0;
    bool ping = false, pong = false, quit = false;
    std::vector<int64_t> latency;
    std::thread echo([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            toEcho.wait(lock, [&] { return ping || quit; });
            if (quit)
                return;
            latency.push_back(NowNs() - stamp);
            ping = false;
            pong = true;
            toMain.notify_one();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        if (i % 100 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::unique_lock lock(mutex);
        stamp = NowNs();
        ping = true;
        toEcho.notify_one();
        toMain.wait(lock, [&] { return pong; });
        pong = false;
    }
    {
        std::lock_guard lock(mutex);
        quit = true;
    }
    toEcho.notify_one();
    echo.join();
    return latency;
}

// --- 2. idle CPU ------------------------------------------------------------

struct IdleResult {
    std::atomic<DWORD> id{0};
    int64_t cpuNs = 0;
};

DWORD WINAPI BlockedReader(LPVOID p) {
    auto* r = static_cast<IdleResult*>(p);
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
    int64_t before = ThreadCpuNs();
    r->id = GetCurrentThreadId();
    GetMessageA(&m, nullptr, 0, 0);
    r->cpuNs = ThreadCpuNs() - before;
    return 0;
}

int64_t LayerIdleCpu() {
    IdleResult r;
    HANDLE h = CreateThread(nullptr, 0, BlockedReader, &r, 0, nullptr);
    while (!r.id.load())
        Sleep(1);
    Sleep(2000);
    PostThreadMessageA(r.id, WM_QUIT, 0, 0);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
    return r.cpuNs;
}

int64_t BaselineIdleCpu() {
    std::mutex mutex;
    std::condition_variable cv;
    bool go = false;
    int64_t cpu = 0;
    std::thread t([&] {
        int64_t before = ThreadCpuNs();
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return go; });
        cpu = ThreadCpuNs() - before;
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    {
        std::lock_guard lock(mutex);
        go = true;
    }
    cv.notify_one();
    t.join();
    return cpu;
}

// --- 3. timer lateness ------------------------------------------------------

std::vector<int64_t> LayerTimerLateness(UINT periodMs, int ticks) {
    std::vector<int64_t> late;
    MSG m;
    int64_t start = NowNs();
    UINT_PTR id = SetTimer(nullptr, 0, periodMs, nullptr);
    for (int k = 1; k <= ticks;) {
        if (GetMessageA(&m, nullptr, 0, 0) <= 0)
            break;
        if (m.message != WM_TIMER || m.wParam != id)
            continue;
        late.push_back(NowNs() - (start + static_cast<int64_t>(k) * periodMs * 1000000));
        ++k;
    }
    KillTimer(nullptr, id);
    return late;
}

std::vector<int64_t> BaselineSleepLateness(UINT periodMs, int ticks) {
    std::vector<int64_t> late;
    int64_t start = NowNs();
    for (int k = 1; k <= ticks; ++k) {
        int64_t due = start + static_cast<int64_t>(k) * periodMs * 1000000;
        timespec ts{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        late.push_back(NowNs() - due);
    }
    return late;
}

} // namespace

int main() {
    std::printf("win32posix thread messages and timers\n");
    std::printf("1. post -> GetMessageA on a blocked thread (target: median < 50 us)\n");
    Report("PostThreadMessageA/GetMessageA", LayerLatency(), 1000.0, "us");
    Report("baseline condition_variable", BaselineLatency(), 1000.0, "us");

    std::printf("2. CPU of a thread blocked 2 s (target: < 10 ms)\n");
    std::printf("  %-34s %8.3f ms\n", "GetMessageA", static_cast<double>(LayerIdleCpu()) / 1e6);
    std::printf("  %-34s %8.3f ms\n", "baseline condition_variable",
                static_cast<double>(BaselineIdleCpu()) / 1e6);

    std::printf("3. timer lateness against the due time (target: within 15 ms)\n");
    Report("SetTimer 20 ms x 150", LayerTimerLateness(20, 150), 1e6, "ms");
    Report("SetTimer 100 ms x 15", LayerTimerLateness(100, 15), 1e6, "ms");
    Report("baseline clock_nanosleep 20 ms x 150", BaselineSleepLateness(20, 150), 1e6, "ms");
    return 0;
}
