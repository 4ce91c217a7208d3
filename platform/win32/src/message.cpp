// user32 thread messages and thread timers.
//
// Each thread gets a queue on its first user32 call. GetMessageA and
// PeekMessageA look, in this order, at posted messages (in posting order),
// the quit flag of PostQuitMessage, and then the thread's timers: a timer
// whose due time has passed becomes pending (at most one pending WM_TIMER
// per timer) and is delivered only when no matching posted message waits.
// A pending timer's next due time is set one period after the previous one
// (or one period from now when the owner fell behind), so ticks do not pile
// up while the thread is busy.
#include "message.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace w32p {

struct Timer {
    UINT_PTR id = 0;
    int64_t periodNs = 0;
    int64_t dueNs = 0;
    TIMERPROC proc = nullptr;
    bool pending = false;
    int64_t firedNs = 0; // due time of the pending tick, for ordering
};

namespace {
// Live thread timers of the process, for the user-object limit.
std::atomic<size_t> gLiveTimers{0};
} // namespace

struct MessageQueue {
    Monitor monitor; // guards everything below
    std::deque<MSG> posted;
    bool quit = false;
    int quitCode = 0;
    std::vector<Timer> timers;
    ~MessageQueue() { gLiveTimers -= timers.size(); }
};

namespace {

// Windows' default limit of posted messages per queue.
constexpr size_t kPostLimit = 10000;
// Windows' default quota of user objects (timers among them) per process.
constexpr size_t kTimerLimit = 10000;

const HWND kDesktopWindow = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10010));
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

// Timer ids are the layer's own, unique in the process and never reused.
std::atomic<UINT_PTR> gNextTimerId{0x7100};

// Every procedure ever given to SetTimer: DispatchMessageA calls an lParam
// only if it is one of them, never an arbitrary number.
struct ProcSet {
    std::mutex mutex;
    std::unordered_set<TIMERPROC> procs;
};
ProcSet& KnownProcs() {
    static ProcSet* set = new ProcSet;
    return *set;
}

bool InFilter(UINT message, UINT lo, UINT hi) {
    if (lo == 0 && hi == 0)
        return true;
    if (lo <= hi)
        return message >= lo && message <= hi;
    return message >= lo || message <= hi; // an inverted range excludes the middle
}

bool HwndMatches(HWND filter, HWND hwnd) {
    if (filter == nullptr)
        return true;
    if (filter == kThreadMessagesOnly)
        return hwnd == nullptr;
    return filter == hwnd;
}

// NULL (all), -1 (thread messages) and the desktop window are the only
// windows a filter may name.
bool ValidFilterWindow(HWND hwnd) {
    return hwnd == nullptr || hwnd == kThreadMessagesOnly || hwnd == kDesktopWindow;
}

MSG MakeMsg(HWND hwnd, UINT message, WPARAM w, LPARAM l) {
    MSG m{};
    m.hwnd = hwnd;
    m.message = message;
    m.wParam = w;
    m.lParam = l;
    m.time = GetTickCount();
    return m;
}

// Finds the next message for the filter (queue lock held). When none is
// there, *wakeNs gets the time at which a timer falls due (-1: none).
bool Retrieve(MessageQueue& q, HWND hwnd, UINT lo, UINT hi, bool remove, MSG* out,
              int64_t* wakeNs) {
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if (HwndMatches(hwnd, it->hwnd) && InFilter(it->message, lo, hi)) {
            *out = *it;
            if (remove)
                q.posted.erase(it);
            return true;
        }
    }
    if (q.quit && InFilter(WM_QUIT, lo, hi)) {
        *out = MakeMsg(nullptr, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0);
        if (remove)
            q.quit = false;
        return true;
    }
    *wakeNs = -1;
    if (!InFilter(WM_TIMER, lo, hi) || !HwndMatches(hwnd, nullptr))
        return false;
    int64_t now = NowNs();
    Timer* next = nullptr;
    for (Timer& t : q.timers) {
        if (!t.pending && now >= t.dueNs) {
            t.pending = true;
            t.firedNs = t.dueNs;
            t.dueNs += t.periodNs;
            if (t.dueNs <= now)
                t.dueNs = now + t.periodNs;
        }
        if (t.pending) {
            if (!next || t.firedNs < next->firedNs)
                next = &t;
        } else if (*wakeNs < 0 || t.dueNs < *wakeNs) {
            *wakeNs = t.dueNs;
        }
    }
    if (!next)
        return false;
    *out = MakeMsg(nullptr, WM_TIMER, next->id, reinterpret_cast<LPARAM>(next->proc));
    if (remove)
        next->pending = false;
    return true;
}

} // namespace

std::shared_ptr<MessageQueue> CurrentQueue() {
    ThreadState& st = CurrentThread();
    std::lock_guard lock(st.mutex);
    if (!st.queue)
        st.queue = std::make_shared<MessageQueue>();
    return st.queue;
}

HWND DesktopWindow() {
    return kDesktopWindow;
}

} // namespace w32p

using namespace w32p;

