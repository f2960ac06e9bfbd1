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

// The listing's record layout: FILE_ID_BOTH_DIR_INFO (64-bit IDs) or, where those are not unique,
// FILE_ID_EXTD_DIR_INFO (128-bit IDs); attributes and name length lie at the same offsets in both.
struct Layout {
    u32 infoClass;
    u32 idAt;
    u32 nameAt;
};
constexpr Layout kNarrow = {FileIdBothDirectoryInfo, kDirInfoFileId, kDirInfoName};
constexpr Layout kWide = {FileIdExtdDirectoryInfo, kExtdDirInfoFileId, kExtdDirInfoName};

// The next record of the folder's listing, fetched through its handle; null at its end (or when
// the listing fails, or a record does not lie whole in the buffer).
const u8* NextRecord(Level& level, u8* buffer, const Layout& layout) {
    if (level.next == kNoRecord) {
        if (!GetFileInformationByHandleEx(level.folder, layout.infoClass, buffer, kListingBytes)) {
            return nullptr;
        }
        level.next = 0;
    }
    const u32 at = level.next;
    if (at > kListingBytes - layout.nameAt) return nullptr;
    const u8* record = buffer + at;
    const u32 step = Read32(record + kDirInfoNextEntryOffset);
    if (Read32(record + kDirInfoNameBytes) > kListingBytes - layout.nameAt - at) return nullptr;
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
    HeldFolder root = {INVALID_HANDLE_VALUE, 0, 0, {0, 0}};
    if (PrefixedPath(work->path, path, length)) root.handle = OpenForDelete(work->path, true);
    if (root.handle == INVALID_HANDLE_VALUE) left.error = GetLastError();
    if (root.handle != INVALID_HANDLE_VALUE &&
        (!IdentifyFolder(root) || root.volume != held.volume || root.wideIds != held.wideIds ||
         root.id[0] != held.id[0] || root.id[1] != held.id[1])) {
        CloseHandle(root.handle);
        root.handle = INVALID_HANDLE_VALUE;
    }
    if (root.handle == INVALID_HANDLE_VALUE) {
        HeapFree(heap, 0, work);
        return left;
    }
    left = {0, 0};
    const bool wide = held.wideIds != 0;
    const Layout& layout = wide ? kWide : kNarrow;

    // An iterative walk: levels[d] holds the folder d levels below the root.
    u32 depth = 0;
    work->levels[0] = {root.handle, length, kNoRecord};
    for (;;) {
        Level& level = work->levels[depth];
        const u8* record = NextRecord(level, work->listings[depth], layout);
        if (record == nullptr) {
            // A listing at its end: the folder goes, after its children.
            DeleteThrough(level.folder, left);
            CloseHandle(level.folder);
            if (depth == 0) break;
            --depth;
            continue;
        }
        const auto* name = reinterpret_cast<const WChar*>(record + layout.nameAt);
        const u32 units = Read32(record + kDirInfoNameBytes) / 2;
        u32 childLength = 0;
        if (IsDotName(name, units) ||
            !AppendComponent(work->path, level.length, name, units, childLength)) {
            continue;
        }
        u32 attributes = Read32(record + kDirInfoAttributes);
        const bool isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        const bool isFolder = !isLink && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const Handle entry = OpenForDelete(work->path, isFolder);
        if (entry == INVALID_HANDLE_VALUE) {  // in use, or gone: it stays
            Stays(left, GetLastError());
            continue;
        }
        // The handle must reach the entry listed: its file ID is the listing's. An ID is unique
        // on its volume, and a file opened as itself is on the volume of the folder that lists it;
        // a handle can lead elsewhere only where the system opens a link's target (Wine). So a
        // folder or a link is also checked through its handle, once: the held folder's volume,
        // and a link exactly when the listing says so (where the system opens a link's target,
        // the IDs may match while the handle is the target's: it stays).
        u64 listed[2] = {0, 0};
        __builtin_memcpy(listed, record + layout.idAt, wide ? 16 : 8);
        u64 id[2];
        ByHandleFileInformation info;
        bool same;
        if (isFolder || isLink) {
            same = GetFileInformationByHandle(entry, &info) &&
                   info.dwVolumeSerialNumber == held.volume &&
                   ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) == isLink &&
                   (isLink || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
            id[0] = (static_cast<u64>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
            id[1] = 0;
            same = same && (!wide || EntryFileId(entry, true, id));
            attributes = info.dwFileAttributes;
        } else {
            same = EntryFileId(entry, wide, id);
        }
        if (!same || id[0] != listed[0] || id[1] != listed[1]) {
            CloseHandle(entry);
            Stays(left, 0);
            continue;
        }
        // A link's attributes are never touched: on some systems that would reach its target.
        if (!isLink && (attributes & FILE_ATTRIBUTE_READONLY) != 0) ClearReadOnly(entry, attributes);
        if (isFolder && depth + 1 < kMaxOpenListings) {
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
