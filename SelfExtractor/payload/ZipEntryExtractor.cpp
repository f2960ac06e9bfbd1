#include "payload/ZipEntryExtractor.h"

#include <zlib.h>

extern "C" {
#include "7zCrc.h"
}

#include "payload/ArchiveSignatures.h"
#include "payload/EntryNameCheck.h"
#include "payload/EntryNameSet.h"
#include "payload/EntryPaths.h"
#include "payload/ExtractionWorkers.h"
#include "payload/FreeSpace.h"
#include "run/Failure.h"

namespace stub {

using namespace platform;

namespace {

constexpr u32 kLocalHeaderBytes = 30;
constexpr u32 kNameCapacity = kMaxPathChars;  // zipWideName units the conversion may fill

// General-purpose flag bits the walk cannot follow: encrypted data (0), sizes in a data
// descriptor after the data (3), patched data (5), strong encryption (6), a masked local header
// (13).
constexpr u32 kRefusedFlags = 0x0001 | 0x0008 | 0x0020 | 0x0040 | 0x2000;
constexpr u32 kMethodStored = 0;
constexpr u32 kMethodDeflate = 8;
constexpr u32 kSizeUnknown = 0xFFFFFFFFu;  // the ZIP64 marker
constexpr int kRawDeflateWindowBits = -15;

u32 Read16(const u8* bytes) { return static_cast<u32>(bytes[0]) | (static_cast<u32>(bytes[1]) << 8); }

u32 Read32(const u8* bytes) { return Read16(bytes) | (Read16(bytes + 2) << 16); }

// Moves the file position by 0 from `origin` and returns where that is.
u64 FilePosition(Handle file, u32 origin) {
    i32 high = 0;
    const u32 low = SetFilePointer(file, 0, &high, origin);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) FailRun(Reason::SelfRead);
    return (static_cast<u64>(static_cast<u32>(high)) << 32) | low;
}

// zlib's allocations come from the stub's own heap, like every other block of the run.
voidpf InflateAlloc(voidpf, uInt items, uInt size) {
    if (size != 0 && items > ~static_cast<size_t>(0) / size) return Z_NULL;
    return StubHeapAlloc(static_cast<size_t>(items) * size);
}

void InflateFree(voidpf, voidpf block) { StubHeapFree(block); }

// A read that came short: the archive ends early, or the read itself failed.
u32 Truncated(const ReadCursor& cursor) {
    return static_cast<u32>(cursor.failed ? Reason::SelfRead : Reason::ZipTruncated);
}

constexpr u32 kWalkEnd = 0xFFFFFFFFu;   // ReadRecord: the first record that is not a local header
constexpr u32 kAbandoned = 0xFFFFFFFEu;  // an entry stopped by an earlier failure or the cancel
constexpr u32 kJobSlots = 32;            // entries handed to workers and not yet known to stay

// One entry handed to a worker: what its header says, where its data is, its file's path.
struct ZipJob {
    ZipRecord record;
    u64 data;    // file offset of the data
    u32 whole;   // 1 once its file was written, checked and closed (shared)
    WChar path[kStagingRootChars];
};
static_assert(kJobSlots * sizeof(ZipJob) <= kZipJobMemory, "the job slots as counted");

struct ZipWorker {
    ReadCursor input;  // the entry's data
    u8* block;         // the read buffer, then inflate's output buffer
    z_stream stream;   // one inflate state serves every entry of the worker
    u32 error;         // the Windows error of the write that failed
};

struct ZipExtraction {
    Crew crew;  // first: a job finds its extraction from the crew
    ZipJob* jobs;
    ZipWorker workers[kMaxWorkers];
};

u32 WriteOut(ZipWorker& w, Handle file, const u8* data, u32 bytes) {
    u32 written = 0;
    if (!WriteFile(file, data, bytes, &written, nullptr) || written != bytes) {
        w.error = GetLastError();
        return static_cast<u32>(Reason::EntryWrite);
    }
    return 0;
}

// A stored entry: its bytes go from the read buffer to the file. 0 or why it failed; *crc is the
// CRC-32 of what was written.
u32 CopyStored(Crew& crew, ZipWorker& w, Handle file, const ZipRecord& record, u32* crcOut) {
    UInt32 crc = CRC_INIT_VAL;
    u32 left = record.uncompressedSize;
    while (left != 0) {
        if (CrewStopped(crew, record.index)) return kAbandoned;
        const u8* data;
        u32 available;
        if (!CursorLook(w.input, &data, &available)) return static_cast<u32>(Reason::SelfRead);
        if (available == 0) return static_cast<u32>(Reason::ZipTruncated);
        const u32 take = available < left ? available : left;
        crc = CrcUpdate(crc, data, take);
        const u32 failed = WriteOut(w, file, data, take);
        if (failed != 0) return failed;
        CursorSkip(w.input, take);
        left -= take;
    }
    *crcOut = CRC_GET_DIGEST(crc);
    return 0;
}

// A deflated entry: `compressedSize` bytes of raw deflate from the read buffer through inflate
// into the output buffer and the file. The stream must end within the compressed size and give
// exactly `uncompressedSize` bytes; what follows the stream's end within the compressed size is
// passed over. 0 or why it failed; *crc is the CRC-32 of what was written.
u32 Inflate(Crew& crew, ZipWorker& w, Handle file, const ZipRecord& record, u32* crcOut) {
    z_stream& stream = w.stream;
    u8* const out = w.block + kZipReadBufferBytes;
    if (inflateReset(&stream) != Z_OK) return static_cast<u32>(Reason::ZipData);
    UInt32 crc = CRC_INIT_VAL;
    u32 inLeft = record.compressedSize;
    u32 produced = 0;
    for (;;) {
        if (CrewStopped(crew, record.index)) return kAbandoned;
        const u8* data;
        u32 available;
        if (!CursorLook(w.input, &data, &available)) return static_cast<u32>(Reason::SelfRead);
        const u32 take = available < inLeft ? available : inLeft;
        if (take == 0 && inLeft != 0) return static_cast<u32>(Reason::ZipTruncated);
        stream.next_in = const_cast<u8*>(data);
        stream.avail_in = take;
        stream.next_out = out;
        stream.avail_out = kZipOutBufferBytes;
        const int result = inflate(&stream, Z_NO_FLUSH);
        const u32 consumed = take - stream.avail_in;
        CursorSkip(w.input, consumed);
        inLeft -= consumed;
        const u32 made = kZipOutBufferBytes - stream.avail_out;
        if (made > record.uncompressedSize - produced) return static_cast<u32>(Reason::ZipSize);
        produced += made;
        if (made != 0) {
            crc = CrcUpdate(crc, out, made);
            const u32 failed = WriteOut(w, file, out, made);
            if (failed != 0) return failed;
        }
        if (result == Z_STREAM_END) break;
        // No progress with all of the entry's input given: the stream does not end within it.
        if (result == Z_BUF_ERROR && inLeft == 0) return static_cast<u32>(Reason::ZipData);
        if (result != Z_OK && result != Z_BUF_ERROR) return static_cast<u32>(Reason::ZipData);
    }
    if (produced != record.uncompressedSize) return static_cast<u32>(Reason::ZipSize);
    *crcOut = CRC_GET_DIGEST(crc);
    return 0;
}

// The crew's job: one entry into its file. An entry that fails has its file closed and deleted,
// so that no partly written file is left for the installer.
bool RunJob(Crew& crew, u32 worker, u32 job) {
    ZipExtraction& x = reinterpret_cast<ZipExtraction&>(crew);
    ZipJob& j = x.jobs[job % kJobSlots];
    ZipWorker& w = x.workers[worker];
    const ZipRecord& record = j.record;
    crew.seats[worker].job = job;
    if (CrewStopped(crew, record.index)) return false;
    CursorInit(w.input, crew.files[worker], w.block, kZipReadBufferBytes, j.data, j.data + record.compressedSize);
    w.input.progress = crew.progress;
    const Handle file = CreateFileW(j.path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        CrewFail(crew, worker, record.index, static_cast<u32>(Reason::EntryCreate), GetLastError());
        return false;
    }
    u32 crc = 0;
    u32 failed = record.method == kMethodStored ? CopyStored(crew, w, file, record, &crc)
                                                : Inflate(crew, w, file, record, &crc);
    u32 error = failed == static_cast<u32>(Reason::EntryWrite) ? w.error
              : failed == static_cast<u32>(Reason::SelfRead)   ? w.input.error
                                                               : 0;
    if (failed == 0 && crc != record.crc) failed = static_cast<u32>(Reason::ZipCrc);
    if (!CloseHandle(file) && failed == 0) {
        failed = static_cast<u32>(Reason::EntryWrite);
        error = GetLastError();
    }
    if (failed != 0) {
        DeleteFileW(j.path);
        if (failed != kAbandoned) CrewFail(crew, worker, record.index, failed, error);
        return false;
    }
    __atomic_store_n(&j.whole, 1u, __ATOMIC_RELEASE);
    return true;
}

// The fields of a local header, and the checks on them alone: 0, or the reason the record is
// refused.
u32 ReadHeader(const u8* header, ZipRecord& record) {
    record.flags = Read16(header + 6);
    record.method = Read16(header + 8);
    record.crc = Read32(header + 14);
    record.compressedSize = Read32(header + 18);
    record.uncompressedSize = Read32(header + 22);
    record.nameBytes = Read16(header + 26);
    record.extraLength = Read16(header + 28);

    if ((record.flags & kRefusedFlags) != 0) return static_cast<u32>(Reason::ZipFlags);
    if (record.method != kMethodStored && record.method != kMethodDeflate) return static_cast<u32>(Reason::ZipMethod);
    if (record.compressedSize == kSizeUnknown || record.uncompressedSize == kSizeUnknown) {
        return static_cast<u32>(Reason::ZipSizeUnknown);
    }
    if (record.method == kMethodStored && record.compressedSize != record.uncompressedSize) {
        return static_cast<u32>(Reason::ZipStoredSizes);
    }
    return 0;
}

bool IsLocalHeader(const ZipWalk& zip, const u8* header) {
    for (u32 i = 0; i < kZipSignatureBytes; ++i) {
        if (header[i] != zip.signatures.zip[i]) return false;
    }
    return true;
}

// What the walk will unpack, from a pass over the local headers it will read (through the walk's
// buffer, which the walk then fills again): the uncompressed sizes of the records, and the files
// they make (a name ending in "/" makes none). The pass stops where the walk would end or refuse a
// record: the walk stays the judge of every record.
void ZipPayloadSize(ZipWalk& zip, u64& bytes, u32& files) {
    ReadCursor pass = zip.records;
    bytes = 0;
    files = 0;
    ZipRecord record;
    for (;;) {
        u8 last = 0;
        if (!CursorRead(pass, zip.header, kLocalHeaderBytes) || !IsLocalHeader(zip, zip.header) ||
            ReadHeader(zip.header, record) != 0 || record.nameBytes == 0 ||
            !CursorAdvance(pass, record.nameBytes - 1) || !CursorRead(pass, &last, 1) ||
            !CursorAdvance(pass, static_cast<u64>(record.extraLength) + record.compressedSize)) {
            break;
        }
        if (last != '/') {
            bytes += record.uncompressedSize;
            ++files;
        }
    }
    zip.records.begin = zip.records.end = 0;  // the walk reads its first record again
}

// Reads the next record's header and name and applies every check that comes before anything is
// created for an entry. 0 for a record, kWalkEnd at the end of the walk, else the reason the
// record is refused.
u32 ReadRecord(RunState& state, ZipWalk& zip, ZipRecord& record) {
    record.index = zip.recordIndex++;
    record.offset = zip.records.position;

    // The central directory must follow the last entry: a file that ends here is cut short.
    if (!CursorRead(zip.records, zip.header, kLocalHeaderBytes)) return Truncated(zip.records);
    if (!IsLocalHeader(zip, zip.header)) return kWalkEnd;  // the end of the local records

    const u32 fault = ReadHeader(zip.header, record);
    if (fault != 0) return fault;

    // Name: bounded by the path-length rule before it is read, then converted from UTF-8.
    if (!EntryPathFits(state.staging, record.nameBytes)) return static_cast<u32>(Reason::NameTooLong);
    if (record.nameBytes == 0) return static_cast<u32>(Reason::NameInvalid);
    if (!CursorRead(zip.records, zip.nameBytes, record.nameBytes)) return Truncated(zip.records);
    for (u32 i = 0; i < record.nameBytes; ++i) {
        if (zip.nameBytes[i] == 0) return static_cast<u32>(Reason::NameInvalid);  // would cut the name
    }
    const i32 converted = MultiByteToWideChar(CP_UTF8, 0, zip.nameBytes, static_cast<i32>(record.nameBytes),
                                              zip.wideName, static_cast<i32>(kNameCapacity));
    if (converted <= 0) return static_cast<u32>(Reason::NameInvalid);
    record.nameUnits = static_cast<u32>(converted);
    zip.wideName[record.nameUnits] = 0;
    if (!EntryNameIsSafe(zip.wideName, record.nameUnits)) return static_cast<u32>(Reason::NameUnsafe);
    record.directory = zip.wideName[record.nameUnits - 1] == u'/';
    return 0;
}

}  // namespace

