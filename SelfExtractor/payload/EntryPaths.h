// Entry paths: how both extractors turn an archive name into a path below the staging directory
// (StagingState::stagingRoot) and make the folders it implies.
#pragma once

#include "run/RunState.h"

namespace stub {

// The path-length rule: a name counted as `count` units fits when stagingLength + count + 1 < 260.
[[nodiscard]] bool EntryPathFits(const StagingState& staging, u32 count);

// Writes the staging path, a backslash and the first `count` units of `name` into stagingRoot and
// creates every parent directory the name implies ("/" separates), accepting existing ones; the
// parents it shares with the previous entry's name, and those in its first `made` units, are known
// to exist and are not created again. False when a directory cannot be created (the caller ends
// the run). The caller has applied the path-length rule first.
[[nodiscard]] bool EntryPathBuilder(StagingState& staging, const WChar* name, u32 count, u32 made = 0);

}  // namespace stub
