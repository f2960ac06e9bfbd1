// How far an extraction has come, and how to stop it: one record in the run state
// (RunState::progress) that the extractor's workers update and any other thread of the run (a
// progress window) may read and set.
//
//   consumed  archive bytes read so far from the stub's file, summed over every worker: the packed
//             streams (7z), the local records and their data (ZIP). Only ever grows. Read it with
//             ProgressConsumed.
//   total     the archive's size as the extractor knows it, 0 until it knows: for 7z the packed
//             streams' size from the archive's header (consumed reaches it when every folder was
//             read), for ZIP the bytes from the first local record to the end of the file (the
//             central directory and what follows it are never read, so consumed stays below it).
//             Set once, before the first byte is counted. Read it with ProgressTotal.
//   cancel    0 while nothing is decided; 1 once Cancel holds (RequestCancel), 2 once the run
//             decided to launch (DecideLaunch). Whichever comes first holds, in one atomic step: a
//             Cancel pressed after the decision changes nothing. Every worker tests for 1 between
//             chunks of at most 1 MiB (7z) or 256 KiB (ZIP) of output, and before each entry: it
//             stops, closes and deletes the file of the entry it had not finished (files it
//             finished stay), and takes nothing more. The extractor then returns
//             ExtractionEnd::Cancelled, with every worker stopped and every handle and block of the
//             extraction released: the staging folder may be deleted at once.
//
// All three are read and written with atomic operations only (the record is shared between
// threads); nothing here blocks or allocates.
#pragma once

#include "platform/platform.h"

namespace stub {

struct ExtractionProgress {
    platform::u64 consumed;
    platform::u64 total;
    platform::u32 cancel;
};

// How an extraction that returned ended. A refused or failed extraction never returns Cancelled.
// NoSpace: the payload does not fit the staging folder's free space (RunState::spaceNeeded and
// spaceFree say by how much); nothing was created.
enum class ExtractionEnd : platform::u32 { Finished = 0, Cancelled = 1, NoSpace = 2 };

inline platform::u64 ProgressConsumed(const ExtractionProgress& p) { return __atomic_load_n(&p.consumed, __ATOMIC_RELAXED); }
inline platform::u64 ProgressTotal(const ExtractionProgress& p) { return __atomic_load_n(&p.total, __ATOMIC_RELAXED); }
// True when the cancel holds (now or before), false when the launch was decided first.
inline bool RequestCancel(ExtractionProgress& p) {
    platform::u32 seen = 0;
    return __atomic_compare_exchange_n(&p.cancel, &seen, 1u, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE) ||
           seen == 1;
}
inline bool CancelRequested(const ExtractionProgress& p) { return __atomic_load_n(&p.cancel, __ATOMIC_ACQUIRE) == 1; }
// True when the launch is decided (no Cancel came first); from then on RequestCancel is refused.
inline bool DecideLaunch(ExtractionProgress& p) {
    platform::u32 seen = 0;
    return __atomic_compare_exchange_n(&p.cancel, &seen, 2u, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE) ||
           seen == 2;
}

// Used by the extractors.
inline void ProgressCount(ExtractionProgress* p, platform::u64 bytes) {
    if (p != nullptr) __atomic_fetch_add(&p->consumed, bytes, __ATOMIC_RELAXED);
}
inline void ProgressSetTotal(ExtractionProgress& p, platform::u64 total) {
    __atomic_store_n(&p.total, total, __ATOMIC_RELAXED);
}

}  // namespace stub
