// The staging directory: a fresh ZEBxxxx.tmp folder under the user's temp folder.
#pragma once

#include "run/RunState.h"

namespace stub {

// Creates the staging directory as a private folder (staging/PrivateFolder.h), holds it, and fills
// `staging`. False on any failure (the caller ends the run); a reserved temp file or an empty
// staging directory may stay behind.
[[nodiscard]] bool CreateStagingDirectory(StagingState& staging);

}  // namespace stub
