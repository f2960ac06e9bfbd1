#include "payload/SevenZipExtractor.h"

#include "payload/EntryNameCheck.h"
#include "payload/EntryNameSet.h"
#include "payload/EntryPaths.h"
#include "payload/ExtractionWorkers.h"
#include "payload/FreeSpace.h"
#include "payload/SevenZipAllocators.h"
#include "payload/SevenZipFolderDecoder.h"
#include "payload/SevenZipPipeline.h"
#include "payload/SevenZipSignatureGuard.h"
#include "payload/SevenZipStreams.h"
#include "run/Failure.h"

extern "C" {
#include "7z.h"
#include "7zCrc.h"
}

namespace stub {

using namespace platform;

namespace {

constexpr UInt32 kNoFolder = 0xFFFFFFFFu;
constexpr SizeT kWriteChunkBytes = 1u << 20;  // the most one write call is handed
constexpr SRes kAbandoned = SZ_ERROR_PROGRESS;  // an entry stopped by an earlier failure or the cancel

// A load the optimiser may not remove: keeps the guard bytes (and so their place right after the
// decoder's signature constant) in the linked image.
void TouchSignatureGuard() {
    const volatile u8* guard = kSevenZipSignatureGuard;
    static_cast<void>(guard[0]);
}

Reason StopReason(SRes res) {
    switch (res) {
        case SZ_ERROR_UNSUPPORTED: return Reason::SevenZipUnsupported;
        case SZ_ERROR_MEM: return Reason::SevenZipMemory;
        case SZ_ERROR_CRC: return Reason::SevenZipCrc;
        case SZ_ERROR_READ:
        case SZ_ERROR_INPUT_EOF: return Reason::SevenZipRead;
        default: return Reason::SevenZipData;
    }
}

// A worker's own block, handed out front to back to the decoder of one folder at a time (its
// frees do nothing; the next folder starts again at the front).
struct Arena {
    ISzAlloc vt;
    Byte* base;
    SizeT size;
    SizeT used;
};

static_assert(kSevenZipArenaSlack >= 8 * 16, "16 bytes of alignment for each of at most 8 blocks");

void* ArenaAlloc(ISzAllocPtr p, size_t size) {
    Arena& arena = *reinterpret_cast<Arena*>(const_cast<ISzAlloc*>(p));
    size = (size + 15) & ~static_cast<size_t>(15);
    if (size > arena.size - arena.used) return nullptr;
    void* block = arena.base + arena.used;
    arena.used += size;
    return block;
}

void ArenaFree(ISzAllocPtr, void*) {}

// The folder being streamed, and how far its unpacked bytes have been taken.
struct OpenFolder {
    bool open;
    UInt32 lastFile;   // the folder's last file that is written: its end is the folder's end
    u64 position;      // unpacked bytes taken so far
    ISzAllocPtr alloc; // the worker's arena, or the stub's heap for a folder the arena cannot hold
    FolderDecoder decoder;
    SevenZipPipeline pipeline;
};

struct Worker {
    Arena arena;
    OpenFolder open;
    u32 error;  // the Windows error of the write that failed
    WChar path[kStagingRootChars];  // the staging path, a backslash and the entry's name
};

// One extraction. A job is one folder with the entries around it: job j holds the entries from
// the folder's first file (from 0 for job 0) to the next folder's first file; an archive without
// folders is one job.
struct Extraction {
    Crew crew;  // first: a job finds its extraction from the crew
    const CSzArEx* db;
    u32 limit;  // entries from this one on are not unpacked: the first refused entry
    u32 tail;   // where entry names start in a worker's path
    bool helpers;
    Worker workers[kMaxWorkers];
};

u32 JobStart(const CSzArEx& db, u32 job) { return job == 0 ? 0 : db.FolderToFile[job]; }

u32 JobEnd(const Extraction& x, u32 job) {
    const u32 end = x.db->db.NumFolders == 0 ? x.db->NumFiles : x.db->FolderToFile[job + 1];
    return end < x.limit ? end : x.limit;
}

void NameEntry(const Extraction& x, Worker& w, u32 i) {
    SzArEx_GetFileNameUtf16(x.db, i, reinterpret_cast<UInt16*>(w.path + x.tail));
}

// The folder's last file entry with data that is not a directory.
UInt32 LastFileOf(const CSzArEx& db, UInt32 folder) {
    UInt32 last = kNoFolder;
    for (UInt32 i = db.FolderToFile[folder]; i < db.NumFiles && i < db.FolderToFile[folder + 1]; ++i) {
        if (db.FileToFolder[i] == folder && !SzArEx_IsDir(&db, i)) last = i;
    }
    return last;
}

// Takes `count` unpacked bytes of the folder, handing each slice to `file` when it is not
// INVALID_HANDLE_VALUE, and to the running CRC. SZ_ERROR_WRITE for a failed write (its error in
// w.error), kAbandoned when entry `entry` must stop (an earlier failure, or the cancel).
SRes Take(Extraction& x, Worker& w, u32 entry, u64 count, Handle file, UInt32* crc) {
    OpenFolder& open = w.open;
    while (count != 0) {
        if (CrewStopped(x.crew, entry)) return kAbandoned;
        const Byte* data;
        SizeT size;
        const SizeT most = count < kWriteChunkBytes ? static_cast<SizeT>(count) : kWriteChunkBytes;
        const SRes res = PipelineRead(open.pipeline, &data, &size, most);
        if (res != SZ_OK) return res;
        if (size == 0) return SZ_ERROR_DATA;  // the folder ended before the entry did
        open.position += size;
        count -= size;
        if (file == INVALID_HANDLE_VALUE) continue;
        *crc = CrcUpdate(*crc, data, size);
        u32 written = 0;
        if (!WriteFile(file, data, static_cast<u32>(size), &written, nullptr) || written != size) {
            w.error = GetLastError();
            return SZ_ERROR_WRITE;
        }
    }
    return SZ_OK;
}

// Writes entry `i` (a file with data in folder `folder`) to `file`, which the caller has created.
// Not SZ_OK: the entry failed or was abandoned (the caller deletes the file).
SRes StreamEntry(Extraction& x, u32 i, UInt32 folder, Worker& w, Handle file) {
    const CSzArEx& db = *x.db;
    OpenFolder& open = w.open;
    const u64 start = db.UnpackPositions[i] - db.UnpackPositions[db.FolderToFile[folder]];
    const u64 size = SzArEx_GetFileSize(&db, i);
    // Entries come in folder order; what lies between them (a directory's data) is passed over.
    if (start < open.position) return SZ_ERROR_FAIL;
    SRes res = Take(x, w, i, start - open.position, INVALID_HANDLE_VALUE, nullptr);
    if (res != SZ_OK) return res;
    UInt32 crc = CRC_INIT_VAL;
    res = Take(x, w, i, size, file, &crc);
    if (res != SZ_OK) return res;
    if (i == open.lastFile) {
        // The folder's last file is kept only when the whole folder ended as it must.
        res = Take(x, w, i, open.decoder.unpackSize - open.position, INVALID_HANDLE_VALUE, nullptr);
        if (res != SZ_OK) return res;
        const Byte* data;
        SizeT size;
        res = PipelineRead(open.pipeline, &data, &size, 1);
        if (res == SZ_OK && size != 0) res = SZ_ERROR_DATA;
        if (res != SZ_OK) return res;
    }
    if (SzBitWithVals_Check(&db.CRCs, i) && CRC_GET_DIGEST(crc) != db.CRCs.Vals[i]) return SZ_ERROR_CRC;
    return SZ_OK;
}

// Opens the job's folder: in the worker's arena, or from the stub's heap when the worker has none.
SRes OpenFolderOf(Extraction& x, Worker& w, UInt32 folder) {
    OpenFolder& open = w.open;
    w.arena.used = 0;
    open.alloc = w.arena.base != nullptr ? &w.arena.vt : &kSevenZipMainAllocator;
    SRes res = FolderDecoderOpen(open.decoder, *x.db, folder, x.crew.files[&w - x.workers], open.alloc,
                                 x.crew.progress);
    if (res != SZ_OK) return res;
    res = PipelineStart(open.pipeline, open.decoder, open.alloc, x.helpers);
    if (res != SZ_OK) {
        FolderDecoderFree(open.decoder, open.alloc);
        return res;
    }
    open.open = true;
    open.lastFile = LastFileOf(*x.db, folder);
    open.position = 0;
    return SZ_OK;
}

void CloseFolder(OpenFolder& open) {
    if (open.open) {
        PipelineStop(open.pipeline, open.alloc);
        FolderDecoderFree(open.decoder, open.alloc);
    }
    open.open = false;
}

// The crew's job: the entries of one folder, in order, into their files.
bool RunJob(Crew& crew, u32 worker, u32 job) {
    Extraction& x = reinterpret_cast<Extraction&>(crew);
    const CSzArEx& db = *x.db;
    Worker& w = x.workers[worker];
    CrewSeat& seat = crew.seats[worker];
    const u32 end = JobEnd(x, job);
    u32 i = JobStart(db, job);
    seat.job = job;
    seat.kept = i;
    for (; i < end; ++i) {
        if (SzArEx_IsDir(&db, i)) continue;
        if (CrewStopped(crew, i)) break;
        // A file with data needs its folder's decoder before anything is created for it.
        const UInt32 folder = db.FileToFolder[i];
        if (folder != kNoFolder && !w.open.open) {
            const SRes res = OpenFolderOf(x, w, folder);
            if (res != SZ_OK) {
                CrewFail(crew, worker, i, static_cast<u32>(StopReason(res)), 0);
                break;
            }
        }
        NameEntry(x, w, i);
        const Handle file = CreateFileW(w.path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            CrewFail(crew, worker, i, static_cast<u32>(Reason::EntryCreate), GetLastError());
            break;
        }
        SRes res = folder == kNoFolder ? SZ_OK : StreamEntry(x, i, folder, w, file);
        u32 error = res == SZ_ERROR_WRITE ? w.error : res == SZ_ERROR_READ ? FolderDecoderReadError(w.open.decoder) : 0;
        if (!CloseHandle(file) && res == SZ_OK) {
            res = SZ_ERROR_WRITE;
            error = GetLastError();
        }
        if (res != SZ_OK) {
            // No partly written or unverified file is left for the installer.
            DeleteFileW(w.path);
            if (res != kAbandoned) {
                CrewFail(crew, worker, i, static_cast<u32>(res == SZ_ERROR_WRITE ? Reason::SevenZipWrite : StopReason(res)), error);
            }
            break;
        }
        seat.kept = i + 1;
    }
    CloseFolder(w.open);
    return i >= end;
}

// After a failure: deletes the files that workers finished past the failed entry.
void DeleteFilesAfter(Extraction& x, u32 failed) {
    const CSzArEx& db = *x.db;
    Worker& w = x.workers[0];
    for (u32 job = 0; job < x.crew.taken; ++job) {
        u32 end = JobEnd(x, job);
        for (u32 k = 0; k < x.crew.size; ++k) {
            if (x.crew.seats[k].job == job) end = x.crew.seats[k].kept;
        }
        u32 i = JobStart(db, job);
        if (i <= failed) i = failed + 1;
        for (; i < end; ++i) {
            if (SzArEx_IsDir(&db, i)) continue;
            NameEntry(x, w, i);
            DeleteFileW(w.path);
        }
    }
}

}  // namespace

ExtractionEnd SevenZipExtractor(RunState& state) {
    TouchSignatureGuard();

    SevenZipInput input;
    SevenZipInputSetUp(input, state.selfFile);
    const ISzAllocPtr mainAllocator = &kSevenZipMainAllocator;
    const ISzAllocPtr tempAllocator = &kSevenZipTempAllocator;

    CrcGenerateTable();

    CSzArEx db;
    SzArEx_Init(&db);
    Extraction x;
    x.db = &db;
    x.crew.run = RunJob;
    x.crew.progress = &state.progress;

    SRes opened = SzArEx_Open(&db, SevenZipLookStream(input), mainAllocator, tempAllocator);
    // Without a name table no entry can be named: treated like an archive that did not open.
    if (opened == SZ_OK && db.NumFiles != 0 && db.FileNameOffsets == nullptr) opened = SZ_ERROR_ARCHIVE;
    if (opened != SZ_OK) {
        NoteStop(Reason::SevenZipOpen, static_cast<u32>(opened), opened == SZ_ERROR_READ ? GetLastError() : 0);
        SzArEx_Free(&db, mainAllocator);
        return ExtractionEnd::Finished;
    }
    if (db.db.NumPackStreams != 0) ProgressSetTotal(state.progress, db.db.PackPositions[db.db.NumPackStreams]);

    // The files and their bytes, as the header gives them, against the free space.
    u64 bytes = 0;
    u32 files = 0;
    for (UInt32 i = 0; i < db.NumFiles; ++i) {
        if (SzArEx_IsDir(&db, i)) continue;
        ++files;
        const u64 sum = bytes + SzArEx_GetFileSize(&db, i);
        bytes = sum < bytes ? ~0ull : sum;
    }
    if (!PayloadFits(state, bytes, files)) {
        SzArEx_Free(&db, mainAllocator);
        return ExtractionEnd::NoSpace;
    }

    // Every check that comes before anything is created for an entry, in archive order, and the
    // parent folders of every entry before the first that fails them: the workers then only create
    // files. `limit` is the first refused entry.
    x.limit = db.NumFiles;
    x.tail = state.staging.entryTail;
    Reason refused = Reason::SevenZipOpen;  // none
    u32 refusedError = 0;  // the Windows error of a folder that could not be made
    u64 perWorker = 0;
    UInt32 lastFolder = kNoFolder;
    WChar name[kMaxPathChars];
    EntryNameSet names;  // the files' names so far: a name met again is refused here, in order
    for (UInt32 i = 0; i < db.NumFiles; ++i) {
        if (SzArEx_IsDir(&db, i)) continue;
        // The length counts the terminating NUL.
        const size_t len = SzArEx_GetFileNameUtf16(&db, i, nullptr);
        const UInt32 folder = db.FileToFolder[i];
        if (folder != kNoFolder && folder != lastFolder) {
            lastFolder = folder;
            const SRes res = FolderDecoderCheck(db, folder);
            const u64 memory = FolderDecoderMemory(db, folder);
            if (memory > perWorker) perWorker = memory;
            if (res != SZ_OK) refused = StopReason(res);
        }
        // Path-length rule (the first test also keeps the 32-bit casts exact), then the name
        // check, then the parent folders.
        if (refused == Reason::SevenZipOpen) {
            if (len > kMaxPathChars || !EntryPathFits(state.staging, static_cast<u32>(len))) {
                refused = Reason::NameTooLong;
            } else {
                SzArEx_GetFileNameUtf16(&db, i, reinterpret_cast<UInt16*>(name));
                u32 taken = 0;
                u32 made = 0;
                if (!EntryNameIsSafe(name, static_cast<u32>(len))) refused = Reason::NameUnsafe;
                else if ((taken = EntryNameSetAdd(names, name, static_cast<u32>(len) - 1, refusedError, made)) != 0) {
                    // A block the set cannot have stops the extraction, as the decoder's would.
                    refused = taken == static_cast<u32>(Reason::Memory) ? Reason::SevenZipMemory : static_cast<Reason>(taken);
                } else if (!EntryPathBuilder(state.staging, name, static_cast<u32>(len), made)) {
                    refused = Reason::EntryFolder;
                    refusedError = GetLastError();
                }
            }
        }
        if (refused != Reason::SevenZipOpen) {
            x.limit = i;
            break;
        }
    }

    EntryNameSetFree(names);

    // Jobs to run, then the workers: each needs an arena for the largest folder (but the first, which
    // then decodes each folder from the heap) and a read handle of its own (but the first). Those
    // that cannot get them do not run: fewer workers.
    u32 jobs = db.NumFiles == 0 ? 0 : (db.db.NumFolders == 0 ? 1 : db.db.NumFolders);
    while (jobs != 0 && JobStart(db, jobs - 1) >= x.limit) --jobs;
    const u32 processors = LogicalProcessors();
    perWorker += kSevenZipArenaSlack;
    u32 workers = PlanWorkers(processors, jobs, perWorker, kWorkerBudget);
    // Each worker's folder is decoded ahead of its files by a helper thread when the machine has
    // more than one processor: with fewer folders than processors the helpers take the idle
    // ones, with more they cost only a copy of the decoded bytes.
    x.helpers = processors > 1;
    for (u32 k = 0; k < workers; ++k) {
        Worker& w = x.workers[k];
        w.open.open = false;
        w.arena.vt = ISzAlloc{ArenaAlloc, ArenaFree};
        w.arena.base = perWorker <= kWorkerBudget ? static_cast<Byte*>(StubHeapAlloc(static_cast<size_t>(perWorker))) : nullptr;
        w.arena.size = static_cast<SizeT>(perWorker);
        for (u32 c = 0; c < x.tail; ++c) w.path[c] = state.staging.stagingRoot[c];
        if (k != 0 && w.arena.base == nullptr) {
            workers = k;
            break;
        }
    }

    CrewStart(x.crew, workers, jobs, state.selfPath, state.selfFile);
    Log("workers: %u", x.crew.size);
    // The error was taken where the folder failed: CrewStart's calls have set others since.
    if (refused != Reason::SevenZipOpen) CrewFail(x.crew, 0, x.limit, static_cast<u32>(refused), refusedError);
    CrewFinish(x.crew);

    const bool cancelled = CancelRequested(state.progress);
    if (x.crew.failure != kNoFailure && !cancelled) DeleteFilesAfter(x, x.crew.failure);
    for (u32 k = 0; k < workers; ++k) StubHeapFree(x.workers[k].arena.base);
    SzArEx_Free(&db, mainAllocator);
    if (cancelled) return ExtractionEnd::Cancelled;
    if (x.crew.failure != kNoFailure) {
        const Reason reason = static_cast<Reason>(FailedReason(x.crew));
        // Names, folders and output files that cannot be created end the run; the rest stops it.
        if (reason < Reason::SevenZipOpen) FailRun(reason, x.crew.failure, FailedError(x.crew));
        NoteStop(reason, x.crew.failure, FailedError(x.crew));
    }
    return ExtractionEnd::Finished;
}

}  // namespace stub
