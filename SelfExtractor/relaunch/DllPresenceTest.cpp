#include "relaunch/CleanFolderRelaunch.h"

#include "run/Text.h"

namespace stub {

using namespace platform;

namespace {

const WChar kDllPattern[] = u"\\*.dll";

}  // namespace

// The first match decides: nothing is enumerated further and the match's attributes are not
// looked at, so a folder named "x.dll" counts like a file. A listing that fails for any reason
// (no match, unreadable or missing folder) counts as no DLL.
DllPresence DllPresenceTest(const WChar* folder, WChar* name) {
    WChar pattern[kMaxPathChars];
    if (!StrictCopy(pattern, folder)) return DllPresence::PatternTooLong;
    if (!StrictAppend(pattern, kDllPattern)) return DllPresence::PatternTooLong;

    FindData found;
    const Handle find = FindFirstFileW(pattern, &found);
    if (find == INVALID_HANDLE_VALUE) return DllPresence::None;
    FindClose(find);
    if (name != nullptr) TruncatingCopy(name, kMaxPathChars, found.cFileName);
    return DllPresence::Present;
}

}  // namespace stub
