// Unpacks a ZIP payload (local file records, stored or deflate) into the staging directory,
// streaming each entry through fixed buffers into its file.
//
// The walk is split so that sfxtool can list an archive with exactly the stub's own reading:
// ZipWalkStart, then ZipNextRecord until it returns false, with ZipSkipData after each record
// that is not extracted.
#pragma once

#include "payload/ArchiveSignatures.h"
#include "payload/ReadCursor.h"
#include "run/RunState.h"

namespace stub {

constexpr u32 kZipReadBufferBytes = 1u << 18;  // the records and their data are read through this
constexpr u32 kZipOutBufferBytes = 1u << 18;   // inflate writes into this, the file from it
// A worker's memory: its read and output buffers, inflate's state and window (48 KiB at most).
constexpr u32 kZipWorkerMemory = kZipReadBufferBytes + kZipOutBufferBytes + (48u << 10);
// The walk's memory besides its read buffer: the entries handed to workers (32 of about 560 bytes).
constexpr u32 kZipJobMemory = 20u << 10;

// The walk's working storage, reused for every record.
struct ZipWalk {
    ReadCursor records;           // the archive, read through one buffer from the first record on
    u32 recordIndex;              // records read so far
    ArchiveSignatures signatures; // what a local file header starts with
    platform::u8 header[30];
    char nameBytes[kMaxPathChars];
    WChar wideName[kMaxPathChars + 1];
};

// One local file record as the walk has read and checked it. The name is in the walk's wideName.
struct ZipRecord {
    u32 index;             // record number, from 0
    u32 flags;
    u32 method;            // 0 stored, 8 deflate: nothing else passes the checks
    u32 crc;
    u32 compressedSize;
    u32 uncompressedSize;
    u32 nameBytes;
    u32 extraLength;
    u32 nameUnits;         // UTF-16 units of the converted name
    bool directory;        // the name ends in "/": nothing is created for it
    platform::u64 offset;  // file offset of the record's first byte
};

// Starts the walk at the current position of state.selfFile (the first local file header),
// allocating the walk's read buffer (the caller frees walk.records.buffer with HeapFree). Ends the run when they cannot be had.
void ZipWalkStart(RunState& state, ZipWalk& walk);

// Reads the next record's header and name and applies every check that comes before anything is
// created for an entry: flags, method, sizes, the path-length rule, the name's conversion and
// safety. False at the first record that is not a local file header (the end of the walk); ends
// the run with kFailureExitCode on a record the stub refuses. The cursor then stands on the
// record's extra field.
[[nodiscard]] bool ZipNextRecord(RunState& state, ZipWalk& walk, ZipRecord& record);

// Moves past the record's extra field and data without reading them.
void ZipSkipData(ZipWalk& walk, const ZipRecord& record);

// `state.selfFile` stands on the first local file header. The walk reads the records in order,
// checks them and makes their folders, and hands each entry to one of up to kMaxWorkers workers
// (ExtractionWorkers.h; each but the walk's own has a read handle of its own on state.selfPath).
// Returns when the walk meets a record that is not a local file header and every entry is written;
// ends the process with kFailureExitCode on any failure, once exactly the files of the entries
// before the failed one stay (an entry that fails on its way has its file closed and deleted).
// Returns Cancelled after RequestCancel(state.progress).
ExtractionEnd ZipEntryExtractor(RunState& state);

}  // namespace stub
