// Streams one 7z folder (solid block): its packed streams are read through cursors of their own on
// the stub's file, its coders run over fixed buffers and decoder windows, and its unpacked bytes
// come out in slices, front to back. Memory is the decoders' windows (each the dictionary, or the
// coder's output when that is smaller) plus fixed buffers, whatever the folder's size.
//
// Shapes: Copy, LZMA or LZMA2 alone; one of those behind Delta or a branch filter (x86, PowerPC,
// IA-64, ARM, ARM Thumb, ARM64, RISC-V, SPARC); the four-coder BCJ2 layout. Every check of the
// SDK's whole-folder decoder is made, at the point where the streamed data reaches it.
#pragma once

#include "payload/ReadCursor.h"
#include "run/ExtractionProgress.h"

extern "C" {
#include "7z.h"
#include "Bcj2.h"
#include "Delta.h"
#include "Lzma2Dec.h"
#include "LzmaDec.h"
}

namespace stub {

constexpr u32 kPackBufferBytes = 1u << 16;     // each packed stream's read buffer
constexpr u32 kFilterBufferBytes = 1u << 18;   // a branch filter's or BCJ2's output
constexpr u32 kBcj2AddressBufferBytes = 1u << 12;  // BCJ2's call and jump streams, each
// What the extractor holds of a folder's output at once, decoded ahead of the files (the ring of
// SevenZipPipeline, counted in a folder's memory).
constexpr u32 kFolderOutputBytes = 4u << 20;

// One main coder (Copy, LZMA, LZMA2) over one packed stream.
struct CoderUnit {
    u32 method;
    ReadCursor input;
    u64 unpackSize;   // what it must produce
    u64 produced;
    CLzmaDec lzma;    // LZMA
    CLzma2Dec lzma2;  // LZMA2
    Byte* window;
    SizeT windowSize;
    bool ended;       // produced everything and passed its end checks
};

// A BCJ2 address stream (call or jump), handed to the converter in whole 4-byte groups from a
// 4-byte aligned buffer.
struct AddressBuffer {
    Byte* bytes;  // kBcj2AddressBufferBytes
    SizeT fill;
};

enum class FolderShape : u32 { Single, Filtered, Bcj2 };

struct FolderDecoder {
    FolderShape shape;
    u32 unitCount;
    CoderUnit units[3];  // Single, Filtered: units[0]; Bcj2: the coders 0, 1, 2 of the folder
    u64 unpackSize;
    u64 delivered;
    bool hasCrc;
    UInt32 expectedCrc;
    UInt32 crc;
    Byte* block;         // one allocation: the packed streams' buffers and the output buffer

    // Filtered: the filter's output buffer. [0, converted) is ready, of which [0, taken) was
    // delivered; [converted, fill) waits for the next bytes to be converted.
    UInt32 filterMethod;
    UInt32 filterPc;
    UInt32 x86State;
    unsigned delta;
    Byte deltaState[DELTA_STATE_SIZE];
    Byte* out;
    SizeT fill;
    SizeT converted;
    SizeT taken;

    // Bcj2.
    CBcj2Dec bcj2;
    ReadCursor rc;
    AddressBuffer call;
    AddressBuffer jump;
};

// Whether the decoder takes the folder (its shape, methods and properties): SZ_OK, or the result
// opening it would give before any allocation.
SRes FolderDecoderCheck(const CSzArEx& db, UInt32 folderIndex);

// The memory a folder needs at once: windows plus buffers. 0 when the folder cannot be decoded.
// sfxtool reports it; the extractor allocates exactly this.
u64 FolderDecoderMemory(const CSzArEx& db, UInt32 folderIndex);

// Prepares `folderIndex` of `db` for reading: checks its shape and properties, allocates its
// windows and buffers. Not SZ_OK: nothing is left allocated. The packed bytes read are counted in
// `progress` when it is given.
SRes FolderDecoderOpen(FolderDecoder& decoder, const CSzArEx& db, UInt32 folderIndex, platform::Handle file,
                       ISzAllocPtr alloc, ExtractionProgress* progress = nullptr);

// The next unpacked bytes, at most `max` (> 0): *data points at *size bytes, valid until the next
// call. *size is 0 only when every byte of the folder has been delivered.
SRes FolderDecoderRead(FolderDecoder& decoder, const Byte** data, SizeT* size, SizeT max);

// After every byte was delivered: the end checks (each coder ends exactly where its packed stream
// does, all of BCJ2's streams were used up, the folder's CRC).
SRes FolderDecoderFinish(FolderDecoder& decoder);

void FolderDecoderFree(FolderDecoder& decoder, ISzAllocPtr alloc);

// After SZ_ERROR_READ: the Windows error of the packed stream's read that failed (0: none).
u32 FolderDecoderReadError(const FolderDecoder& decoder);

}  // namespace stub