void ZipWalkStart(RunState& state, ZipWalk& zip) {
    CrcGenerateTable();
    // The walk reads from where the locator left the file up to the file's end: data that a
    // record declares past the end is found missing before its entry is accepted.
    const u64 start = FilePosition(state.selfFile, FILE_CURRENT);
    const u64 end = FilePosition(state.selfFile, FILE_END);

    const Handle heap = GetProcessHeap();
    if (heap == nullptr) FailRun(Reason::Memory);
    u8* readBuffer = static_cast<u8*>(HeapAlloc(heap, 0, kZipReadBufferBytes));
    if (readBuffer == nullptr) FailRun(Reason::Memory);
    CursorInit(zip.records, state.selfFile, readBuffer, kZipReadBufferBytes, start, end);
    zip.recordIndex = 0;
    LoadArchiveSignatures(zip.signatures);
}

bool ZipNextRecord(RunState& state, ZipWalk& walk, ZipRecord& record) {
    const u32 refused = ReadRecord(state, walk, record);
    if (refused == kWalkEnd) return false;
    if (refused != 0) FailRun(static_cast<Reason>(refused), record.index);
    return true;
}

void ZipSkipData(ZipWalk& walk, const ZipRecord& record) {
    const u64 skip = static_cast<u64>(record.extraLength) + record.compressedSize;
    if (!CursorAdvance(walk.records, skip)) FailRun(Reason::ZipTruncated, record.index);
}

