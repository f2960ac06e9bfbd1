// The stub's entry: the runtime's entry point (platform/win32/runtime.cpp on Windows) creates the
// private heap and calls StubMain, which hands control to the run sequence and never returns.
#include "RunSequence.h"
#include "payload/SevenZipSignatureGuard.h"

extern "C" [[noreturn]] void StubMain(bool heapReady) {
    // The 7z signature guard is only ever read by the linker's placement: a reference from the
    // entry keeps its section alive under --gc-sections whatever the other code does.
    const void* guard = stub::kSevenZipSignatureGuard;
    __asm__ volatile("" : : "r"(guard));

    if (!heapReady) platform::ExitProcess(stub::kFailureExitCode);
    static stub::RunState state;  // zero-initialised static storage, for the life of the process
    stub::RunSequence(state);
}
