// The stub's entry: the runtime's entry point (platform/win32/runtime.cpp on Windows) creates the
// private heap and calls StubMain, which hands control to the run sequence and never returns.
#include "RunSequence.h"

extern "C" void StubMain() {
    static stub::RunState state;  // zero-initialised static storage, for the life of the process
    stub::RunSequence(state);
}
