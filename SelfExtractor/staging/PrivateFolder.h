// The stub's own folders under the temp folder (the staging directory, the private folder of a
// relaunch): created with an access list of their own, so that no other process can put files
// into them, and held open while the stub uses them, so that they cannot be swapped.
#pragma once

#include "run/RunState.h"

namespace stub {

using platform::Handle;
using platform::u32;
using platform::WChar;

// The temp folder as GetTempPath2W gives it where the system has it (a SYSTEM process then gets
// C:\Windows\SystemTemp, which other accounts cannot read), else as GetTempPathW gives it. Same
// result as GetTempPathW: the length without the terminator, 0 on failure, `capacity` or more
// when it does not fit.
u32 TempFolderPath(WChar* buffer, u32 capacity);

// The SDDL text of the folders' descriptor for the running process, in the 260-unit `sddl`:
// protected from inheritance; full control for SYSTEM and Administrators; for the process's own
// user full control, or read and execute only when its token is elevated; and, when its integrity
// level is High or System, a mandatory label at that level that keeps lower levels from writing.
// False when the token cannot be read or the text does not fit.
[[nodiscard]] bool PrivateFolderSddl(WChar* sddl);

// Holds the existing folder `path` in `folder`. False when it cannot be opened or read.
[[nodiscard]] bool HoldFolder(const WChar* path, HeldFolder& folder);

// Creates the folder `path` with that descriptor (never with the inherited one) and holds it in
// `folder`. False when any step fails; a folder created before a later step failed stays, empty.
[[nodiscard]] bool CreatePrivateFolder(const WChar* path, HeldFolder& folder);

// Opens a file, folder or link for the tree delete: the link itself rather than its target, with
// delete and attribute rights (and listing rights for a folder), sharing reads and writes only,
// so that nobody can rename or delete it while the handle is open.
Handle OpenForDelete(const WChar* path, bool folder);

}  // namespace stub
