// Threads, events and waits on the host: real threads that take turns.
//
// CreateThread starts a real thread, but a run lets only one of its threads run at a time: the
// thread that holds the turn runs until it enters a platform call, where the turn may pass to
// another thread that can run, or until it waits on an object that is not signalled, or ends. Who
// gets the turn is decided by Environment::interleaveSeed alone: 0 lets a thread run until it waits
// or ends (the creator first, a new thread when the others wait); any other value passes the turn
// at about every second platform call, to a thread picked by a generator seeded with it. So a run
// is exactly repeatable: the same calls in the same order, the same N-th call failed by a fault
// sweep, whatever the machine's cores; and a test explores other interleavings by changing the
// seed. Stub code that waits only through the platform layer (events, thread handles) cannot spin
// here; a wait that no thread can ever end is reported as a std::logic_error in the run's own
// thread (a deadlock of the stub's threads).
//
// The real threads are kept when their stub thread ends, for the threads of later runs: whole runs
// by the thousand start a thread or two each, and starting and ending a real thread (its stack
// mapped, and unmapped with a flush of every core's TLB) costs more than such a run's own work.
//
// Each thread keeps its own last error. A thread that calls ExitProcess ends the run as it does on
// Windows: the run's own thread unwinds from where it waits with ProcessExit. When a run ends with
// threads still waiting, they are unwound (an exception from their wait, caught where they
// started) and joined before the run's handles and blocks are released.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/host/HostInternal.h"

namespace platform::host::detail {

struct PooledThread {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    std::function<void()> work;  // set: to run; emptied when it starts
    bool done = false;           // the last work returned
};

namespace {

// Real threads with no work, for the next CreateThread of any run. Made once and never destroyed:
// its threads wait for work until the process ends.
class ThreadPool {
public:
    PooledThread* Start(std::function<void()> work) {
        PooledThread* thread = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!idle_.empty()) {
                thread = idle_.back();
                idle_.pop_back();
            }
        }
        if (thread == nullptr) {
            thread = new PooledThread;
            thread->work = std::move(work);
            thread->thread = std::thread(Loop, thread);
            return thread;
        }
        std::lock_guard<std::mutex> lock(thread->mutex);
        thread->work = std::move(work);
        thread->done = false;
        thread->wake.notify_all();
        return thread;
    }
    // Waits until the thread's work has returned, then keeps the thread.
    void Join(PooledThread* thread) {
        {
            std::unique_lock<std::mutex> lock(thread->mutex);
            thread->wake.wait(lock, [&] { return thread->done; });
        }
        std::lock_guard<std::mutex> lock(mutex_);
        idle_.push_back(thread);
    }

private:
    static void Loop(PooledThread* thread) {
        std::unique_lock<std::mutex> lock(thread->mutex);
        for (;;) {
            thread->wake.wait(lock, [&] { return static_cast<bool>(thread->work); });
            std::function<void()> work = std::move(thread->work);
            thread->work = nullptr;
            lock.unlock();
            work();
            lock.lock();
            thread->done = true;
            thread->wake.notify_all();
        }
    }

    std::mutex mutex_;
    std::vector<PooledThread*> idle_;
};

ThreadPool& Pool() {
    static ThreadPool* const pool = new ThreadPool;
    return *pool;
}

// Thrown from a waiting thread's wait when its run ends; caught where the thread started.
struct ThreadUnwind {};

thread_local u32 tThreadId = 0;  // 0: the run's own thread

}  // namespace

