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

// Holds the existing folder `path` in `folder`. False when it cannot be opened or read, or is not
// a folder (a link).
[[nodiscard]] bool HoldFolder(const WChar* path, HeldFolder& folder);

// Creates the folder `path` with that descriptor (never with the inherited one) and holds it in
// `folder`, in one call: the handle is the new folder's own from the start. The call must report
// the folder created, and its handle a folder that is no link. False when any step fails (a
// folder created before a later check failed stays, empty); a failed creation notes its error for
// the failure message (run/Failure.h).
[[nodiscard]] bool CreatePrivateFolder(const WChar* path, HeldFolder& folder);

// The folder's volume, file ID and ID width, read through `folder.handle`: the ID width follows
// the file system's name (ReFS, a Dev Drive's too, gives 64-bit IDs that are not unique: 128-bit
// IDs then). False when it cannot be read, or the handle is no folder or a link.
[[nodiscard]] bool IdentifyFolder(HeldFolder& folder);

// The file ID of the file, folder or link `entry`: 64 bits (FileInternalInformation, the number
// listings show) in id[0] with id[1] 0, or, with `wide`, FileIdInfo's 128 bits. False on failure.
[[nodiscard]] bool EntryFileId(Handle entry, bool wide, platform::u64* id);

// "\\?\" and the full path of `folder` into `out` (at least kPrefixedPathChars units), its length
// in `length`; a UNC path becomes "\\?\UNC\server\share\...", and a trailing backslash goes. False
// when the full path cannot be had whole (it must fit MAX_PATH).
constexpr u32 kPrefixedPathChars = platform::kMaxPathChars + 8;
[[nodiscard]] bool PrefixedPath(WChar* out, const WChar* folder, u32& length);

// Opens a file, folder or link for the tree delete: the link itself rather than its target, with
// delete and attribute rights (and listing rights for a folder), sharing reads and writes only,
// so that nobody can rename or delete it while the handle is open.
Handle OpenForDelete(const WChar* path, bool folder);

}  // namespace stub
