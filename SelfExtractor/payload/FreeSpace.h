// Whether the payload fits, before anything of it is created: a full disk is found before the first
// byte is written, not after most of them.
#pragma once

#include "run/RunState.h"

namespace stub {

// Adds one cluster of the staging folder's volume (GetDiskFreeSpaceW; 4096 bytes when it cannot be
// read) per file to `bytes` and compares the total with the free bytes GetDiskFreeSpaceExW gives
// the caller on the staging folder (its quota counted). Logs the figures. False when the payload
// does not fit, with state.spaceNeeded and spaceFree set; true when it fits, or when the free space
// cannot be read (the writes then find out). Call it before the first entry or folder is created.
[[nodiscard]] bool PayloadFits(RunState& state, platform::u64 bytes, u32 files);

}  // namespace stub