namespace {

bool Signaled(Context& context, uintptr_t object) {
    auto it = context.objects.find(object);
    if (it == context.objects.end()) return true;  // closed while waited for: the wait fails
    if (it->second.kind == ObjectKind::Thread) return context.scheduler->threads[it->second.threadId].ended;
    return it->second.signaled;
}

bool CanRun(Context& context, u32 id) {
    const HostThread& t = context.scheduler->threads[id];
    return !t.ended && (t.waitingOn == 0 || Signaled(context, t.waitingOn));
}

uint64_t Next(Scheduler& s) {
    s.random ^= s.random << 13;
    s.random ^= s.random >> 7;
    s.random ^= s.random << 17;
    return s.random;
}

// Hands the turn to `to` and waits until it comes back (or the run unwinds). Holds the lock.
void HandOver(Context& context, std::unique_lock<std::mutex>& lock, u32 to) {
    Scheduler& s = *context.scheduler;
    const u32 me = tThreadId;
    s.threads[me].lastError = context.lastError;
    s.running = to;
    context.lastError = s.threads[to].lastError;
    s.turn.notify_all();
    s.turn.wait(lock, [&] { return s.running == me || s.unwinding; });
    if (s.unwinding) throw ThreadUnwind{};
    if (me == 0 && s.exiting) throw ProcessExit{s.exitCode};
    if (me == 0 && s.deadlock) {
        s.deadlock = false;
        throw std::logic_error("the stub's threads all wait for something no thread will do");
    }
}

// The thread after `me` in round-robin order that can run; `me` itself when none other can.
u32 NextRunnable(Context& context, u32 me) {
    const u32 count = static_cast<u32>(context.scheduler->threads.size());
    for (u32 k = 1; k <= count; ++k) {
        const u32 id = (me + k) % count;
        if (id != me && CanRun(context, id)) return id;
    }
    return me;
}

// Gives the turn away when the thread cannot run on (it waits, or ended); a deadlock otherwise.
void GiveUp(Context& context, std::unique_lock<std::mutex>& lock) {
    Scheduler& s = *context.scheduler;
    const u32 me = tThreadId;
    const u32 next = NextRunnable(context, me);
    if (next != me) {
        if (s.threads[me].ended) {  // hand over for good
            s.running = next;
            context.lastError = s.threads[next].lastError;
            s.turn.notify_all();
            return;
        }
        HandOver(context, lock, next);
        return;
    }
    if (CanRun(context, me)) return;
    if (me == 0) throw std::logic_error("the stub's threads all wait for something no thread will do");
    if (!s.threads[0].ended) {  // the run's thread reports it
        s.deadlock = true;
        s.running = 0;
        s.turn.notify_all();
        if (!s.threads[me].ended) {
            s.turn.wait(lock, [&] { return s.unwinding; });
            throw ThreadUnwind{};
        }
    }
}

void ThreadMain(Context* context, u32 id, ThreadProc start, void* parameter) {
    tThreadId = id;
    Scheduler& s = *context->scheduler;
    try {
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            s.turn.wait(lock, [&] { return s.running == id || s.unwinding; });
            if (s.unwinding) throw ThreadUnwind{};
        }
        start(parameter);
    } catch (const ThreadUnwind&) {
    } catch (const ProcessExit& exit) {
        std::unique_lock<std::mutex> lock(s.mutex);
        s.exiting = true;
        s.exitCode = exit.code;
        s.threads[id].ended = true;
        if (!s.unwinding) {
            s.running = 0;
            s.turn.notify_all();
        }
        return;
    }
    std::unique_lock<std::mutex> lock(s.mutex);
    s.threads[id].ended = true;
    if (!s.unwinding) GiveUp(*context, lock);
}

}  // namespace

void SchedulePoint() {
    Context& context = Current();
    if (!context.scheduler || context.env.interleaveSeed == 0) return;
    Scheduler& s = *context.scheduler;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.unwinding || (Next(s) & 1) == 0) return;
    // A thread picked at random among those that can run.
    const u32 count = static_cast<u32>(s.threads.size());
    const u32 start = static_cast<u32>(Next(s) % count);
    for (u32 k = 0; k < count; ++k) {
        const u32 id = (start + k) % count;
        if (id != tThreadId && CanRun(context, id)) {
            HandOver(context, lock, id);
            return;
        }
    }
}

void StopThreads(Context& context) {
    if (!context.scheduler) return;
    Scheduler& s = *context.scheduler;
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        s.unwinding = true;
        s.turn.notify_all();
    }
    for (HostThread& t : s.threads)
        if (t.thread != nullptr) Pool().Join(t.thread);
    context.scheduler.reset();
}

}  // namespace platform::host::detail

