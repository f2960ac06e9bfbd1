// Decoding a 7z folder ahead of the files being written: a helper thread decodes the folder into a
// small ring of chunks while the extractor creates and writes the files, so that the decoder's
// work and the file system's overlap (with thousands of small files, each costs as much as the
// other).
//
// The helper only takes work the extractor would do itself: whichever of the two holds the
// decoding flag makes the next chunk, in order. When no helper thread can be started (or no
// processor is left for one by the unpacking workers), the extractor makes every chunk itself, one
// at a time, by the same code.
#pragma once

#include "payload/SevenZipFolderDecoder.h"

namespace stub {

constexpr u32 kPipelineChunks = 4;
constexpr u32 kPipelineChunkBytes = kFolderOutputBytes / kPipelineChunks;

struct PipelineChunk {
    Byte* data;
    SizeT size;
    SRes res;   // not SZ_OK: the folder failed after the chunk's bytes
    bool last;  // the folder's last chunk: res says how the folder ended
};

struct SevenZipPipeline {
    FolderDecoder* decoder;
    Byte* block;                     // the chunks' bytes
    PipelineChunk chunks[kPipelineChunks];
    platform::Handle thread;         // the helper, or null
    platform::Handle chunkMade;      // auto-reset, set after each chunk made
    platform::Handle chunkReturned;  // auto-reset, set after each chunk handed back, and to stop
    u32 made;                        // chunks made (shared)
    u32 returned;                    // chunks handed back by the extractor (shared)
    u32 decoding;                    // 1 while one of the two decodes (shared)
    u32 stop;                        // 1: the helper ends (shared)
    bool ended;                      // the last chunk is made (decoding holder only)
    u32 reading;                     // the extractor's chunk
    SizeT offset;                    // how far into it the extractor has read
};

// Sets the pipeline up over an opened decoder. Not SZ_OK: nothing is left allocated. Without
// `helper` (no processor to spare), or when a helper thread cannot be started, the extractor
// decodes alone.
SRes PipelineStart(SevenZipPipeline& pipeline, FolderDecoder& decoder, ISzAllocPtr alloc, bool helper);

// The folder's next unpacked bytes, at most `max` (> 0). *size is 0 only after every byte was
// delivered and the folder ended as it must (its end checks and CRC); any failure comes back as a
// result, after the bytes decoded before it.
SRes PipelineRead(SevenZipPipeline& pipeline, const Byte** data, SizeT* size, SizeT max);

// Ends the helper thread, waits for it, frees everything.
void PipelineStop(SevenZipPipeline& pipeline, ISzAllocPtr alloc);

}  // namespace stub
