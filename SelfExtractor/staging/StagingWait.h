// Programs started from the staging folder keep it. Bootstrappers start the real installer, a
// program beside them, and end at once: after the installer ends, the stub waits while any process
// runs a program whose file lies in the staging folder, whoever started it, and in a tree wait also
// while any process the installer started (or theirs) runs, wherever its program lies; at most 30
// minutes after the installer's end. Processes that run programs from elsewhere (the installed
// application setup starts at its end, msiexec's service, a browser) are not waited for.
#pragma once

#include "run/RunState.h"

namespace stub {

constexpr u32 kStagingWaitMs = 1800000;  // 30 minutes, as for the relaunch's copy

// Puts the stub into a job of its own before the launch: the installer and the processes it starts
// are then in that job too. Null when that cannot be (a tree wait then waits as for staging).
platform::Handle JoinOwnJob();

// Waits as above, from `installerEnded` (GetTickCount when the installer ended) on; `job` is
// JoinOwnJob's, or null for a staging wait.
void StagingWait(const StagingState& staging, platform::Handle job, u32 installerEnded);

}  // namespace stub