namespace platform {

using namespace host;
using namespace host::detail;

Handle CreateThread(SECURITY_ATTRIBUTES*, size_t, ThreadProc start, void* parameter, u32, u32* threadId) {
    if (Enter(host::Call::CreateThread)) return nullptr;
    Context& context = Current();
    context.result.threadStarted = true;
    if (!context.scheduler) {
        context.scheduler = std::make_unique<Scheduler>();
        context.scheduler->threads.emplace_back();
        context.scheduler->random = 0x9E3779B97F4A7C15ull ^ context.env.interleaveSeed;
    }
    Scheduler& s = *context.scheduler;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.threads.size() == s.threads.capacity()) {  // the records must not move
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const u32 id = static_cast<u32>(s.threads.size());
    s.threads.emplace_back();
    Context* const run = &context;
    s.threads[id].thread = Pool().Start([run, id, start, parameter] { ThreadMain(run, id, start, parameter); });
    if (threadId != nullptr) *threadId = 0x1000 + 4 * id;
    Object object(ObjectKind::Thread);
    object.threadId = id;
    return NewObject(std::move(object));
}

u32 WaitForSingleObject(Handle object, u32 milliseconds) {
    Context& context = Current();
    auto it = context.objects.find(reinterpret_cast<uintptr_t>(object));
    // A wait on a thread or an event fails only for a handle that is not one: not injected.
    const bool failable = it == context.objects.end() ||
                          (it->second.kind != ObjectKind::Thread && it->second.kind != ObjectKind::Event);
    if (Enter(host::Call::WaitForSingleObject, {}, {}, false, failable)) return WAIT_FAILED;
    it = context.objects.find(reinterpret_cast<uintptr_t>(object));
    if (it == context.objects.end()) {
        ++context.result.invalidHandleUses;
        SetError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const ObjectKind kind = it->second.kind;
    if (kind == ObjectKind::Find) {
        SetError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (kind == ObjectKind::Process && it->second.simId != 0)  // ends on the run's clock
        return AwaitClock(SimProcessEnd(it->second.simId), milliseconds);
    if (kind == ObjectKind::Process) {
        if (!it->second.outcome.stillRunning) return WAIT_OBJECT_0;
        if (milliseconds == INFINITE)
            throw std::logic_error("WaitForSingleObject(INFINITE) on something that never ends");
        return WAIT_TIMEOUT;
    }
    const uintptr_t key = reinterpret_cast<uintptr_t>(object);
    if (!context.scheduler) {  // no other thread: only the object's own state counts
        if (kind == ObjectKind::Event && it->second.signaled) {
            it->second.signaled = false;
            return WAIT_OBJECT_0;
        }
        if (milliseconds == INFINITE)
            throw std::logic_error("WaitForSingleObject(INFINITE) on an event nothing will set");
        return WAIT_TIMEOUT;
    }
    Scheduler& s = *context.scheduler;
    std::unique_lock<std::mutex> lock(s.mutex);
    HostThread& me = s.threads[tThreadId];
    bool gaveWay = false;
    for (;;) {
        if (context.objects.count(key) == 0) {
            me.waitingOn = 0;
            SetError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (Signaled(context, key)) {
            me.waitingOn = 0;
            if (kind == ObjectKind::Event) context.objects.at(key).signaled = false;  // auto-reset
            return WAIT_OBJECT_0;
        }
        if (milliseconds != INFINITE && gaveWay) {
            me.waitingOn = 0;
            return WAIT_TIMEOUT;
        }
        // A timed wait lets the others run once; an endless one waits until the object is set.
        if (milliseconds != INFINITE) {
            gaveWay = true;
            const u32 next = NextRunnable(context, tThreadId);
            if (next != tThreadId) HandOver(context, lock, next);
            continue;
        }
        me.waitingOn = key;
        GiveUp(context, lock);
    }
}

Handle CreateEventW(SECURITY_ATTRIBUTES*, Bool manualReset, Bool initialState, const WChar*) {
    if (Enter(host::Call::CreateEventW)) return nullptr;
    if (manualReset) {  // the stub uses auto-reset events only
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Object object(ObjectKind::Event);
    object.signaled = initialState != 0;
    return NewObject(std::move(object));
}

Bool SetEvent(Handle event) {
    Context& context = Current();
    const bool failable = FindObject(event, ObjectKind::Event) == nullptr;  // fails only on a bad handle
    if (Enter(host::Call::SetEvent, {}, {}, false, failable)) return 0;
    Object* object = FindObject(event, ObjectKind::Event);
    if (object == nullptr) {
        ++context.result.invalidHandleUses;
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    object->signaled = true;
    return 1;
}

void GetSystemInfo(SystemInfo* info) {
    Enter(host::Call::GetSystemInfo, {}, {}, false, false);  // cannot fail on Windows
    *info = SystemInfo{};
    info->dwPageSize = 4096;
    info->dwAllocationGranularity = 65536;
    info->dwNumberOfProcessors = Current().env.processors;
}

}  // namespace platform
