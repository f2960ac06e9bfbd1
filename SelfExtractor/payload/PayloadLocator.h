// Finds the archive appended to the stub's own file by content alone: the first offset holding a
// 7z signature header followed by a zero byte, or a ZIP local file header signature.
#pragma once

#include "run/RunState.h"

namespace stub {

// `selfFile` stands at offset 0. On Zip or SevenZip the file position is left on the signature's
// first byte; on None at the end of the file. A failed read or seek ends the process with
// kFailureExitCode.
PayloadKind PayloadLocator(platform::Handle selfFile);

}  // namespace stub
