// A read cursor over a region of the stub's own file: its own buffer, its own 64-bit position.
// Several cursors may share one handle (the packed streams of one 7z folder): every refill seeks
// to the cursor's own position first, so none disturbs another.
#pragma once

#include "platform/platform.h"
#include "run/ExtractionProgress.h"

namespace stub {

using platform::u32;
using platform::u64;
using platform::u8;

struct ReadCursor {
    platform::Handle file;
    u8* buffer;
    u32 capacity;
    u32 begin;     // buffer[begin, end) holds the bytes at position onwards
    u32 end;
    u64 position;  // file offset of buffer[begin]
    u64 limit;     // the region's end: nothing at or after it is read
    bool failed;   // a seek or read call failed (a false result was not just the end)
    u32 error;     // then its Windows error
    ExtractionProgress* progress;  // counts the bytes read, when not null
};

// Points the cursor at [start, limit) of `file`, with an empty buffer of `capacity` bytes; its
// reads are counted nowhere until `progress` is set.
void CursorInit(ReadCursor& cursor, platform::Handle file, u8* buffer, u32 capacity, u64 start,
                u64 limit);

// Bytes left in the region (the file may still end before them).
inline u64 CursorRemaining(const ReadCursor& cursor) { return cursor.limit - cursor.position; }

// Makes the next bytes available without consuming them: *data and *available describe them, at
// least one byte unless the region or the file has ended (then *available is 0). False when a
// seek or read fails.
[[nodiscard]] bool CursorLook(ReadCursor& cursor, const u8** data, u32* available);

// Consumes `count` bytes of what the last look made available.
void CursorSkip(ReadCursor& cursor, u32 count);

// Reads exactly `count` bytes into `out`. False when a call fails or the region or file ends first.
[[nodiscard]] bool CursorRead(ReadCursor& cursor, void* out, u32 count);

// Moves `count` bytes on without reading them (a later look finds out whether the file holds them).
// False when that would pass the region's end.
[[nodiscard]] bool CursorAdvance(ReadCursor& cursor, u64 count);

}  // namespace stub
