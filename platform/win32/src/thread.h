#pragma once
// Threads of the process as the layer sees them: ids, per-thread state
// (message queue, desktop), the records of threads made by CreateThread,
// and the rule by which TerminateThread ends a thread.
//
// TerminateThread rule: threads made by CreateThread run with POSIX
// cancellation disabled, except inside a TerminationPoint scope. The layer's
// blocking waits (GetMessageA, Sleep, WaitForSingleObject, the service
// dispatcher's wait) open one around the wait. TerminateThread sends a
// cancellation request; the thread ends at the first cancellation point
// (pthread_cond_wait, poll, read, nanosleep ...) inside such a scope, by a
// forced unwind that runs destructors. Code on those paths holds its locks
// with RAII and never swallows the unwind (no catch (...) without rethrow).
#include <windows.h>

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

// For the function that makes the blocking call inside a TerminationPoint:
// with AddressSanitizer, locals of frames abandoned by the forced unwind
// leave poisoned stack behind, which ASan's own unwind handling then trips
// over. Frames below the first cleanup must therefore have no redzones.
#if defined(__GNUC__)
#define W32P_TERMINABLE_LEAF __attribute__((no_sanitize("address"), noinline))
#else
#define W32P_TERMINABLE_LEAF
#endif

namespace w32p {

// Monotonic clock in nanoseconds.
int64_t NowNs();

// A pthread mutex with a condition variable on the monotonic clock. Its
// waits are cancellation points (unlike some std::condition_variable waits,
// which libstdc++ declares noexcept).
class Monitor {
public:
    Monitor();
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    void Lock() { pthread_mutex_lock(&mutex_); }
    void Unlock() { pthread_mutex_unlock(&mutex_); }
    void NotifyAll() { pthread_cond_broadcast(&cond_); }
    // Waits for a notification (the lock must be held); deadlineNs < 0 waits
    // without limit. Returns false when the deadline has passed.
    bool Wait(int64_t deadlineNs);

private:
    pthread_mutex_t mutex_;
    pthread_cond_t cond_;
};

class MonitorLock {
public:
    explicit MonitorLock(Monitor& m) : m_(m) { m_.Lock(); }
    ~MonitorLock() { m_.Unlock(); }
    MonitorLock(const MonitorLock&) = delete;
    MonitorLock& operator=(const MonitorLock&) = delete;

private:
    Monitor& m_;
};

struct ThreadRecord;
struct MessageQueue;

// Per-thread state, created on the thread's first call into the layer and
// dropped when the thread ends.
struct ThreadState {
    DWORD id = 0;
    std::weak_ptr<ThreadRecord> record; // set for threads made by CreateThread
    std::mutex mutex;                   // guards queue and desktop
    std::shared_ptr<MessageQueue> queue;
    HDESK desktop = nullptr; // null: the process's initial desktop
};

// The calling thread's state (assigns its id on first use).
ThreadState& CurrentThread();

// The state of a live thread, or null when no thread has that id.
std::shared_ptr<ThreadState> FindThread(DWORD id);

// Calls f for every live thread's state (the thread table is locked meanwhile).
void ForEachThread(const std::function<void(ThreadState&)>& f);

// While alive, the calling thread may be ended by TerminateThread at a
// cancellation point. Open one around a blocking wait only.
class TerminationPoint {
public:
    TerminationPoint();
    ~TerminationPoint();
    TerminationPoint(const TerminationPoint&) = delete;
    TerminationPoint& operator=(const TerminationPoint&) = delete;

private:
    int oldState_ = 0;
    std::shared_ptr<ThreadRecord> record_;
};

} // namespace w32p
