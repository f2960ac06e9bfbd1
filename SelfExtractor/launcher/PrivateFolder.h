// The stub's own folders under the temp folder (the staging directory, the private folder of a
// relaunch): created with an access list of their own, so that no other process can put files
// into them, and held open while the stub uses them, so that they cannot be swapped.
#pragma once

#include "platform/platform.h"

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

// A folder the stub made, held open from its creation until the tree delete takes it: the handle
// asks for no access that others' opens conflict with (the installer may list the folder or make
// it its current folder) but shares no delete, so nobody can rename or replace the folder while it
// is held. Its file ID and volume say which folder it is, so the delete can tell it from a swap.
struct HeldFolder {
    Handle handle;  // INVALID_HANDLE_VALUE when none
    u32 volume;
    u32 idHigh;
    u32 idLow;
};

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
