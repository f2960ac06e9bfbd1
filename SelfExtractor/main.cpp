// The stub's entry: the run state lives here, in the entry function's frame, for the life of the
// process; the run sequence never returns.
#include "launcher/RunSequence.h"

extern "C" void StubMain() {
    static stub::RunState state;  // zero-initialised, outside the stack
    stub::RunSequence(state);
}
