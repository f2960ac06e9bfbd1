#include "payload/SevenZipPipeline.h"

namespace stub {

using namespace platform;

namespace {

u32 Load(const u32& value) { return __atomic_load_n(&value, __ATOMIC_ACQUIRE); }
void Store(u32& value, u32 to) { __atomic_store_n(&value, to, __ATOMIC_RELEASE); }

bool TryDecode(SevenZipPipeline& p) { return __atomic_exchange_n(&p.decoding, 1u, __ATOMIC_ACQUIRE) == 0; }
void EndDecode(SevenZipPipeline& p) { __atomic_store_n(&p.decoding, 0u, __ATOMIC_RELEASE); }

// Makes the next chunk, when it is not the end and the ring has room. Only the holder of the
// decoding flag calls it.
bool MakeChunk(SevenZipPipeline& p) {
    const u32 index = p.made;
    if (p.ended || index - Load(p.returned) >= kPipelineChunks) return false;
    PipelineChunk& chunk = p.chunks[index % kPipelineChunks];
    chunk.size = 0;
    chunk.res = SZ_OK;
    chunk.last = false;
    FolderDecoder& decoder = *p.decoder;
    while (chunk.size < kPipelineChunkBytes) {
        if (decoder.delivered == decoder.unpackSize) {
            chunk.res = FolderDecoderFinish(decoder);
            chunk.last = true;
            break;
        }
        const Byte* data;
        SizeT size;
        const SRes res = FolderDecoderRead(decoder, &data, &size, kPipelineChunkBytes - chunk.size);
        if (res != SZ_OK) {
            chunk.res = res;
            chunk.last = true;
            break;
        }
        for (SizeT i = 0; i < size; ++i) chunk.data[chunk.size + i] = data[i];
        chunk.size += size;
    }
    p.ended = chunk.last;
    Store(p.made, index + 1);
    if (p.chunkMade != nullptr) SetEvent(p.chunkMade);
    return true;
}

u32 PLATFORM_API Helper(void* parameter) {
    SevenZipPipeline& p = *static_cast<SevenZipPipeline*>(parameter);
    for (;;) {
        if (Load(p.stop) != 0) return 0;
        bool made = false;
        bool ended = false;
        if (TryDecode(p)) {
            made = MakeChunk(p);
            ended = p.ended;
            EndDecode(p);
        }
        if (ended) return 0;
        // The ring is full, or the extractor decodes: it hands a chunk back (or stops us) next.
        if (!made && WaitForSingleObject(p.chunkReturned, INFINITE) == WAIT_FAILED) return 0;
    }
}

}  // namespace

SRes PipelineStart(SevenZipPipeline& p, FolderDecoder& decoder, ISzAllocPtr alloc, bool helper) {
    p.decoder = &decoder;
    p.thread = nullptr;
    p.chunkMade = nullptr;
    p.chunkReturned = nullptr;
    p.made = 0;
    p.returned = 0;
    p.decoding = 0;
    p.stop = 0;
    p.ended = false;
    p.reading = 0;
    p.offset = 0;
    p.block = static_cast<Byte*>(ISzAlloc_Alloc(alloc, static_cast<SizeT>(kPipelineChunks) * kPipelineChunkBytes));
    if (p.block == nullptr) return SZ_ERROR_MEM;
    for (u32 i = 0; i < kPipelineChunks; ++i) p.chunks[i].data = p.block + i * kPipelineChunkBytes;

    // A helper needs both events; without them (or without a thread) the extractor decodes alone.
    if (!helper) return SZ_OK;
    p.chunkMade = CreateEventW(nullptr, 0, 0, nullptr);
    p.chunkReturned = CreateEventW(nullptr, 0, 0, nullptr);
    if (p.chunkMade != nullptr && p.chunkReturned != nullptr) {
        p.thread = CreateThread(nullptr, 0, Helper, &p, 0, nullptr);
    }
    return SZ_OK;
}

SRes PipelineRead(SevenZipPipeline& p, const Byte** data, SizeT* size, SizeT max) {
    *size = 0;
    for (;;) {
        // The chunk being read, once made.
        if (Load(p.made) > p.reading) {
            PipelineChunk& chunk = p.chunks[p.reading % kPipelineChunks];
            if (p.offset < chunk.size) {
                SizeT take = chunk.size - p.offset;
                if (take > max) take = max;
                *data = chunk.data + p.offset;
                *size = take;
                p.offset += take;
                return SZ_OK;
            }
            if (chunk.last) return chunk.res;
            // Read whole: hand it back and go on with the next.
            p.offset = 0;
            ++p.reading;
            Store(p.returned, p.reading);
            if (p.chunkReturned != nullptr) SetEvent(p.chunkReturned);
            continue;
        }
        // Not made yet: make it, unless the helper is making it now.
        if (TryDecode(p)) {
            if (Load(p.made) <= p.reading) MakeChunk(p);
            EndDecode(p);
            continue;
        }
        if (WaitForSingleObject(p.chunkMade, INFINITE) == WAIT_FAILED) return SZ_ERROR_THREAD;
    }
}

void PipelineStop(SevenZipPipeline& p, ISzAllocPtr alloc) {
    if (p.thread != nullptr) {
        Store(p.stop, 1);
        SetEvent(p.chunkReturned);
        WaitForSingleObject(p.thread, INFINITE);
        CloseHandle(p.thread);
        p.thread = nullptr;
    }
    if (p.chunkMade != nullptr) CloseHandle(p.chunkMade);
    if (p.chunkReturned != nullptr) CloseHandle(p.chunkReturned);
    p.chunkMade = nullptr;
    p.chunkReturned = nullptr;
    ISzAlloc_Free(alloc, p.block);
    p.block = nullptr;
}

}  // namespace stub
