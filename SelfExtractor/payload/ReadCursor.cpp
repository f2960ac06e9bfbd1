#include "payload/ReadCursor.h"

namespace stub {

using namespace platform;

void CursorInit(ReadCursor& cursor, Handle file, u8* buffer, u32 capacity, u64 start, u64 limit) {
    cursor.file = file;
    cursor.buffer = buffer;
    cursor.capacity = capacity;
    cursor.begin = 0;
    cursor.end = 0;
    cursor.position = start;
    cursor.limit = limit < start ? start : limit;
    cursor.failed = false;
    cursor.error = 0;
    cursor.progress = nullptr;
}

bool CursorLook(ReadCursor& cursor, const u8** data, u32* available) {
    if (cursor.begin == cursor.end) {
        cursor.begin = 0;
        cursor.end = 0;
        const u64 left = CursorRemaining(cursor);
        if (left != 0) {
            i32 high = static_cast<i32>(static_cast<u32>(cursor.position >> 32));
            const u32 low = SetFilePointer(cursor.file, static_cast<i32>(static_cast<u32>(cursor.position)),
                                           &high, FILE_BEGIN);
            // A low part of 0xFFFFFFFF is a valid position; only a last error tells a failure.
            if (low == INVALID_SET_FILE_POINTER && (cursor.error = GetLastError()) != ERROR_SUCCESS) {
                cursor.failed = true;
                return false;
            }
            const u32 want = left < cursor.capacity ? static_cast<u32>(left) : cursor.capacity;
            u32 read = 0;
            if (!ReadFile(cursor.file, cursor.buffer, want, &read, nullptr) || read > want) {
                cursor.error = GetLastError();
                cursor.failed = true;
                return false;
            }
            cursor.end = read;
            ProgressCount(cursor.progress, read);
        }
    }
    *data = cursor.buffer + cursor.begin;
    *available = cursor.end - cursor.begin;
    return true;
}

void CursorSkip(ReadCursor& cursor, u32 count) {
    cursor.begin += count;
    cursor.position += count;
}

bool CursorRead(ReadCursor& cursor, void* out, u32 count) {
    u8* to = static_cast<u8*>(out);
    while (count != 0) {
        const u8* data;
        u32 available;
        if (!CursorLook(cursor, &data, &available)) return false;
        if (available == 0) return false;
        const u32 take = available < count ? available : count;
        for (u32 i = 0; i < take; ++i) to[i] = data[i];
        CursorSkip(cursor, take);
        to += take;
        count -= take;
    }
    return true;
}

bool CursorAdvance(ReadCursor& cursor, u64 count) {
    if (count > CursorRemaining(cursor)) return false;
    const u32 buffered = cursor.end - cursor.begin;
    if (count <= buffered) {
        CursorSkip(cursor, static_cast<u32>(count));
        return true;
    }
    cursor.position += count;
    cursor.begin = 0;
    cursor.end = 0;
    return true;
}

}  // namespace stub
