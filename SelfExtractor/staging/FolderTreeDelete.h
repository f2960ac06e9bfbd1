// The stub's own recursive delete, for the folders it made: the staging directory after the
// installer has ended, and the private folder of a relaunch after the copy has ended.
#pragma once

#include "staging/PrivateFolder.h"

namespace stub {

// Folders open at once: the folder itself and 63 levels of subfolders below it. A folder nested
// deeper is not listed: it is removed only when it is empty, otherwise it stays with what it
// holds, and the walk goes on with the rest.
constexpr platform::u32 kMaxOpenListings = 64;

// Removes the held folder at `path` and everything in it, children before their folder, and never
// leaves it. What is checked is what is removed:
// - the walk takes over the hold with a handle of its own, which must reach the very folder that
//   was held (same file ID and volume), or nothing is touched;
// - each folder is listed through the handle the walk holds on it, which keeps it from being
//   renamed or replaced (no delete sharing) while the walk is inside it;
// - each entry is opened as itself (a link, not its target) and goes on only when the handle's
//   file ID and volume are those the listing showed and it is a link exactly when the listing
//   says so; it is then deleted through that handle;
// - a junction or symbolic link is removed as a link, never entered; where the system opens the
//   target instead (Wine), the link stays and its target is untouched;
// - paths carry the "\\?\" prefix, so names with a trailing dot or space are reached as they are.
// A read-only entry has its attribute cleared first (through its handle). What cannot be removed
// (a file held open by a running program) stays, with the folders that lead to it; the walk goes
// on with the rest. Nothing goes to the recycle bin, nothing is shown, and no result is reported:
// a clean-up never fails a run. The hold is let go in every case.
void FolderTreeDelete(const platform::WChar* path, HeldFolder& folder);

}  // namespace stub
