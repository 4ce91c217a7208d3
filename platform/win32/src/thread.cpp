// kernel32 threads: ids, CreateThread, exit codes, TerminateThread, waits.
#include "thread.h"

#include "handles.h"

#include <cerrno>
#include <climits>
#include <sched.h>
#include <unistd.h>
#include <unordered_map>

namespace w32p {

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

namespace {
timespec ToTimespec(int64_t ns) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}
} // namespace

Monitor::Monitor() {
    pthread_mutex_init(&mutex_, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&cond_, &attr);
    pthread_condattr_destroy(&attr);
}

Monitor::~Monitor() {
    pthread_cond_destroy(&cond_);
    pthread_mutex_destroy(&mutex_);
}

W32P_TERMINABLE_LEAF bool Monitor::Wait(int64_t deadlineNs) {
    if (deadlineNs < 0) {
        pthread_cond_wait(&cond_, &mutex_);
        return true;
    }
    timespec ts = ToTimespec(deadlineNs);
    return pthread_cond_timedwait(&cond_, &mutex_, &ts) != ETIMEDOUT;
}

// The record of a thread made by CreateThread, shared by its handles and the
// thread itself.
struct ThreadRecord {
    Monitor monitor; // guards everything below except waiting
    DWORD id = 0;
    pthread_t thread{};
    LPTHREAD_START_ROUTINE proc = nullptr;
    LPVOID param = nullptr;
    bool suspended = false;
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;
    bool terminated = false;
    DWORD terminateCode = 0;
    bool exitRequested = false; // ExitThread
    DWORD exitThreadCode = 0;
    std::atomic<int> waiting{0};        // TerminationPoint scopes open on the thread
    std::shared_ptr<ThreadState> state; // handed to the thread when it starts
};

namespace {

struct ThreadObject : KernelObject {
    explicit ThreadObject(std::shared_ptr<ThreadRecord> r) : record(std::move(r)) {}
    ObjectKind Kind() const override { return ObjectKind::Thread; }
    std::shared_ptr<ThreadRecord> record;
};

// Thread ids: multiples of 4 as on Windows, never 0, never reused.
constexpr DWORD kFirstThreadId = 0x1004;

struct Registry {
    std::mutex mutex;
    std::unordered_map<DWORD, std::shared_ptr<ThreadState>> threads;
    std::atomic<DWORD> nextId{kFirstThreadId};
};

void AfterForkInChild();

// Never destroyed (it outlives static destructors); replaced in a child
// after fork, which has only the forking thread.
std::atomic<Registry*> gRegistry{nullptr};

Registry& TheRegistry() {
    Registry* r = gRegistry.load(std::memory_order_acquire);
    if (r)
        return *r;
    static Registry* first = [] {
        pthread_atfork(nullptr, nullptr, AfterForkInChild);
        return new Registry;
    }();
    Registry* expected = nullptr;
    gRegistry.compare_exchange_strong(expected, first);
    return *gRegistry.load(std::memory_order_acquire);
}

DWORD NewThreadId() {
    return TheRegistry().nextId.fetch_add(4);
}

// Owns the calling thread's state; its destructor (thread exit) unregisters.
struct ThreadHolder {
    std::shared_ptr<ThreadState> state;
    ~ThreadHolder() { Release(); }
    void Release();
};

ThreadHolder& Holder() {
    static thread_local ThreadHolder holder;
    return holder;
}

// Installs the state of the calling thread under a given id (CreateThread
// threads get the id that CreateThread already reported).
std::shared_ptr<ThreadState> RegisterThread(DWORD id, std::shared_ptr<ThreadRecord> record) {
    auto state = std::make_shared<ThreadState>();
    state->id = id;
    state->record = record;
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.threads[id] = state;
    return state;
}

void UnregisterThread(const std::shared_ptr<ThreadState>& state) {
    Registry& r = TheRegistry();
    std::shared_ptr<ThreadState> dropped; // destroyed after the lock is released
    std::lock_guard lock(r.mutex);
    auto it = r.threads.find(state->id);
    if (it != r.threads.end() && it->second == state) {
        dropped = std::move(it->second);
        r.threads.erase(it);
    }
}

void ThreadHolder::Release() {
    if (!state)
        return;
    UnregisterThread(state);
    state.reset();
}

// The child of a fork keeps only its own thread: the others do not exist
// there, and the old table's lock may have been held by one of them.
void AfterForkInChild() {
    Registry* old = gRegistry.load();
    auto* fresh = new Registry;
    if (old)
        fresh->nextId.store(old->nextId.load());
    if (ThreadHolder& h = Holder(); h.state)
        fresh->threads[h.state->id] = h.state;
    gRegistry.store(fresh); // the old table is left as it is, never touched again
}

std::shared_ptr<ThreadRecord> CurrentRecord() {
    return CurrentThread().record.lock();
}

// Ends the thread's life as seen by the layer: its state and queue go away
// first (so posts to it fail), then the exit code becomes visible.
struct EndOfThread {
    std::shared_ptr<ThreadRecord> record;
    bool returned = false;
    DWORD returnCode = 0;
    ~EndOfThread() {
        Holder().Release();
        MonitorLock lock(record->monitor);
        if (record->terminated)
            record->exitCode = record->terminateCode;
        else if (returned)
            record->exitCode = returnCode;
        else if (record->exitRequested)
            record->exitCode = record->exitThreadCode;
        else
            record->exitCode = 0;
        record->ended = true;
        record->monitor.NotifyAll();
    }
};

void* ThreadStart(void* arg) {
    int ignored;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &ignored);
    // The thread's one reference to its record is end's, so that all the
    // thread does after its work (also when terminated) is ~EndOfThread.
    auto* start = static_cast<std::shared_ptr<ThreadRecord>*>(arg);
    EndOfThread end{std::move(*start)};
    delete start;
    ThreadRecord& record = *end.record;
    Holder().state = std::move(record.state); // registered by CreateThread
    {
        MonitorLock lock(record.monitor);
        while (record.suspended && !record.terminated)
            record.monitor.Wait(-1);
        if (record.terminated)
            return nullptr;
    }
    end.returnCode = record.proc(record.param);
    end.returned = true;
    return nullptr;
}

