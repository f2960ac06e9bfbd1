#include "launcher/FolderTreeDelete.h"

#include "launcher/Text.h"

namespace stub {

using namespace platform;

namespace {

bool IsDotName(const WChar* name) {
    return name[0] == u'.' && (name[1] == 0 || (name[1] == u'.' && name[2] == 0));
}

// Writes "\" and `name` after the `length` units of `path` and sets `childLength`; false when
// the result and its terminator would not fit (what was written past `length` is then unused).
bool AppendComponent(WChar* path, u32 length, const WChar* name, u32& childLength) {
    path[length] = u'\\';
    u32 end = length + 1;
    for (u32 i = 0;; ++i, ++end) {
        if (end >= kMaxPathChars) return false;
        path[end] = name[i];
        if (name[i] == 0) break;
    }
    childLength = end;
    return true;
}

// Opens the listing of the folder at `path` (`length` units) with its first entry in `found`;
// INVALID_HANDLE_VALUE when the pattern does not fit or the folder cannot be listed.
Handle OpenListing(WChar* path, u32 length, FindData& found) {
    if (length + 2 >= kMaxPathChars) return INVALID_HANDLE_VALUE;  // "\*" and the terminator
    path[length] = u'\\';
    path[length + 1] = u'*';
    path[length + 2] = 0;
    Handle listing = FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch,
                                      nullptr, FIND_FIRST_EX_LARGE_FETCH);
    // Windows before 7 knows neither the basic level nor the large fetch.
    if (listing == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
        listing = FindFirstFileExW(path, FindExInfoStandard, &found, FindExSearchNameMatch,
                                   nullptr, 0);
    }
    path[length] = 0;
    return listing;
}

// Takes one entry at `path` (`length` units) with the attributes its listing gave. A file, a
// link or a folder that is not to be listed (`mayList` false, or its listing fails) is removed
// at once; a folder only when it is empty. A real folder that can be listed is not removed yet:
// its listing comes back, with its first entry in `found`.
Handle TakeEntry(WChar* path, u32 length, u32 attributes, bool mayList, FindData& found) {
    const bool isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    // A link's attributes are never touched: on some systems that would reach its target.
    if (!isLink && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);  // result not tested: the delete decides
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW(path);  // a file link goes as a link
        return INVALID_HANDLE_VALUE;
    }
    if (!isLink && mayList) {
        const Handle listing = OpenListing(path, length, found);
        if (listing != INVALID_HANDLE_VALUE) return listing;
    }
    RemoveDirectoryW(path);  // a folder link goes as a link, never entered
    return INVALID_HANDLE_VALUE;
}

}  // namespace

void FolderTreeDelete(const WChar* folder) {
    WChar path[kMaxPathChars];
    if (!StrictCopy(path, folder)) return;  // never a cut path
    u32 length = TextLength(path);

    // The folder itself is taken like any entry: a link in its place is removed, not entered.
    const u32 attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return;

    // An iterative walk: listings[d] lists the folder d levels below `folder`; the innermost one's
    // path is the first `length` units of `path`, and `found` holds its next entry.
    Handle listings[kMaxOpenListings];
    u32 depth = 0;
    FindData found;
    listings[0] = TakeEntry(path, length, attributes, true, found);
    if (listings[0] == INVALID_HANDLE_VALUE) return;

    for (;;) {
        u32 childLength = 0;
        // A name whose path does not fit MAX_PATH cannot be reached: it stays.
        if (!IsDotName(found.cFileName) &&
            AppendComponent(path, length, found.cFileName, childLength)) {
            const Handle listing = TakeEntry(path, childLength, found.dwFileAttributes,
                                             depth + 1 < kMaxOpenListings, found);
            if (listing != INVALID_HANDLE_VALUE) {
                listings[++depth] = listing;
                length = childLength;
                continue;  // `found` holds the subfolder's first entry
            }
        }
        // A listing at its end (or failing) is closed, then its folder removed, children first.
        while (!FindNextFileW(listings[depth], &found)) {
            FindClose(listings[depth]);
            path[length] = 0;
            RemoveDirectoryW(path);
            if (depth == 0) return;
            --depth;
            while (path[length] != u'\\') --length;  // back to the parent folder
        }
    }
}

}  // namespace stub
