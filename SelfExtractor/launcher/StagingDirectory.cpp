#include "launcher/StagingDirectory.h"

#include "launcher/PrivateFolder.h"
#include "launcher/Text.h"

namespace stub {

using namespace platform;

bool CreateStagingDirectory(StagingState& staging) {
    // The temp folder, trailing backslash kept. A result that does not fit is the size the folder
    // would need: no other location is tried.
    const u32 tempLength = TempFolderPath(staging.tempFolder, kModulePathChars);
    if (tempLength == 0 || tempLength >= kModulePathChars) return false;

    // Reserve a unique ZEBxxxx.tmp name, then turn it into a directory of the same name, with an
    // access list of its own: never the temp folder's, which other processes may write through.
    if (GetTempFileNameW(staging.tempFolder, u"ZEB", 0, staging.stagingPath) == 0) return false;
    DeleteFileW(staging.stagingPath);  // result ignored: the directory creation decides
    if (!CreatePrivateFolder(staging.stagingPath, staging.folder)) return false;

    staging.stagingLength = TextLength(staging.stagingPath);
    // The second terminator must fit behind the first.
    if (staging.stagingLength + 2 > kMaxPathChars) return false;

    for (u32 i = 0; i < staging.stagingLength; ++i) staging.stagingRoot[i] = staging.stagingPath[i];
    staging.stagingRoot[staging.stagingLength] = u'\\';
    staging.entryTail = staging.stagingLength + 1;
    staging.stagingRoot[staging.entryTail] = 0;

    // A second terminator, as the path has always carried (the path-length rule counts it).
    staging.stagingPath[staging.stagingLength + 1] = 0;
    return true;
}

bool EntryPathFits(const StagingState& staging, u32 count) {
    // Compared without overflow: count may be any 32-bit value read from an archive.
    if (count >= kMaxPathChars) return false;
    return staging.stagingLength + count + 1 < kMaxPathChars;
}

bool EntryPathBuilder(StagingState& staging, const WChar* name, u32 count) {
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
        if (!same) {
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
