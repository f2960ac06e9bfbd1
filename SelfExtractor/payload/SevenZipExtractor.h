// Unpacks a 7z payload into the staging directory through the LZMA SDK's 7z decoder.
#pragma once

#include "launcher/RunState.h"

namespace stub {

// `state.selfFile` stands on the archive's signature. A failure of the decoder, of a write or of a
// close stops the extraction and returns (the run goes on to the launch); a name too long, a
// directory or output file that cannot be created, or an unsafe name end the process with
// kFailureExitCode.
void SevenZipExtractor(RunState& state);

}  // namespace stub
