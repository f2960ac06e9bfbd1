// The names an archive's files take on Windows, gathered in archive order before anything of an
// entry is created: two names that are one file there (case, trailing dots and spaces as Win32
// trims them, "\" for "/"), or a file whose name a later entry uses as a folder, are found here, so the later entry in
// archive order is always the one refused, whichever worker would have created its file first.
#pragma once

#include "run/RunState.h"

namespace stub {

struct EntryNameKey {
    u32 offset;   // into the pool: the whole name's folded units
    platform::u16 length;   // units of this key: the whole name, or a folder it implies
    platform::u16 file;     // 1: a file; 0: a folder made for an entry; 2: a folder only named
};

struct EntryNameSet {
    platform::Handle heap = nullptr;  // the process heap, taken at the first block
    u32* slots = nullptr;  // open addressing: a key's index + 1, or 0
    u32 slotCount = 0;     // a power of two, at least twice the keys
    EntryNameKey* keys = nullptr;
    u32 keyCount = 0;
    u32 keyCapacity = 0;
    WChar* pool = nullptr;
    u32 poolUsed = 0;
    u32 poolCapacity = 0;
};

// Adds the file `name` (`count` units; "/" or "\" between components) and the folders it implies.
// 0 when the name is a file of its own; else the reason its entry is refused, with `error` the
// Windows error creating it would give: EntryCreate (ERROR_FILE_EXISTS) when an earlier file or
// folder has its name, EntryFolder (ERROR_ALREADY_EXISTS) when one of its folders is an earlier
// file, Memory (ERROR_NOT_ENOUGH_MEMORY). The set's blocks come from the process heap. `made` is the
// number of leading units of `name` whose folders an earlier entry's path was built through: they
// exist, and EntryPathBuilder need not make them again (the caller builds every accepted name's
// path, or ends the run).
[[nodiscard]] u32 EntryNameSetAdd(EntryNameSet& set, const WChar* name, u32 count, u32& error, u32& made);

// Frees the set's blocks.
void EntryNameSetFree(EntryNameSet& set);

}  // namespace stub