extern "C" BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<MessageQueue> queue;
    if (idThread == GetCurrentThreadId()) {
        queue = CurrentQueue();
    } else if (auto target = FindThread(idThread)) {
        std::lock_guard lock(target->mutex);
        queue = target->queue;
    }
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    MonitorLock lock(queue->monitor);
    if (queue->posted.size() >= kPostLimit) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    queue->posted.push_back(MakeMsg(nullptr, Msg, wParam, lParam));
    queue->monitor.NotifyAll();
    return TRUE;
}

extern "C" void WINAPI PostQuitMessage(int nExitCode) {
    auto queue = CurrentQueue();
    MonitorLock lock(queue->monitor);
    queue->quit = true;
    queue->quitCode = nExitCode;
}

extern "C" BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    auto queue = CurrentQueue();
    if (!lpMsg) {
        SetLastError(ERROR_NOACCESS);
        return -1;
    }
    if (!ValidFilterWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    TerminationPoint tp;
    MonitorLock lock(queue->monitor);
    for (;;) {
        int64_t wake = -1;
        if (Retrieve(*queue, hWnd, wMsgFilterMin, wMsgFilterMax, true, lpMsg, &wake))
            return lpMsg->message == WM_QUIT ? 0 : 1;
        queue->monitor.Wait(wake);
    }
}

extern "C" BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                                    UINT wRemoveMsg) {
    auto queue = CurrentQueue();
    if (!lpMsg) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (!ValidFilterWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    MonitorLock lock(queue->monitor);
    int64_t wake = -1;
    return Retrieve(*queue, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0,
                    lpMsg, &wake)
               ? TRUE
               : FALSE;
}

extern "C" BOOL WINAPI TranslateMessage(const MSG*) {
    CurrentQueue();
    return FALSE; // no keyboard messages, so nothing to translate
}

extern "C" LRESULT WINAPI DispatchMessageA(const MSG* lpMsg) {
    CurrentQueue();
    if (!lpMsg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (lpMsg->hwnd && lpMsg->hwnd != kDesktopWindow) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (lpMsg->message == WM_TIMER && lpMsg->lParam) {
        auto proc = reinterpret_cast<TIMERPROC>(lpMsg->lParam);
        bool known;
        {
            ProcSet& set = KnownProcs();
            std::lock_guard lock(set.mutex);
            known = set.procs.count(proc) != 0;
        }
        if (known)
            proc(lpMsg->hwnd, WM_TIMER, lpMsg->wParam, lpMsg->time);
    }
    return 0;
}

extern "C" UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse,
                                    TIMERPROC lpTimerFunc) {
    auto queue = CurrentQueue();
    if (hWnd) {
        // The desktop window belongs to no thread of this process.
        SetLastError(hWnd == kDesktopWindow ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (uElapse < USER_TIMER_MINIMUM)
        uElapse = USER_TIMER_MINIMUM;
    if (uElapse > USER_TIMER_MAXIMUM)
        uElapse = USER_TIMER_MAXIMUM;
    if (lpTimerFunc) {
        ProcSet& set = KnownProcs();
        std::lock_guard lock(set.mutex);
        set.procs.insert(lpTimerFunc);
    }
    int64_t period = static_cast<int64_t>(uElapse) * 1000000;
    MonitorLock lock(queue->monitor);
    // The requested id only matters when it names a timer of this thread,
    // which is then reset; otherwise the layer picks the id.
    for (Timer& t : queue->timers) {
        if (nIDEvent != 0 && t.id == nIDEvent) {
            t.periodNs = period;
            t.dueNs = NowNs() + period;
            t.proc = lpTimerFunc;
            t.pending = false;
            queue->monitor.NotifyAll();
            return t.id;
        }
    }
    if (gLiveTimers.fetch_add(1) >= kTimerLimit) {
        --gLiveTimers;
        SetLastError(ERROR_NO_MORE_USER_HANDLES);
        return 0;
    }
    Timer t;
    t.id = gNextTimerId.fetch_add(1);
    t.periodNs = period;
    t.dueNs = NowNs() + period;
    t.proc = lpTimerFunc;
    queue->timers.push_back(t);
    queue->monitor.NotifyAll();
    return t.id;
}

extern "C" BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
    auto queue = CurrentQueue();
    if (hWnd) {
        SetLastError(hWnd == kDesktopWindow ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    MonitorLock lock(queue->monitor);
    auto it = std::find_if(queue->timers.begin(), queue->timers.end(),
                           [&](const Timer& t) { return t.id == uIDEvent; });
    if (it == queue->timers.end()) {
        // Not a timer of this thread (another thread's timers are not ours to kill).
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    queue->timers.erase(it); // a pending tick goes with it
    --gLiveTimers;
    return TRUE;
}

extern "C" HWND WINAPI GetDesktopWindow(void) {
    CurrentQueue();
    return kDesktopWindow;
}

extern "C" HWND WINAPI GetWindow(HWND hWnd, UINT uCmd) {
    CurrentQueue();
    if (hWnd != kDesktopWindow) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    switch (uCmd) {
    case GW_HWNDFIRST:
    case GW_HWNDLAST:
        return kDesktopWindow; // the desktop window is alone at its level
    case GW_HWNDNEXT:
    case GW_HWNDPREV:
    case GW_OWNER:
    case GW_CHILD: // no top-level windows exist
    case GW_ENABLEDPOPUP:
        return nullptr;
    default:
        SetLastError(ERROR_INVALID_GW_COMMAND);
        return nullptr;
    }
}
