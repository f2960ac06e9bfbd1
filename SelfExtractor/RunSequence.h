// The whole life of the stub process, from the entry point to ExitProcess.
#pragma once

#include "run/RunState.h"

namespace stub {

[[noreturn]] void RunSequence(RunState& state);

// Pumps messages until GetMessageW returns 0 or -1, then returns 1. Shares nothing.
u32 PLATFORM_API MessagePumpThread(void* parameter);

}  // namespace stub