// Sleeps until the monotonic deadline (-1: for ever); a termination point.
W32P_TERMINABLE_LEAF void SleepUntil(int64_t deadlineNs) {
    if (deadlineNs < 0) {
        for (;;)
            pause();
    }
    timespec until = ToTimespec(deadlineNs);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

const HANDLE kCurrentThreadPseudo = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

std::shared_ptr<ThreadRecord> LookupThread(HANDLE h) {
    auto object = LookupHandleAs<ThreadObject>(h, ObjectKind::Thread);
    return object ? object->record : nullptr;
}

[[noreturn]] void ExitCurrentThread() {
    pthread_exit(nullptr); // forced unwind: destructors run, EndOfThread records the code
}

} // namespace

ThreadState& CurrentThread() {
    ThreadHolder& h = Holder();
    if (!h.state)
        h.state = RegisterThread(NewThreadId(), nullptr);
    return *h.state;
}

std::shared_ptr<ThreadState> FindThread(DWORD id) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    auto it = r.threads.find(id);
    return it == r.threads.end() ? nullptr : it->second;
}

void ForEachThread(const std::function<void(ThreadState&)>& f) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    for (auto& [id, state] : r.threads)
        f(*state);
}

TerminationPoint::TerminationPoint() : record_(CurrentRecord()) {
    if (record_)
        record_->waiting.fetch_add(1);
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &oldState_);
    pthread_testcancel();
}

TerminationPoint::~TerminationPoint() {
    pthread_setcancelstate(oldState_, nullptr);
    if (record_)
        record_->waiting.fetch_sub(1);
}

} // namespace w32p

using namespace w32p;

extern "C" DWORD WINAPI GetCurrentThreadId(void) {
    return CurrentThread().id;
}