ExtractionEnd ZipEntryExtractor(RunState& state) {
    ZipWalk zip;
    ZipWalkStart(state, zip);
    ProgressSetTotal(state.progress, CursorRemaining(zip.records));
    const Handle heap = GetProcessHeap();
    u64 bytes;
    u32 files;
    ZipPayloadSize(zip, bytes, files);
    if (!PayloadFits(state, bytes, files)) {
        HeapFree(heap, 0, zip.records.buffer);
        return ExtractionEnd::NoSpace;
    }
    ZipExtraction x;
    x.crew.run = RunJob;
    x.crew.progress = &state.progress;
    x.jobs = static_cast<ZipJob*>(HeapAlloc(heap, 0, kJobSlots * sizeof(ZipJob)));
    if (x.jobs == nullptr) FailRun(Reason::Memory);

    // The workers: buffers, an inflate state and (but for the first) a read handle each. One
    // that cannot have them does not run; the first must have its buffers.
    u32 workers = PlanWorkers(LogicalProcessors(), kMaxWorkers, kZipWorkerMemory, kWorkerBudget);
    for (u32 k = 0; k < workers; ++k) {
        ZipWorker& w = x.workers[k];
        w.block = static_cast<u8*>(HeapAlloc(heap, 0, kZipReadBufferBytes + kZipOutBufferBytes));
        w.stream.next_in = Z_NULL;
        w.stream.avail_in = 0;
        w.stream.zalloc = InflateAlloc;
        w.stream.zfree = InflateFree;
        w.stream.opaque = Z_NULL;
        if (w.block == nullptr || inflateInit2(&w.stream, kRawDeflateWindowBits) != Z_OK) {
            if (k == 0) FailRun(Reason::Memory);
            HeapFree(heap, 0, w.block);
            workers = k;
            break;
        }
    }

    // The walk: each record read and checked, its folders made, then its entry handed out; at most
    // one entry per worker waits, the walk runs the rest itself.
    CrewStart(x.crew, workers, 0, state.selfPath, state.selfFile);
    Log("workers: %u", x.crew.size);
    u32 published = 0;
    u32 confirmed = 0;  // jobs before this one were written whole: their slots are free
    ZipRecord record;
    EntryNameSet names;  // the files' names so far: a name met again is refused here, in order
    // A failure or the cancel ends the walk (CrewStopped of the last possible entry).
    while (!CrewStopped(x.crew, kNoFailure)) {
        u32 refused = ReadRecord(state, zip, record);
        if (refused == kWalkEnd) break;
        u32 error = refused == static_cast<u32>(Reason::SelfRead) ? zip.records.error : 0;
        u64 data = 0;
        if (refused == 0) {
            ProgressCount(&state.progress, kLocalHeaderBytes + record.nameBytes + record.extraLength);
            // A directory entry creates nothing; whatever data it carries is passed over.
            u32 made = 0;
            if (!record.directory) refused = EntryNameSetAdd(names, zip.wideName, record.nameUnits, error, made);
            if (refused != 0) {
            } else if (!record.directory && !EntryPathBuilder(state.staging, zip.wideName, record.nameUnits, made)) {
                refused = static_cast<u32>(Reason::EntryFolder);
                error = GetLastError();
            } else if (!CursorAdvance(zip.records, record.extraLength)) {
                refused = static_cast<u32>(Reason::ZipTruncated);
            } else {
                data = zip.records.position;
                if (!CursorAdvance(zip.records, record.compressedSize)) refused = static_cast<u32>(Reason::ZipTruncated);
            }
        }
        if (refused != 0) {
            CrewFail(x.crew, 0, record.index, refused, error);
            break;
        }
        if (record.directory) continue;
        // A free slot: every job kJobSlots back and before was written whole.
        for (;;) {
            while (confirmed < published && __atomic_load_n(&x.jobs[confirmed % kJobSlots].whole, __ATOMIC_ACQUIRE) != 0) {
                ++confirmed;
            }
            if (published - confirmed < kJobSlots || CrewStopped(x.crew, kNoFailure)) break;
            if (!CrewHelp(x.crew)) CrewWaitDone(x.crew);
        }
        if (published - confirmed >= kJobSlots) break;
        ZipJob& job = x.jobs[published % kJobSlots];
        job.record = record;
        job.data = data;
        job.whole = 0;
        const WChar* path = state.staging.stagingRoot;
        u32 i = 0;
        do {
            job.path[i] = path[i];
        } while (path[i++] != 0);
        CrewPublish(x.crew, ++published);
        while (published - __atomic_load_n(&x.crew.taken, __ATOMIC_ACQUIRE) >= x.crew.size && CrewHelp(x.crew)) {
        }
    }
    CrewFinish(x.crew);

    // Files that workers finished past a failure are deleted.
    const bool cancelled = CancelRequested(state.progress);
    if (x.crew.failure != kNoFailure && !cancelled) {
        for (u32 n = confirmed; n < published; ++n) {
            const ZipJob& job = x.jobs[n % kJobSlots];
            if (job.whole != 0 && job.record.index > x.crew.failure) DeleteFileW(job.path);
        }
    }
    for (u32 k = 0; k < workers; ++k) {
        ZipWorker& w = x.workers[k];
        inflateEnd(&w.stream);
        HeapFree(heap, 0, w.block);
    }
    HeapFree(heap, 0, x.jobs);
    HeapFree(heap, 0, zip.records.buffer);
    EntryNameSetFree(names);
    if (cancelled) return ExtractionEnd::Cancelled;
    if (x.crew.failure != kNoFailure) {
        FailRun(static_cast<Reason>(FailedReason(x.crew)), x.crew.failure, FailedError(x.crew));
    }
    return ExtractionEnd::Finished;
}

}  // namespace stub
