#include "staging/StagingDirectory.h"

#include "run/Text.h"
#include "staging/PrivateFolder.h"

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

}  // namespace stub