extern "C" HANDLE WINAPI GetCurrentThread(void) {
    return kCurrentThreadPseudo;
}

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                                      LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                      DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (!lpStartAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto record = std::make_shared<ThreadRecord>();
    record->id = NewThreadId();
    record->proc = lpStartAddress;
    record->param = lpParameter;
    record->suspended = (dwCreationFlags & CREATE_SUSPENDED) != 0;

    HANDLE handle = InsertHandle(std::make_shared<ThreadObject>(record));
    if (!handle)
        return nullptr;
    // Known by its id from now on, like a Windows thread (it has no queue yet).
    record->state = RegisterThread(record->id, record);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (dwStackSize) {
        // Never below what the layer itself needs on the thread.
        size_t size = dwStackSize < 256 * 1024 ? 256 * 1024 : dwStackSize;
        pthread_attr_setstacksize(&attr, size);
    }
    auto* arg = new std::shared_ptr<ThreadRecord>(record);
    int rc;
    {
        MonitorLock lock(record->monitor); // thread may not be seen before it is recorded
        rc = pthread_create(&record->thread, &attr, ThreadStart, arg);
    }
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete arg;
        UnregisterThread(record->state);
        record->state.reset();
        RemoveHandle(handle, ObjectKind::Thread);
        SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (lpThreadId)
        *lpThreadId = record->id;
    return handle;
}

extern "C" DWORD WINAPI GetThreadId(HANDLE Thread) {
    if (Thread == kCurrentThreadPseudo)
        return GetCurrentThreadId();
    auto record = LookupThread(Thread);
    return record ? record->id : 0;
}

extern "C" DWORD WINAPI ResumeThread(HANDLE hThread) {
    auto record = LookupThread(hThread);
    if (!record)
        return static_cast<DWORD>(-1);
    MonitorLock lock(record->monitor);
    if (!record->suspended)
        return 0;
    record->suspended = false;
    record->monitor.NotifyAll();
    return 1;
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    if (!lpExitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (hThread == kCurrentThreadPseudo) {
        *lpExitCode = STILL_ACTIVE;
        return TRUE;
    }
    auto record = LookupThread(hThread);
    if (!record)
        return FALSE;
    MonitorLock lock(record->monitor);
    *lpExitCode = record->ended ? record->exitCode : STILL_ACTIVE;
    return TRUE;
}

extern "C" void WINAPI ExitThread(DWORD dwExitCode) {
    if (auto record = CurrentRecord()) {
        MonitorLock lock(record->monitor);
        record->exitRequested = true;
        record->exitThreadCode = dwExitCode;
    }
    ExitCurrentThread();
}

extern "C" BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode) {
    std::shared_ptr<ThreadRecord> record;
    if (hThread == kCurrentThreadPseudo) {
        record = CurrentRecord();
        if (!record) // a thread not made by CreateThread ends like ExitThread
            ExitCurrentThread();
    } else {
        record = LookupThread(hThread);
        if (!record)
            return FALSE;
    }
    bool self = record->id == GetCurrentThreadId();
    {
        MonitorLock lock(record->monitor);
        if (record->ended || record->terminated)
            return TRUE;
        record->terminated = true;
        record->terminateCode = dwExitCode;
        record->monitor.NotifyAll(); // a suspended thread ends without running
        if (!self)
            pthread_cancel(record->thread); // the thread is alive: it has not ended
    }
    if (self)
        ExitCurrentThread();
    // A thread blocked in a termination point ends at once; wait for that so
    // the exit code is visible on return. Bounded, in case it is busy.
    if (record->waiting.load() > 0) {
        int64_t deadline = NowNs() + 5'000'000'000LL;
        MonitorLock lock(record->monitor);
        while (!record->ended && record->monitor.Wait(deadline)) {
        }
    }
    return TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    std::shared_ptr<ThreadRecord> record;
    if (hHandle == kCurrentThreadPseudo)
        record = CurrentRecord();
    else if (hHandle != GetCurrentProcess() && !(record = LookupThread(hHandle)))
        return WAIT_FAILED;
    int64_t deadline =
        dwMilliseconds == INFINITE ? -1 : NowNs() + static_cast<int64_t>(dwMilliseconds) * 1000000;
    TerminationPoint tp;
    if (!record) { // the process, or a thread that never ends while waited on
        Sleep(dwMilliseconds);
        return WAIT_TIMEOUT;
    }
    MonitorLock lock(record->monitor);
    while (!record->ended) {
        if (!record->monitor.Wait(deadline) && !record->ended)
            return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0;
}

extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
    TerminationPoint tp;
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    SleepUntil(
        dwMilliseconds == INFINITE ? -1 : NowNs() + static_cast<int64_t>(dwMilliseconds) * 1000000);
}
