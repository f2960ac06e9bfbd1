// Starts the private copy through the shell and waits for it (at most kRelaunchWaitMs).
#pragma once

#include "run/RunState.h"

namespace stub {

constexpr u32 kRelaunchWaitMs = 1800000;  // 30 minutes

// Runs `copyPath` with `parameters` (empty or null: no parameters at all) from the copy's own
// folder, shown normally, owned by the foreground window. False when the shell cannot start it.
// Otherwise waits, stores the copy's exit code in `exitCode` where it can be read (STILL_ACTIVE
// when the wait timed out; unchanged when the read fails), closes the process handle, returns true.
[[nodiscard]] bool PrivateCopyRunner(const WChar* copyPath, const WChar* parameters, u32& exitCode);

}  // namespace stub
