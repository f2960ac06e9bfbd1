// The win32 backend's private heap: created once by the entry point before anything else runs,
// used by StubHeapAlloc/StubHeapFree and by the runtime's malloc family.
#pragma once

namespace platform::win32 {

// Creates the private heap (HeapCreate, growable, serialised). False when Windows refuses it.
bool CreateStubHeap();

// The heap's handle; null before CreateStubHeap succeeded.
void* StubHeapHandle();

}  // namespace platform::win32
