// The private folder and the copy's path in it: a fresh folder directly under the user's temp
// folder, named by a new GUID ("{...}", 38 units) or, when no GUID can be made, by a reserved
// temporary-file name ("JUVxxxx.tmp").
#pragma once

#include "run/RunState.h"
#include "staging/PrivateFolder.h"

namespace stub {

extern const WChar kPrivateCopyName[];  // "ZEBInstaller.exe"

// Creates the private folder (staging/PrivateFolder.h: an access list of its own), holds it in
// `folder`, and writes "<temp><name>\ZEBInstaller.exe" into the 260-unit `out`.
// False, with nothing left behind, when the temp folder cannot be read, the name cannot be made,
// the full path would not fit `out` whole, or the folder cannot be created. The one exception: a
// reserved "JUV" file that cannot be deleted again stays.
[[nodiscard]] bool PrivateCopyPathBuilder(WChar* out, HeldFolder& folder);

}  // namespace stub
