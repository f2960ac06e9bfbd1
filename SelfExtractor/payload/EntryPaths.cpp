#include "payload/EntryPaths.h"

namespace stub {

using namespace platform;

bool EntryPathFits(const StagingState& staging, u32 count) {
    // Compared without overflow: count may be any 32-bit value read from an archive.
    if (count >= kMaxPathChars) return false;
    return staging.stagingLength + count + 1 < kMaxPathChars;
}

bool EntryPathBuilder(StagingState& staging, const WChar* name, u32 count, u32 made) {
    // Callers apply the rule first; tested again so the tail can never run past stagingRoot.
    if (!EntryPathFits(staging, count)) return false;

    // The tail still holds the last entry's name, whose parent folders exist: the folders this
    // name shares with it, unit for unit, are not created again.
    WChar* tail = staging.stagingRoot + staging.entryTail;
    const u32 known = staging.knownFolders;
    staging.knownFolders = 0;
    bool same = true;
    u32 k = 0;
    for (;;) {
        while (k < count && name[k] != u'/') {
            same = same && k < known && tail[k] == name[k];
            tail[k] = name[k];
            ++k;
        }
        if (k == count) {
            tail[k] = 0;
            return true;
        }
        same = same && k < known && tail[k] == u'/';
        if (!same && k >= made) {
            // The tail names a parent directory: create it, or accept it when it exists already.
            tail[k] = 0;
            if (!CreateDirectoryW(staging.stagingRoot, nullptr)) {
                const u32 error = GetLastError();
                if (error != ERROR_ALREADY_EXISTS) return false;
            }
        }
        tail[k] = u'/';
        staging.knownFolders = k + 1;
        ++k;
    }
}

}  // namespace stub
