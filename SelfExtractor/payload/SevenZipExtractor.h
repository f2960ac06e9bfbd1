// Unpacks a 7z payload into the staging directory through the LZMA SDK's 7z decoder.
#pragma once

#include "run/RunState.h"

namespace stub {

// What a worker's arena holds beyond the largest folder's FolderDecoderMemory: the alignment of
// the decoder's blocks.
constexpr platform::u64 kSevenZipArenaSlack = 256;

// `state.selfFile` stands on the archive's signature. The folders are unpacked by up to
// kMaxWorkers workers (ExtractionWorkers.h), each with its own read handle on state.selfPath. A
// failure of the decoder, of a write or of a close stops the extraction and returns (the run goes
// on to the launch); a name too long, a directory or output file that cannot be created, or an
// unsafe name end the process with kFailureExitCode. Either way the files of the entries before
// the failed one are written whole and no other file stays. Returns Cancelled after
// RequestCancel(state.progress).
ExtractionEnd SevenZipExtractor(RunState& state);

}  // namespace stub
