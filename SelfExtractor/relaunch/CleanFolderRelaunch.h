// Relaunch from a private copy: a stub started from a folder that holds any "*.dll" entry runs a
// copy of itself from a fresh folder under the temp folder and ends with the copy's exit code.
#pragma once

#include "run/RunState.h"

namespace stub {

enum class DllPresence : u32 { None, Present, PatternTooLong };

// Whether `folder` holds an entry matching "*.dll" (a failing listing counts as none); the name
// found goes into `found` (kMaxPathChars units) when it is given.
DllPresence DllPresenceTest(const WChar* folder, WChar* found = nullptr);

// Runs the private copy and ends the process with its exit code (5 on a failure of the stub).
[[noreturn]] void CleanFolderRelaunch(RunState& state);

}  // namespace stub
