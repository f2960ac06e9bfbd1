// The stub's own recursive delete, for the folders it made: the staging directory after the
// installer has ended, and the private folder of a relaunch after the copy has ended.
#pragma once

#include "platform/platform.h"

namespace stub {

// Folder listings open at once: the folder itself and 63 levels of subfolders below it. A folder
// nested deeper is not listed: it is removed only when it is empty, otherwise it stays with what
// it holds, and the walk goes on with the rest.
constexpr platform::u32 kMaxOpenListings = 64;

// Removes `folder` and everything in it, children before their folder, and never leaves it:
// a junction or symbolic link (FILE_ATTRIBUTE_REPARSE_POINT) is removed as a link, never entered,
// and so is `folder` itself when it is one. A read-only entry has its attribute cleared first.
// What cannot be removed (a file held open by a running program, a path of MAX_PATH units or
// more) stays, with the folders that lead to it; the walk goes on with the rest. Nothing goes to
// the recycle bin, nothing is shown, and no result is reported: a clean-up never fails a run.
void FolderTreeDelete(const platform::WChar* folder);

}  // namespace stub
