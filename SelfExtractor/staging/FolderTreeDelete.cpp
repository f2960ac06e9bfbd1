#include "staging/FolderTreeDelete.h"

#include "run/RunLog.h"

namespace stub {

using namespace platform;

namespace {

constexpr u32 kLongPathChars = 32768;  // the longest path Windows takes, "\\?\" included
constexpr u32 kListingBytes = 8192;    // a level's listing buffer: dozens of records a call
constexpr u32 kNoRecord = 0xFFFFFFFFu;

struct Level {
    Handle folder;
    u32 length;  // units of the folder's path in DeleteWork::path
    u32 next;    // offset of the next record in the level's buffer, kNoRecord: fetch more
};

struct DeleteWork {
    WChar path[kLongPathChars];
    Level levels[kMaxOpenListings];
    alignas(8) u8 listings[kMaxOpenListings][kListingBytes];
};

u32 Read32(const u8* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<u32>(bytes[3]) << 24);
}

// "\\?\" and the full path of `folder` into `out`, its length in `length`. A UNC path becomes
// "\\?\UNC\server\share\...". False when the full path cannot be had whole.
bool LongPath(WChar* out, const WChar* folder, u32& length) {
    WChar full[kMaxPathChars];
    const u32 fullLength = GetFullPathNameW(folder, kMaxPathChars, full, nullptr);
    if (fullLength == 0 || fullLength >= kMaxPathChars) return false;
    const WChar* prefix = u"\\\\?\\";
    const WChar* rest = full;
    if (full[0] == u'\\' && full[1] == u'\\') {
        if (full[2] == u'?' && full[3] == u'\\') {
            prefix = u"";
        } else {
            prefix = u"\\\\?\\UNC";
            rest = full + 1;  // "\server\share..."
        }
    }
    length = 0;
    while (*prefix != 0) out[length++] = *prefix++;
    while (*rest != 0) out[length++] = *rest++;
    while (length > 0 && out[length - 1] == u'\\') --length;  // a folder, without its backslash
    out[length] = 0;
    return length > 0;
}

// Writes "\" and the `units` units of `name` after the `length` units of `path`.
bool AppendComponent(WChar* path, u32 length, const WChar* name, u32 units, u32& childLength) {
    if (units >= kLongPathChars - length - 1) return false;  // separator, name, terminator
    path[length] = u'\\';
    for (u32 i = 0; i < units; ++i) path[length + 1 + i] = name[i];
    childLength = length + 1 + units;
    path[childLength] = 0;
    return true;
}

bool IsDotName(const WChar* name, u32 units) {
    return (units == 1 && name[0] == u'.') || (units == 2 && name[0] == u'.' && name[1] == u'.');
}

// The next record of the folder's listing, fetched through its handle; null at its end (or when
// the listing fails, or a record does not lie whole in the buffer).
const u8* NextRecord(Level& level, u8* buffer) {
    if (level.next == kNoRecord) {
        if (!GetFileInformationByHandleEx(level.folder, FileIdBothDirectoryInfo, buffer,
                                          kListingBytes)) {
            return nullptr;
        }
        level.next = 0;
    }
    const u32 at = level.next;
    if (at > kListingBytes - kDirInfoName) return nullptr;
    const u8* record = buffer + at;
    const u32 step = Read32(record + kDirInfoNextEntryOffset);
    if (Read32(record + kDirInfoNameBytes) > kListingBytes - kDirInfoName - at) return nullptr;
    level.next = step == 0 ? kNoRecord : at + step;
    return record;
}

// An entry stays, for `error`.
void Stays(TreeLeft& left, u32 error) {
    if (left.entries++ == 0) left.error = error;
}

// The entry goes when its last handle closes; a folder only when it is empty by then.
void DeleteThrough(Handle entry, TreeLeft& left) {
    const u8 remove = 1;  // FILE_DISPOSITION_INFO.DeleteFile
    if (!SetFileInformationByHandle(entry, FileDispositionInfo, &remove, sizeof remove)) Stays(left, GetLastError());
}

void ClearReadOnly(Handle entry, u32 attributes) {
    alignas(8) u8 basic[kFileBasicInfoBytes] = {};  // times of 0: left as they are
    u32 kept = attributes & ~FILE_ATTRIBUTE_READONLY;
    if (kept == 0) kept = FILE_ATTRIBUTE_NORMAL;
    __builtin_memcpy(basic + kFileBasicInfoAttributes, &kept, sizeof kept);
    SetFileInformationByHandle(entry, FileBasicInfo, basic, sizeof basic);
}

}  // namespace

