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
// on with the rest. Nothing goes to the recycle bin and nothing is shown: a clean-up never fails a
// run. The hold is let go in every case. What stayed is returned for the run's log.
struct TreeLeft {
    platform::u32 entries;  // entries that stayed (the root counts when it was not reached)
    platform::u32 error;    // the Windows error behind the first of them; 0: none (an entry that is
                            // not the one listed, a folder that was not held)
};
TreeLeft FolderTreeDelete(const platform::WChar* path, HeldFolder& folder);

// "delete: everything removed", or what stayed and why.
void LogDeleteLeft(TreeLeft left);

}  // namespace stub
