#include "payload/SevenZipStreams.h"

#include <stddef.h>

namespace stub {

using namespace platform;

namespace {

// The look-ahead reader's buffer: fixed storage, never from a heap.
Byte gLookAheadBuffer[kLookAheadBufferSize];

// Largest count handed to one ReadFile call; a shorter read is normal for the stream interface.
constexpr size_t kMaxReadChunk = 0x40000000;

SelfFileStream* StreamOf(ISeekInStreamPtr vt) {
    // vt is the first member of SelfFileStream.
    return reinterpret_cast<SelfFileStream*>(const_cast<ISeekInStream*>(vt));
}

SRes SelfFileRead(ISeekInStreamPtr vt, void* buffer, size_t* size) {
    const size_t wanted = *size;
    *size = 0;
    if (wanted == 0) return SZ_OK;
    const u32 toRead = static_cast<u32>(wanted > kMaxReadChunk ? kMaxReadChunk : wanted);
    u32 read = 0;
    if (!ReadFile(StreamOf(vt)->file, buffer, toRead, &read, nullptr)) return SZ_ERROR_READ;
    *size = read;
    return SZ_OK;
}

SRes SelfFileSeek(ISeekInStreamPtr vt, Int64* position, ESzSeek origin) {
    u32 moveMethod;
    switch (origin) {
        case SZ_SEEK_SET: moveMethod = FILE_BEGIN; break;
        case SZ_SEEK_CUR: moveMethod = FILE_CURRENT; break;
        case SZ_SEEK_END: moveMethod = FILE_END; break;
        default: return SZ_ERROR_PARAM;
    }
    const u64 distance = static_cast<u64>(*position);
    i32 high = static_cast<i32>(static_cast<u32>(distance >> 32));
    const u32 low = SetFilePointer(StreamOf(vt)->file, static_cast<i32>(static_cast<u32>(distance)),
                                   &high, moveMethod);
    if (low == INVALID_SET_FILE_POINTER) {
        // 0xFFFFFFFF is also a valid low part; only a last error tells a failure.
        if (GetLastError() != ERROR_SUCCESS) return SZ_ERROR_READ;
    }
    *position = static_cast<Int64>((static_cast<u64>(static_cast<u32>(high)) << 32) | low);
    return SZ_OK;
}

}  // namespace

static_assert(offsetof(SelfFileStream, vt) == 0, "the stream interface must come first");

void SevenZipInputSetUp(SevenZipInput& input, Handle file) {
    input.selfFileStream.vt.Read = SelfFileRead;
    input.selfFileStream.vt.Seek = SelfFileSeek;
    input.selfFileStream.file = file;

    LookToRead2_CreateVTable(&input.lookAheadReader, False);  // exact-look mode
    input.lookAheadReader.realStream = &input.selfFileStream.vt;
    input.lookAheadReader.buf = gLookAheadBuffer;
    input.lookAheadReader.bufSize = kLookAheadBufferSize;
    LookToRead2_INIT(&input.lookAheadReader)
}

}  // namespace stub
