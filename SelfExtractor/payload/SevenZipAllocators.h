// The allocator records handed to the 7z decoder: blocks come from the stub's own heap
// (platform::StubHeapAlloc), never from the process heap.
#pragma once

#include "platform/platform.h"

extern "C" {
#include "7zTypes.h"
}

namespace stub {

// Null for a size of 0 or when the heap refuses; otherwise a block of `size` bytes. The record
// argument is ignored, so the extractor may call it directly with null.
void* SevenZipAlloc(ISzAllocPtr allocator, size_t size);
// Returns a block to the stub's heap; a null address does nothing.
void SevenZipFree(ISzAllocPtr allocator, void* address);

// The database and the decoded folder buffer.
extern const ISzAlloc kSevenZipMainAllocator;
// The decoder's working memory.
extern const ISzAlloc kSevenZipTempAllocator;

}  // namespace stub
