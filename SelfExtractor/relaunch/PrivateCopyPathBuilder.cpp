#include "relaunch/PrivateCopyPathBuilder.h"

#include "run/Text.h"

namespace stub {

using namespace platform;

const WChar kPrivateCopyName[] = u"ZEBInstaller.exe";

namespace {

const WChar kReservedNamePrefix[] = u"JUV";
const WChar kBackslash[] = u"\\";

}  // namespace

bool PrivateCopyPathBuilder(WChar* out, HeldFolder& held) {
    held.handle = INVALID_HANDLE_VALUE;
    WChar tempFolder[kMaxPathChars];
    const u32 tempLength = TempFolderPath(tempFolder, kMaxPathChars);
    // A result of 260 or more means the path plus its terminator did not fit the buffer.
    if (tempLength == 0 || tempLength >= kMaxPathChars) return false;

    bool named = false;
    Guid guid;
    if (CoCreateGuid(&guid) >= 0) {
        WChar guidText[kMaxPathChars];
        if (StringFromGUID2(guid, guidText, kMaxPathChars) > 0) {
            if (!StrictCopy(out, tempFolder)) return false;
            if (!StrictAppend(out, guidText)) return false;
            named = true;
        }
    }
    if (!named) {
        // Fallback: let the platform pick a free "JUVxxxx.tmp" name by creating an empty file of
        // that name, then delete the file so the name is free for the folder.
        if (GetTempFileNameW(tempFolder, kReservedNamePrefix, 0, out) == 0) return false;
        if (!DeleteFileW(out)) return false;
    }

    // The folder keeps its trailing backslash; the copy's full path must fit whole.
    if (!StrictAppend(out, kBackslash)) return false;
    WChar folder[kMaxPathChars];
    if (!StrictCopy(folder, out)) return false;
    if (!StrictAppend(out, kPrivateCopyName)) return false;

    // A folder that exists already fails here: the copy must start in a folder of its own, which
    // nobody else can write into. It is made and held by its name without the backslash.
    folder[TextLength(folder) - 1] = 0;
    return CreatePrivateFolder(folder, held);
}

}  // namespace stub
