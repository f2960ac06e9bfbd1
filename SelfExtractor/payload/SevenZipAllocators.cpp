#include "payload/SevenZipAllocators.h"

namespace stub {

void* SevenZipAlloc(ISzAllocPtr, size_t size) {
    if (size == 0) return nullptr;
    return platform::StubHeapAlloc(size);
}

void SevenZipFree(ISzAllocPtr, void* address) {
    if (address == nullptr) return;
    platform::StubHeapFree(address);
}

// Constant-initialised: no constructor runs for either record.
const ISzAlloc kSevenZipMainAllocator = {SevenZipAlloc, SevenZipFree};
const ISzAlloc kSevenZipTempAllocator = {SevenZipAlloc, SevenZipFree};

}  // namespace stub
