// The workers that unpack an archive in parallel: a crew of up to kMaxWorkers threads (the
// extractor's own thread is worker 0) that take numbered jobs in order (7z folders, ZIP entries)
// and run them with their own read handles, decoders and output files.
//
// The rule every extractor keeps with them: after a failure, exactly the files of the entries
// before the failed one (in archive order) exist. A failure is noted with its entry (CrewFail); the
// first in archive order wins. A worker tests CrewStopped before each entry and between chunks: an
// entry after the first failure (or any entry once the run is cancelled) is abandoned, its file
// closed and deleted, and the worker takes no further job past it. Jobs before the failure run to
// their end. Files that workers finished past the failure are deleted by the extractor once the
// crew has stopped: it knows each job's entries, and CrewSeat says how far the last job of each
// worker came.
#pragma once

#include "platform/platform.h"
#include "run/ExtractionProgress.h"

namespace stub {

using platform::u32;
using platform::u64;

constexpr u32 kMaxWorkers = 4;
// What the workers' windows and buffers may take together, as FolderDecoderMemory counts them.
constexpr u64 kWorkerBudget32 = 256ull << 20;
constexpr u64 kWorkerBudget64 = 512ull << 20;
constexpr u64 kWorkerBudget = sizeof(void*) == 4 ? kWorkerBudget32 : kWorkerBudget64;

constexpr u32 kNoFailure = 0xFFFFFFFFu;
constexpr u32 kNoJob = 0xFFFFFFFFu;

// min(processors, kMaxWorkers, jobs, what `budget` holds of `perWorker` bytes each), at least 1:
// one worker runs whatever it needs.
u32 PlanWorkers(u32 processors, u32 jobs, u64 perWorker, u64 budget);

// The machine's logical processors, at least 1.
u32 LogicalProcessors();

struct Crew;

// What a worker knows of its last job, for the clean-up after a failure.
struct CrewSeat {
    Crew* crew;
    u32 worker;
    u32 job;   // the job it runs or ran last, kNoJob: none
    u32 kept;  // the entries of that job before this one were unpacked whole and stay
    bool stopped;  // that job did not run whole: the worker takes no other
    u32 failed;    // the entry at which the worker failed, kNoFailure: none
    u32 reason;    // why
    u32 error;     // the Windows error of the call that failed (disk full, ...), 0: none
};

struct Crew {
    // Runs job `job` on `worker` (its resources are the extractor's): notes a failure with
    // CrewFail, never ends the process. True when every entry of the job was unpacked; after a job
    // that was not, the worker takes no other (so a worker's unfinished job is always its last).
    bool (*run)(Crew& crew, u32 worker, u32 job);
    ExtractionProgress* progress;
    u32 size;               // workers that run, worker 0 included
    u32 published;          // jobs that may be taken (shared)
    u32 taken;              // jobs taken (shared)
    u32 closed;             // 1: nothing more will be published (shared)
    u32 failure;            // the first failed entry (archive order), kNoFailure (shared)
    platform::Handle work;  // auto-reset: a job was published or the crew closed
    platform::Handle done;  // auto-reset: a job ended
    // Each event is set only when somebody may wait on it (a set costs a call to the system, for
    // every entry otherwise): `sleepers` workers are about to wait on `work`; the caller is about
    // to wait on `done` while `doneWaiting` is 1; `finished` counts ended jobs, `finishedSeen` is
    // its value when the caller last looked.
    u32 sleepers;           // (shared)
    u32 doneWaiting;        // (shared)
    u32 finished;           // (shared)
    u32 finishedSeen;       // the caller's own
    platform::Handle threads[kMaxWorkers];
    platform::Handle files[kMaxWorkers];  // each worker's read handle on the stub's file
    CrewSeat seats[kMaxWorkers];
};

// Starts workers 1 to size - 1 (worker 0 is the caller, reading through `selfFile`), each with a
// read handle of its own on `selfPath`, with `published` jobs ready. Fewer start when a handle,
// thread or event cannot be had: crew.size says how many run. The caller has set `run` and
// `progress`; a failure known before any job runs is noted (CrewFail on worker 0) after the start.
void CrewStart(Crew& crew, u32 size, u32 published, const platform::WChar* selfPath, platform::Handle selfFile);

// Makes jobs up to `count` (exclusive) available.
void CrewPublish(Crew& crew, u32 count);

// The caller runs the next published job as worker 0. False when none is waiting, or after a job
// of worker 0 that did not run whole.
bool CrewHelp(Crew& crew);

// Waits until a worker ends a job (or returns at once when the crew has no other worker, or when a
// job ended since the caller's last wait: the caller checks again).
void CrewWaitDone(Crew& crew);

// No more jobs: runs what is left as worker 0, then waits for every worker and releases the
// threads, events and read handles. Afterwards the crew's fields may be read without atomics.
void CrewFinish(Crew& crew);

// Notes a failure of `worker` at `entry` (archive order) for `reason`, with the Windows error of
// the call that failed (0: none; taken right after that call, since the calls made in between, on
// any thread, may set another); the first in archive order is the crew's.
void CrewFail(Crew& crew, u32 worker, u32 entry, u32 reason, u32 error);

// True when `entry` must not be unpacked: a failure was noted before it, or the run is cancelled.
bool CrewStopped(Crew& crew, u32 entry);

// After CrewFinish: why the crew's first failed entry failed.
u32 FailedReason(const Crew& crew);
// The Windows error behind the crew's first failure, for the log and the failure message's cause.
u32 FailedError(const Crew& crew);

}  // namespace stub
