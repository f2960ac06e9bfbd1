#include "payload/ExtractionWorkers.h"

namespace stub {

using namespace platform;

namespace {

u32 Load(const u32& value) { return __atomic_load_n(&value, __ATOMIC_ACQUIRE); }
// The four steps that decide whether an event is set are sequentially consistent: a waiter
// announces itself, then looks; a waker changes the state, then looks for waiters. One of the two
// always sees the other.
u32 LoadInOrder(const u32& value) { return __atomic_load_n(&value, __ATOMIC_SEQ_CST); }

void WakeWorker(Crew& crew) {
    if (LoadInOrder(crew.sleepers) != 0 && crew.work != nullptr) SetEvent(crew.work);
}

void Signal(Handle event) {
    if (event != nullptr) SetEvent(event);
}

// Takes the next published job and runs it on `worker`. False when none is waiting, or when the
// worker stopped short in an earlier job.
bool Take(Crew& crew, u32 worker) {
    CrewSeat& seat = crew.seats[worker];
    if (seat.stopped) return false;
    u32 job = Load(crew.taken);
    do {
        if (job >= Load(crew.published)) return false;
    } while (!__atomic_compare_exchange_n(&crew.taken, &job, job + 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
    // More waiting: the next idle worker wakes too (one event wakes one waiter).
    if (job + 1 < Load(crew.published)) WakeWorker(crew);
    seat.stopped = !crew.run(crew, worker, job);
    __atomic_add_fetch(&crew.finished, 1u, __ATOMIC_SEQ_CST);
    if (LoadInOrder(crew.doneWaiting) != 0) Signal(crew.done);
    return true;
}

u32 PLATFORM_API WorkerMain(void* parameter) {
    CrewSeat& seat = *static_cast<CrewSeat*>(parameter);
    Crew& crew = *seat.crew;
    for (;;) {
        if (Take(crew, seat.worker)) continue;
        if (seat.stopped || Load(crew.closed) != 0) break;
        __atomic_add_fetch(&crew.sleepers, 1u, __ATOMIC_SEQ_CST);
        if (LoadInOrder(crew.taken) >= LoadInOrder(crew.published) && LoadInOrder(crew.closed) == 0)
            WaitForSingleObject(crew.work, INFINITE);
        __atomic_sub_fetch(&crew.sleepers, 1u, __ATOMIC_SEQ_CST);
    }
    Signal(crew.work);  // the next waiting worker sees the crew closed too
    return 0;
}

}  // namespace

u32 PlanWorkers(u32 processors, u32 jobs, u64 perWorker, u64 budget) {
    u32 workers = processors < kMaxWorkers ? processors : kMaxWorkers;
    if (workers > jobs) workers = jobs;
    while (workers > 1 && workers * perWorker > budget) --workers;
    return workers == 0 ? 1 : workers;
}

u32 LogicalProcessors() {
    SystemInfo info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors == 0 ? 1 : info.dwNumberOfProcessors;
}

void CrewStart(Crew& crew, u32 size, u32 published, const WChar* selfPath, Handle selfFile) {
    crew.size = 1;
    crew.published = published;
    crew.taken = 0;
    crew.closed = 0;
    crew.failure = kNoFailure;
    crew.work = nullptr;
    crew.done = nullptr;
    crew.sleepers = 0;
    crew.doneWaiting = 0;
    crew.finished = 0;
    crew.finishedSeen = 0;
    crew.files[0] = selfFile;
    for (u32 i = 0; i < kMaxWorkers; ++i) crew.seats[i] = CrewSeat{&crew, i, kNoJob, 0, false, kNoFailure, 0, 0};
    if (size < 2) return;
    crew.work = CreateEventW(nullptr, 0, 0, nullptr);
    crew.done = CreateEventW(nullptr, 0, 0, nullptr);
    if (crew.work == nullptr || crew.done == nullptr) return;
    for (u32 i = 1; i < size; ++i) {
        crew.files[i] = CreateFileW(selfPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (crew.files[i] == INVALID_HANDLE_VALUE) break;
        crew.threads[i] = CreateThread(nullptr, 0, WorkerMain, &crew.seats[i], 0, nullptr);
        if (crew.threads[i] == nullptr) {
            CloseHandle(crew.files[i]);
            break;
        }
        crew.size = i + 1;
    }
}

void CrewPublish(Crew& crew, u32 count) {
    __atomic_store_n(&crew.published, count, __ATOMIC_SEQ_CST);
    WakeWorker(crew);
}

bool CrewHelp(Crew& crew) { return Take(crew, 0) && !crew.seats[0].stopped; }

void CrewWaitDone(Crew& crew) {
    if (crew.size > 1) {
        __atomic_store_n(&crew.doneWaiting, 1u, __ATOMIC_SEQ_CST);
        // A job that ended since the last look may be what the caller waits for: it looks again.
        if (LoadInOrder(crew.finished) == crew.finishedSeen) WaitForSingleObject(crew.done, INFINITE);
        __atomic_store_n(&crew.doneWaiting, 0u, __ATOMIC_SEQ_CST);
    }
    crew.finishedSeen = LoadInOrder(crew.finished);
}

void CrewFinish(Crew& crew) {
    __atomic_store_n(&crew.closed, 1u, __ATOMIC_SEQ_CST);
    Signal(crew.work);
    while (CrewHelp(crew)) {
    }
    for (u32 i = 1; i < crew.size; ++i) {
        WaitForSingleObject(crew.threads[i], INFINITE);
        CloseHandle(crew.threads[i]);
        CloseHandle(crew.files[i]);
    }
    if (crew.work != nullptr) CloseHandle(crew.work);
    if (crew.done != nullptr) CloseHandle(crew.done);
    crew.work = nullptr;
    crew.done = nullptr;
}

void CrewFail(Crew& crew, u32 worker, u32 entry, u32 reason, u32 error) {
    CrewSeat& seat = crew.seats[worker];
    seat.error = error;
    seat.failed = entry;
    seat.reason = reason;
    u32 seen = Load(crew.failure);
    while (entry < seen &&
           !__atomic_compare_exchange_n(&crew.failure, &seen, entry, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    }
}

bool CrewStopped(Crew& crew, u32 entry) {
    return Load(crew.failure) < entry || (crew.progress != nullptr && CancelRequested(*crew.progress));
}

u32 FailedReason(const Crew& crew) {
    u32 reason = 0;
    for (u32 i = 0; i < kMaxWorkers; ++i) {
        if (crew.seats[i].failed == crew.failure) reason = crew.seats[i].reason;
    }
    return reason;
}

u32 FailedError(const Crew& crew) {
    u32 error = 0;
    for (u32 i = 0; i < kMaxWorkers; ++i) {
        if (crew.seats[i].failed == crew.failure) error = crew.seats[i].error;
    }
    return error;
}

}  // namespace stub
