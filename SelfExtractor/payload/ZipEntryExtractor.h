// Unpacks a ZIP payload (local file records, stored or deflate) into the staging directory.
#pragma once

#include "launcher/RunState.h"

namespace stub {

// `state.selfFile` stands on the first local file header. Returns when the walk meets a record
// that is not a local file header; ends the process with kFailureExitCode on any failure.
void ZipEntryExtractor(RunState& state);

}  // namespace stub