void LogDeleteLeft(TreeLeft left) {
    if (left.entries == 0) Log("delete: everything removed");
    else Log("delete: %u entries stay, %e", left.entries, left.error);
}

TreeLeft FolderTreeDelete(const WChar* path, HeldFolder& held) {
    TreeLeft left = {1, 0};
    if (held.handle == INVALID_HANDLE_VALUE) return left;
    // The walk's own handle, with the rights to list and delete, takes over the hold; it must
    // reach the folder that was held, not one put in its place since.
    CloseHandle(held.handle);
    held.handle = INVALID_HANDLE_VALUE;
    const Handle heap = GetProcessHeap();
    if (heap == nullptr) return left;
    auto* work = static_cast<DeleteWork*>(HeapAlloc(heap, 0, sizeof(DeleteWork)));
    if (work == nullptr) return left;
    u32 length = 0;
    Handle root = INVALID_HANDLE_VALUE;
    if (LongPath(work->path, path, length)) root = OpenForDelete(work->path, true);
    if (root == INVALID_HANDLE_VALUE) left.error = GetLastError();
    ByHandleFileInformation info;
    if (root != INVALID_HANDLE_VALUE &&
        (!GetFileInformationByHandle(root, &info) || info.dwVolumeSerialNumber != held.volume ||
         info.nFileIndexHigh != held.idHigh || info.nFileIndexLow != held.idLow ||
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
        CloseHandle(root);
        root = INVALID_HANDLE_VALUE;
    }
    if (root == INVALID_HANDLE_VALUE) {
        HeapFree(heap, 0, work);
        return left;
    }
    left = {0, 0};

    // An iterative walk: levels[d] holds the folder d levels below the root.
    u32 depth = 0;
    work->levels[0] = {root, length, kNoRecord};
    for (;;) {
        Level& level = work->levels[depth];
        const u8* record = NextRecord(level, work->listings[depth]);
        if (record == nullptr) {
            // A listing at its end: the folder goes, after its children.
            DeleteThrough(level.folder, left);
            CloseHandle(level.folder);
            if (depth == 0) break;
            --depth;
            continue;
        }
        const auto* name = reinterpret_cast<const WChar*>(record + kDirInfoName);
        const u32 units = Read32(record + kDirInfoNameBytes) / 2;
        u32 childLength = 0;
        if (IsDotName(name, units) ||
            !AppendComponent(work->path, level.length, name, units, childLength)) {
            continue;
        }
        const u32 listed = Read32(record + kDirInfoAttributes);
        const bool isLink = (listed & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        const bool isFolder = !isLink && (listed & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const Handle entry = OpenForDelete(work->path, isFolder);
        if (entry == INVALID_HANDLE_VALUE) {  // in use, or gone: it stays
            Stays(left, GetLastError());
            continue;
        }
        // The handle must reach the entry listed: same volume and file ID, a link exactly when
        // the listing says so (where the system opens a link's target, the IDs may match while
        // the handle is the target's: it stays).
        if (!GetFileInformationByHandle(entry, &info) ||
            info.dwVolumeSerialNumber != held.volume ||
            info.nFileIndexLow != Read32(record + kDirInfoFileId) ||
            info.nFileIndexHigh != Read32(record + kDirInfoFileId + 4) ||
            ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) != isLink) {
            CloseHandle(entry);
            Stays(left, 0);
            continue;
        }
        // A link's attributes are never touched: on some systems that would reach its target.
        if (!isLink && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
            ClearReadOnly(entry, info.dwFileAttributes);
        }
        if (isFolder && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            depth + 1 < kMaxOpenListings) {
            work->levels[++depth] = {entry, childLength, kNoRecord};
            continue;
        }
        DeleteThrough(entry, left);  // a file, a link as a link, a folder too deep when empty
        CloseHandle(entry);
    }
    HeapFree(heap, 0, work);
    return left;
}

}  // namespace stub
