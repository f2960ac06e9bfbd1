// Files and folders on the sandbox, with Windows results and errors. Every rule is here, over the
// sandbox's store (real files or memory: see Store in HostInternal.h).
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/host/HostInternal.h"

namespace platform {

using namespace host;
using namespace host::detail;

namespace {

Store& Files() { return Current().sandbox->store(); }

constexpr u64 kMaxFileSize = 0x7FFFFFFFFFFFFFFFull;

std::u16string RecordedPath(Handle handle);

// The rights that take part in sharing: reading data (a folder's listing, traversing it, too),
// writing data, and deleting (or renaming). A handle with none of them (attributes alone) takes no
// part at all, as on Windows and Wine: its share mode holds nothing back, and nobody's refuses it.
bool Reads(u32 access) { return (access & (GENERIC_READ | FILE_LIST_DIRECTORY | 0x20)) != 0; }
bool Writes(u32 access) { return (access & (GENERIC_WRITE | 0x2 | 0x4)) != 0; }
bool Deletes(u32 access) { return (access & DELETE) != 0; }
bool Shares(u32 access) { return Reads(access) || Writes(access) || Deletes(access); }

// Another open handle on the same file refuses this access (or this sharing refuses its access).
bool SharingConflict(const std::string& linuxPath, u32 access, u32 share) {
    if (!Shares(access)) return false;
    for (const Object* object : OpenFiles()) {
        if (object->linuxPath != linuxPath || !Shares(object->access)) continue;
        if (Reads(access) && !(object->share & FILE_SHARE_READ)) return true;
        if (Writes(access) && !(object->share & FILE_SHARE_WRITE)) return true;
        if (Deletes(access) && !(object->share & FILE_SHARE_DELETE)) return true;
        if (Reads(object->access) && !(share & FILE_SHARE_READ)) return true;
        if (Writes(object->access) && !(share & FILE_SHARE_WRITE)) return true;
        if (Deletes(object->access) && !(share & FILE_SHARE_DELETE)) return true;
    }
    return false;
}

// A handle on the entry that does not share delete: the entry cannot be deleted or renamed.
bool HeldWithoutDeleteSharing(const std::string& linuxPath) {
    for (const Object* object : OpenFiles())
        if (object->linuxPath == linuxPath && Shares(object->access) &&
            !(object->share & FILE_SHARE_DELETE))
            return true;
    return false;
}

bool IsOpen(const std::string& linuxPath) {
    for (const Object* object : OpenFiles())
        if (object->linuxPath == linuxPath) return true;
    return false;
}

// The running module's own file cannot be written or deleted, as on Windows.
bool IsRunningModule(const Resolved& resolved) {
    const auto modules = RunningModules();
    return std::find(modules.begin(), modules.end(), resolved.linuxPath) != modules.end();
}

// Windows' read-only attribute: no write bit at all in the entry's own mode (never for a link).
bool IsReadOnly(const std::string& linuxPath) {
    Entry entry;
    return Files().Lstat(linuxPath, entry) == 0 && entry.readOnly;
}

// A link to a folder (its target exists and is one).
bool LinksToFolder(const std::string& linuxPath) {
    Entry target;
    return Files().Stat(linuxPath, target) == 0 && target.kind == Entry::Kind::Folder;
}

// The attributes Windows reports for an entry (`entry` from its lstat at `linuxPath`). A link is
// a reparse point: a folder link as Wine reports it (0x410), any other link (also one whose target
// is missing) as Windows reports a file link (0x420).
u32 AttributesOf(const Entry& entry, const std::string& linuxPath) {
    if (entry.kind == Entry::Kind::Link)
        return FILE_ATTRIBUTE_REPARSE_POINT |
               (LinksToFolder(linuxPath) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
    u32 attributes = entry.kind == Entry::Kind::Folder ? FILE_ATTRIBUTE_DIRECTORY : 0;
    if (entry.readOnly) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// INVALID_FILE_ATTRIBUTES when there is no entry at `linuxPath`.
u32 AttributesOf(const std::string& linuxPath) {
    Entry entry;
    if (Files().Lstat(linuxPath, entry) != 0) return INVALID_FILE_ATTRIBUTES;
    return AttributesOf(entry, linuxPath);
}

FileTime SplitTime(u64 time) { return FileTime{static_cast<u32>(time), static_cast<u32>(time >> 32)}; }

// The path's error when it names nothing: malformed, missing folder, or missing entry.
u32 MissingError(const Resolved& resolved) {
    if (resolved.error != ERROR_SUCCESS) return resolved.error;
    return resolved.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

Object* FileOf(Handle handle) {
    Object* object = FindObject(handle, ObjectKind::File);
    if (object == nullptr) {
        ++Current().result.invalidHandleUses;
        SetError(ERROR_INVALID_HANDLE);
    }
    return object;
}

bool CopyBytes(int from, int to) {
    char buffer[65536];
    for (u64 at = 0;; at += sizeof buffer) {
        u32 got = 0, put = 0;
        if (Files().Read(from, at, buffer, sizeof buffer, got) != 0) return false;
        if (got == 0) return true;
        if (Files().Write(to, at, buffer, got, put) != 0) return false;
        if (got < sizeof buffer) return true;
    }
}

Handle NewFile(int fd, u32 access, u32 shareMode, const std::string& linuxPath) {
    Object object(ObjectKind::File);
    object.fd = fd;
    object.store = &Files();
    object.access = access;
    object.share = shareMode;
    object.linuxPath = linuxPath;
    return NewObject(std::move(object));
}

// Opens an existing folder (FILE_FLAG_BACKUP_SEMANTICS), or a link as itself
// (FILE_FLAG_OPEN_REPARSE_POINT, unless the environment follows links as Wine does).
Handle OpenFolderOrLink(const Resolved& resolved, u32 access, u32 shareMode, u32 disposition,
                        u32 flags) {
    const bool asLink = resolved.isLink && (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0 &&
                        !Current().env.linksOpenTargets;
    if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) {
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (SharingConflict(resolved.linuxPath, access, shareMode)) {
        SetError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    int fd = -1;
    if (Files().Open(resolved.linuxPath, asLink ? O_PATH | O_NOFOLLOW : O_RDONLY | O_DIRECTORY, fd) != 0) {
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    const Handle handle = NewFile(fd, access, shareMode, resolved.linuxPath);
    Object* object = FindObject(handle, ObjectKind::File);
    object->link = asLink;
    object->directory = !asLink;
    SetError(ERROR_SUCCESS);
    return handle;
}

}  // namespace

Handle CreateFileW(const WChar* path, u32 access, u32 shareMode, SECURITY_ATTRIBUTES*,
                   u32 disposition, u32 flagsAndAttributes, Handle) {
    const std::u16string text = FromZ(path);
    if (Enter(host::Call::CreateFileW, text)) return INVALID_HANDLE_VALUE;
    if (path == nullptr || disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        SetError(path == nullptr ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!text.empty() && (text.back() == u'\\' || text.back() == u'/')) {
        SetError(ERROR_INVALID_NAME);  // a file name cannot end in a separator
        return INVALID_HANDLE_VALUE;
    }
    const Resolved resolved = ResolveHere(text);
    if (resolved.error != ERROR_SUCCESS || !resolved.parentExists) {
        SetError(MissingError(resolved));
        return INVALID_HANDLE_VALUE;
    }
    if (resolved.exists && disposition == CREATE_NEW) {
        SetError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    // A link asked for as itself opens as the link: a file link whatever the flags, a folder link
    // (as any folder) only with backup semantics.
    const bool backup = (flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0;
    if (resolved.exists &&
        ((backup && resolved.isDirectory) ||
         (resolved.isLink && (backup || !resolved.isDirectory) &&
          (flagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) != 0 && !Current().env.linksOpenTargets))) {
        return OpenFolderOrLink(resolved, access, shareMode, disposition, flagsAndAttributes);
    }
    if (resolved.exists && resolved.isDirectory) {
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!resolved.exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const bool truncates = resolved.exists &&
                           (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
    const bool writes = (access & (GENERIC_WRITE | FILE_APPEND_DATA)) != 0;
    if (resolved.exists && (writes || truncates) && IsRunningModule(resolved)) {
        SetError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    if (resolved.exists && (writes || truncates) && IsReadOnly(resolved.linuxPath)) {
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (resolved.exists && SharingConflict(resolved.linuxPath, access | (truncates ? GENERIC_WRITE : 0),
                                           shareMode)) {
        SetError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    int flags = (access & GENERIC_WRITE) ? O_RDWR : O_RDONLY;
    if (!resolved.exists) flags |= O_CREAT | O_EXCL;
    if (truncates) flags |= O_TRUNC;
    if (truncates && !(access & GENERIC_WRITE)) flags = O_RDWR | O_TRUNC;
    // Appending only: every write lands at the end, as Windows does for FILE_APPEND_DATA alone.
    if ((access & (GENERIC_WRITE | FILE_APPEND_DATA)) == FILE_APPEND_DATA) flags |= O_WRONLY | O_APPEND;  // O_RDONLY is 0
    int fd = -1;
    if (const int error = Files().Open(resolved.linuxPath, flags, fd)) {
        SetError(error == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    const Handle handle = NewFile(fd, access, shareMode, resolved.linuxPath);
    // Windows reports an existing file replaced or opened by CREATE_ALWAYS/OPEN_ALWAYS.
    SetError(resolved.exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                 ? ERROR_ALREADY_EXISTS
                 : ERROR_SUCCESS);
    return handle;
}

Bool ReadFile(Handle file, void* buffer, u32 toRead, u32* read, void*) {
    if (read != nullptr) *read = 0;
    if (Enter(host::Call::ReadFile)) return 0;
    Object* object = FileOf(file);
    if (object == nullptr) return 0;
    if (!(object->access & GENERIC_READ)) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    u32 done = 0;
    if (object->store->Read(object->fd, object->position, buffer, toRead, done) != 0) {
        SetError(ERROR_READ_FAULT);
        return 0;
    }
    object->position += done;
    if (read != nullptr) *read = done;
    return 1;
}

Bool WriteFile(Handle file, const void* buffer, u32 toWrite, u32* written, void*) {
    if (written != nullptr) *written = 0;
    if (Enter(host::Call::WriteFile, RecordedPath(file))) return 0;
    Object* object = FileOf(file);
    if (object == nullptr) return 0;
    if (!(object->access & (GENERIC_WRITE | FILE_APPEND_DATA))) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    u32 done = 0;
    const int error = object->store->Write(object->fd, object->position, buffer, toWrite, done);
    object->position += done;
    if (error != 0) {
        SetError(error == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
        if (written != nullptr) *written = done;
        return 0;
    }
    if (written != nullptr) *written = done;
    return 1;
}

u32 SetFilePointer(Handle file, i32 distanceLow, i32* distanceHigh, u32 moveMethod) {
    if (Enter(host::Call::SetFilePointer)) return INVALID_SET_FILE_POINTER;
    Object* object = FileOf(file);
    if (object == nullptr) return INVALID_SET_FILE_POINTER;
    const i64 distance = distanceHigh != nullptr
                             ? static_cast<i64>((static_cast<u64>(static_cast<u32>(*distanceHigh)) << 32) |
                                                static_cast<u32>(distanceLow))
                             : static_cast<i64>(distanceLow);
    i64 base;
    switch (moveMethod) {
        case FILE_BEGIN: base = 0; break;
        case FILE_CURRENT: base = static_cast<i64>(object->position); break;
        case FILE_END: {
            Entry entry;
            if (object->store->Fstat(object->fd, entry) != 0) {
                SetError(ERROR_INVALID_HANDLE);
                return INVALID_SET_FILE_POINTER;
            }
            base = static_cast<i64>(entry.size);
            break;
        }
        default: SetError(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
    }
    const i64 target = base + distance;
    if (target < 0) {
        SetError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh == nullptr && static_cast<u64>(target) > 0xFFFFFFFFull) {
        SetError(ERROR_INVALID_PARAMETER);  // a 32-bit caller cannot be told the position
        return INVALID_SET_FILE_POINTER;
    }
    if (static_cast<u64>(target) > kMaxFileSize) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    object->position = static_cast<u64>(target);
    if (distanceHigh != nullptr) *distanceHigh = static_cast<i32>(object->position >> 32);
    SetError(ERROR_SUCCESS);
    return static_cast<u32>(object->position);
}

Bool CloseHandle(Handle handle) {
    // The call's record names the kind of object closed ("file", "process", "thread", "event")
    // and, for a file or folder, its Windows path now.
    Context& context = Current();
    auto it = context.objects.find(reinterpret_cast<uintptr_t>(handle));
    static const char16_t* const kKinds[] = {u"file", u"find", u"process", u"thread", u"event",
                                             u"token", u"snapshot", u"job"};
    const std::u16string kind = it == context.objects.end() ? u"" : kKinds[static_cast<int>(it->second.kind)];
    const bool file = it != context.objects.end() && it->second.kind == ObjectKind::File;
    if (Enter(host::Call::CloseHandle, kind, file ? RecordedPath(handle) : std::u16string())) return 0;
    if (it == context.objects.end() || it->second.kind == ObjectKind::Find) {
        ++context.result.invalidHandleUses;
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    CloseObject(it->second);
    context.objects.erase(it);
    return 1;
}

Bool DeleteFileW(const WChar* path) {
    const std::u16string text = FromZ(path);
    if (Enter(host::Call::DeleteFileW, text)) return 0;
    const Resolved resolved = ResolveHere(text);
    if (resolved.error != ERROR_SUCCESS || !resolved.exists) {
        SetError(path == nullptr ? ERROR_PATH_NOT_FOUND : MissingError(resolved));
        return 0;
    }
    // A folder (a folder link too: RemoveDirectoryW removes those), a running module or a
    // read-only file cannot be deleted.
    if (resolved.isDirectory || IsRunningModule(resolved) || IsReadOnly(resolved.linuxPath)) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (IsOpen(resolved.linuxPath)) {
        SetError(ERROR_SHARING_VIOLATION);
        return 0;
    }
    if (Files().Unlink(resolved.linuxPath) != 0) {  // a file link: the link itself goes
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return 1;
}

Bool CopyFileW(const WChar* from, const WChar* to, Bool failIfExists) {
    const std::u16string fromText = FromZ(from), toText = FromZ(to);
    if (Enter(host::Call::CopyFileW, fromText, toText)) return 0;
    const Resolved source = ResolveHere(fromText);
    if (source.error != ERROR_SUCCESS || !source.exists) {
        SetError(from == nullptr ? ERROR_PATH_NOT_FOUND : MissingError(source));
        return 0;
    }
    if (source.isDirectory) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (SharingConflict(source.linuxPath, GENERIC_READ, FILE_SHARE_READ)) {
        SetError(ERROR_SHARING_VIOLATION);
        return 0;
    }
    const Resolved target = ResolveHere(toText);
    if (target.error != ERROR_SUCCESS || !target.parentExists) {
        SetError(to == nullptr ? ERROR_PATH_NOT_FOUND : MissingError(target));
        return 0;
    }
    if (target.exists && failIfExists) {
        SetError(ERROR_FILE_EXISTS);
        return 0;
    }
    if (target.exists &&
        (target.isDirectory || IsRunningModule(target) || IsReadOnly(target.linuxPath))) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (target.exists && target.linuxPath == source.linuxPath) {
        SetError(ERROR_SHARING_VIOLATION);
        return 0;
    }
    if (target.exists && IsOpen(target.linuxPath)) {
        SetError(ERROR_SHARING_VIOLATION);
        return 0;
    }
    int in = -1, out = -1;
    if (Files().Open(source.linuxPath, O_RDONLY, in) != 0) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (Files().Open(target.linuxPath, O_WRONLY | O_CREAT | O_TRUNC, out) != 0) {
        Files().Close(in);
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    const bool ok = CopyBytes(in, out);
    Files().Close(in);
    Files().Close(out);
    if (!ok) {
        SetError(ERROR_WRITE_FAULT);
        return 0;
    }
    return 1;
}

u32 GetFileAttributesW(const WChar* path) {
    const std::u16string text = FromZ(path);
    if (Enter(host::Call::GetFileAttributesW, text)) return INVALID_FILE_ATTRIBUTES;
    const Resolved resolved = ResolveHere(text);
    if (path == nullptr || resolved.error != ERROR_SUCCESS || !resolved.exists) {
        SetError(path == nullptr ? ERROR_PATH_NOT_FOUND : MissingError(resolved));
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(resolved.linuxPath);
}

Bool SetFileAttributesW(const WChar* path, u32 attributes) {
    const std::u16string text = FromZ(path);
    if (Enter(host::Call::SetFileAttributesW, text)) return 0;
    const Resolved resolved = ResolveHere(text);
    if (path == nullptr || resolved.error != ERROR_SUCCESS || !resolved.exists) {
        SetError(path == nullptr ? ERROR_PATH_NOT_FOUND : MissingError(resolved));
        return 0;
    }
    if (resolved.isLink) return 1;  // a link's target is never touched
    // Only the read-only attribute is kept (as the write bits); the others are accepted as given.
    if (Files().SetReadOnly(resolved.linuxPath, (attributes & FILE_ATTRIBUTE_READONLY) != 0) != 0) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return 1;
}

namespace {

// The entries matching a resolved pattern, in the order NTFS gives (case-insensitive by name),
// with "." and ".." outside a drive root.
std::vector<FindData> Matches(const Resolved& resolved) {
    std::vector<std::pair<std::u16string, std::string>> entries;
    std::vector<std::string> names;
    if (Files().Names(resolved.parentLinux, names) == 0) {
        const std::string driveRoot = Files().Root() + "/";
        const bool isDriveRoot = resolved.parentLinux.size() == driveRoot.size() + 1 &&
                                 resolved.parentLinux.compare(0, driveRoot.size(), driveRoot) == 0;
        if (!isDriveRoot) names.insert(names.end(), {".", ".."});
        for (const std::string& name : names) entries.emplace_back(Utf16(name), name);
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return FoldCase(a.first) < FoldCase(b.first);
    });
    std::vector<FindData> matches;
    for (const auto& [name, linuxName] : entries) {
        if (!WildcardMatch(resolved.name, name)) continue;
        const std::string full = resolved.parentLinux + "/" + linuxName;
        Entry entry;
        // "." and "..": the folder (through a link too) and the one above it.
        const int error = linuxName == "."    ? Files().Stat(resolved.parentLinux, entry)
                          : linuxName == ".." ? Files().Stat(resolved.parentLinux + "/..", entry)
                                              : Files().Lstat(full, entry);
        if (error != 0) continue;  // gone since the listing
        FindData data;
        std::memset(&data, 0, sizeof data);
        data.dwFileAttributes = AttributesOf(entry, full);
        if (entry.kind == Entry::Kind::File) {
            data.nFileSizeLow = static_cast<u32>(entry.size);
            data.nFileSizeHigh = static_cast<u32>(entry.size >> 32);
        }
        data.ftCreationTime = SplitTime(entry.created);
        data.ftLastAccessTime = SplitTime(entry.accessed);
        data.ftLastWriteTime = SplitTime(entry.written);
        const size_t units = std::min<size_t>(name.size(), kMaxPathChars - 1);
        std::copy(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(units), data.cFileName);
        matches.push_back(data);
    }
    return matches;
}

// Opens a listing of `text`: the first match goes to `found`, the rest stays for FindNextFileW.
Handle OpenListing(const std::u16string& text, bool patternNull, FindData* found) {
    const Resolved resolved = ResolveHere(text, true);
    if (patternNull || resolved.error != ERROR_SUCCESS || !resolved.parentExists) {
        SetError(patternNull ? ERROR_PATH_NOT_FOUND : MissingError(resolved));
        return INVALID_HANDLE_VALUE;
    }
    if (resolved.isRoot) {  // a drive root itself is not an entry of anything
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::vector<FindData> matches = Matches(resolved);
    if (matches.empty()) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (found != nullptr) *found = matches.front();
    Object listing(ObjectKind::Find);
    listing.listing = std::move(matches);
    listing.nextEntry = 1;
    return NewObject(std::move(listing));
}

}  // namespace

Handle FindFirstFileW(const WChar* pattern, FindData* found) {
    const std::u16string text = FromZ(pattern);
    if (Enter(host::Call::FindFirstFileW, text)) return INVALID_HANDLE_VALUE;
    return OpenListing(text, pattern == nullptr, found);
}

Handle FindFirstFileExW(const WChar* pattern, u32 infoLevel, FindData* found, u32 searchOp,
                        void* searchFilter, u32 additionalFlags) {
    const std::u16string text = FromZ(pattern);
    if (Enter(host::Call::FindFirstFileExW, text)) return INVALID_HANDLE_VALUE;
    // Levels: standard, basic; searches: by name, folders first-class; flags: case-sensitive,
    // large fetch, on-disk entries only.
    constexpr u32 kKnownFlags = 0x1 | FIND_FIRST_EX_LARGE_FETCH | 0x4;
    bool refused = infoLevel > FindExInfoBasic || searchOp > 1 || searchFilter != nullptr ||
                   (additionalFlags & ~kKnownFlags) != 0;
    if (Current().env.findExBeforeWindows7) {
        refused = refused || infoLevel == FindExInfoBasic ||
                  (additionalFlags & FIND_FIRST_EX_LARGE_FETCH) != 0;
    }
    if (refused) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return OpenListing(text, pattern == nullptr, found);
}

Bool FindNextFileW(Handle find, FindData* found) {
    if (Enter(host::Call::FindNextFileW)) return 0;
    Object* listing = FindObject(find, ObjectKind::Find);
    if (listing == nullptr) {
        ++Current().result.invalidHandleUses;
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (listing->nextEntry >= listing->listing.size()) {
        SetError(ERROR_NO_MORE_FILES);
        return 0;
    }
    if (found != nullptr) *found = listing->listing[listing->nextEntry];
    ++listing->nextEntry;
    return 1;
}

Bool FindClose(Handle find) {
    if (Enter(host::Call::FindClose)) return 0;
    Context& context = Current();
    auto it = context.objects.find(reinterpret_cast<uintptr_t>(find));
    if (it == context.objects.end() || it->second.kind != ObjectKind::Find) {
        ++context.result.invalidHandleUses;
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    context.objects.erase(it);
    return 1;
}

Bool CreateDirectoryW(const WChar* path, SECURITY_ATTRIBUTES* security) {
    const std::u16string text = FromZ(path);
    if (Enter(host::Call::CreateDirectoryW, text)) return 0;
    std::u16string sddl;
    if (security != nullptr && !DescriptorText(security, sddl)) return 0;
    const Resolved resolved = ResolveHere(text);
    if (path == nullptr || resolved.error != ERROR_SUCCESS || !resolved.parentExists) {
        SetError(path == nullptr ? ERROR_PATH_NOT_FOUND
                                 : resolved.error != ERROR_SUCCESS ? resolved.error
                                                                   : ERROR_PATH_NOT_FOUND);
        return 0;
    }
    if (resolved.exists) {
        SetError(ERROR_ALREADY_EXISTS);
        return 0;
    }
    if (const int error = Files().MakeFolder(resolved.linuxPath)) {
        SetError(error == EEXIST ? ERROR_ALREADY_EXISTS : ERROR_ACCESS_DENIED);
        return 0;
    }
    if (security != nullptr) Current().result.folderSecurity.push_back(FolderSecurity{text, sddl});
    SetError(ERROR_SUCCESS);
    return 1;
}

Bool RemoveDirectoryW(const WChar* path) {
    const std::u16string text = FromZ(path);
    if (Enter(host::Call::RemoveDirectoryW, text)) return 0;
    const Resolved resolved = ResolveHere(text);
    if (path == nullptr || resolved.error != ERROR_SUCCESS || !resolved.exists) {
        SetError(path == nullptr ? ERROR_PATH_NOT_FOUND : MissingError(resolved));
        return 0;
    }
    if (!resolved.isDirectory) {
        SetError(ERROR_DIRECTORY);
        return 0;
    }
    if (resolved.isRoot || IsReadOnly(resolved.linuxPath)) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (resolved.isLink) {  // the link itself goes, never its target
        if (Files().Unlink(resolved.linuxPath) != 0) {
            SetError(ERROR_ACCESS_DENIED);
            return 0;
        }
        return 1;
    }
    const Resolved cwd = ResolveHere(Current().env.currentDirectory);
    if (cwd.linuxPath == resolved.linuxPath || HeldWithoutDeleteSharing(resolved.linuxPath)) {
        SetError(ERROR_SHARING_VIOLATION);  // the process's current folder is in use
        return 0;
    }
    if (const int error = Files().RemoveFolder(resolved.linuxPath)) {
        SetError(error == ENOTEMPTY || error == EEXIST ? ERROR_DIR_NOT_EMPTY : ERROR_ACCESS_DENIED);
        return 0;
    }
    return 1;
}

// ---- files and folders by handle --------------------------------------------------------------

namespace {

// What GetFileInformationByHandle, FileInternalInformation and a listing report of an entry:
// its inode; on a file system without unique 64-bit IDs, one ID for every entry. The 128-bit ID
// is the inode and the volume.
constexpr u64 kNotUnique = 0xFFFFFFFFFFFFFFFFull;
u64 FileIdOf(const Entry& entry) {
    return Current().env.fileSystem == u"ReFS" ? kNotUnique : entry.id;
}

// The attributes of the object a handle holds, at the store path it names now.
u32 HandleAttributes(const Object& object, const std::string& now) {
    if (object.link)
        return FILE_ATTRIBUTE_REPARSE_POINT |
               (LinksToFolder(now) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
    Entry entry;
    if (object.store->Fstat(object.fd, entry) != 0) return INVALID_FILE_ATTRIBUTES;
    return AttributesOf(entry, now);
}

// A folder's listing for FileIdBothDirectoryInfo: "." and "..", then the entries in NTFS order.
std::vector<DirRecord> ListByHandle(const std::string& folder) {
    std::vector<DirRecord> records;
    std::vector<std::pair<std::u16string, std::string>> entries;
    std::vector<std::string> names;
    if (Files().Names(folder, names) == 0)
        for (const std::string& name : names) entries.emplace_back(Utf16(name), name);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return FoldCase(a.first) < FoldCase(b.first);
    });
    Entry entry;
    for (const char* dot : {".", ".."}) {
        if (Files().Stat(folder + "/" + dot, entry) == 0)
            records.push_back(DirRecord{Utf16(dot), FILE_ATTRIBUTE_DIRECTORY, FileIdOf(entry), {entry.id, entry.volume}});
    }
    const bool followLinks = Current().env.linksOpenTargets;
    for (const auto& [name, linuxName] : entries) {
        const std::string full = folder + "/" + linuxName;
        if (Files().Lstat(full, entry) != 0) continue;
        const u32 attributes = AttributesOf(entry, full);
        Entry target;
        // Wine gives a link the ID of its target; Windows the link's own.
        if (entry.kind == Entry::Kind::Link && followLinks && Files().Stat(full, target) == 0) entry = target;
        records.push_back(DirRecord{name, attributes, FileIdOf(entry), {entry.id, entry.volume}});
    }
    return records;
}

// The Windows path of the object a handle holds now, for the call's record (empty: no such
// handle, or outside the sandbox).
std::u16string RecordedPath(Handle handle) {
    const Object* object = FindObject(handle, ObjectKind::File);
    if (object == nullptr) return {};
    return Current().sandbox->WindowsPath(object->store->PathOf(object->fd));
}

void Put32(u8* at, u32 value) { std::memcpy(at, &value, sizeof value); }
void Put64(u8* at, u64 value) { std::memcpy(at, &value, sizeof value); }

}  // namespace

Bool GetFileInformationByHandle(Handle file, ByHandleFileInformation* info) {
    if (Enter(host::Call::GetFileInformationByHandle, RecordedPath(file))) return 0;
    Object* object = FileOf(file);
    if (object == nullptr) return 0;
    const std::string now = object->store->PathOf(object->fd);
    Entry entry;
    if (info == nullptr || object->store->Fstat(object->fd, entry) != 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::memset(info, 0, sizeof *info);
    info->dwFileAttributes = HandleAttributes(*object, now);
    info->ftCreationTime = SplitTime(entry.created);
    info->ftLastAccessTime = SplitTime(entry.accessed);
    info->ftLastWriteTime = SplitTime(entry.written);
    info->dwVolumeSerialNumber = static_cast<u32>(entry.volume);
    info->nFileSizeHigh = static_cast<u32>(entry.size >> 32);
    info->nFileSizeLow = static_cast<u32>(entry.size);
    info->nNumberOfLinks = entry.links;
    info->nFileIndexHigh = static_cast<u32>(FileIdOf(entry) >> 32);
    info->nFileIndexLow = static_cast<u32>(FileIdOf(entry));
    return 1;
}

Bool GetFileInformationByHandleEx(Handle file, u32 infoClass, void* buffer, u32 bytes) {
    if (Enter(host::Call::GetFileInformationByHandleEx, RecordedPath(file))) return 0;
    Object* object = FileOf(file);
    if (object == nullptr) return 0;
    if (infoClass == FileIdInfo && buffer != nullptr && bytes >= kFileIdInfoBytes) {
        Entry entry;
        if (object->store->Fstat(object->fd, entry) != 0) {
            SetError(ERROR_INVALID_HANDLE);
            return 0;
        }
        auto* out = static_cast<u8*>(buffer);
        Put64(out, entry.volume);
        Put64(out + kFileIdInfoId, entry.id);
        Put64(out + kFileIdInfoId + 8, entry.volume);
        return 1;
    }
    // Listings: FileIdBothDirectoryInfo with 64-bit IDs, FileIdExtdDirectoryInfo with 128-bit
    // ones (each with its restart class after it).
    const bool wide = infoClass == FileIdExtdDirectoryInfo || infoClass == FileIdExtdDirectoryInfo + 1;
    const bool restart = infoClass == FileIdBothDirectoryRestartInfo || infoClass == FileIdExtdDirectoryInfo + 1;
    if ((!wide && infoClass != FileIdBothDirectoryInfo && !restart) || !object->directory ||
        buffer == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!(object->access & FILE_LIST_DIRECTORY)) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    const u32 nameAt = wide ? kExtdDirInfoName : kDirInfoName;
    if (!object->listed || restart) {
        object->records = ListByHandle(object->store->PathOf(object->fd));
        object->nextRecord = 0;
        object->listed = true;
    }
    if (object->nextRecord >= object->records.size()) {
        SetError(ERROR_NO_MORE_FILES);
        return 0;
    }
    // Whole records, each 8-byte aligned, chained by NextEntryOffset (0 on the last).
    auto* out = static_cast<u8*>(buffer);
    u32 used = 0;
    u8* previous = nullptr;
    while (object->nextRecord < object->records.size()) {
        const DirRecord& record = object->records[object->nextRecord];
        const u32 nameBytes = static_cast<u32>(record.name.size() * 2);
        const u32 size = (nameAt + nameBytes + 7) & ~7u;
        if (size > bytes - used) break;
        u8* at = out + used;
        std::memset(at, 0, size);
        Put32(at + kDirInfoAttributes, record.attributes);
        Put32(at + kDirInfoNameBytes, nameBytes);
        if (wide) {
            Put64(at + kExtdDirInfoFileId, record.wideId[0]);
            Put64(at + kExtdDirInfoFileId + 8, record.wideId[1]);
        } else {
            Put64(at + kDirInfoFileId, record.fileId);
        }
        std::memcpy(at + nameAt, record.name.data(), nameBytes);
        if (previous != nullptr) Put32(previous + kDirInfoNextEntryOffset, static_cast<u32>(at - previous));
        previous = at;
        used += size;
        ++object->nextRecord;
    }
    if (previous == nullptr) {
        SetError(ERROR_MORE_DATA);  // not even one record fits
        return 0;
    }
    return 1;
}

// The disposition is carried out at once here; Windows removes the entry when its last handle
// closes, which the stub does right after.
Bool SetFileInformationByHandle(Handle file, u32 infoClass, const void* buffer, u32 bytes) {
    // The record names the object and the class: "disposition", "basic" or the number.
    const std::u16string what = infoClass == FileDispositionInfo ? u"disposition"
                                : infoClass == FileBasicInfo     ? u"basic"
                                                                 : Utf16(std::to_string(infoClass));
    if (Enter(host::Call::SetFileInformationByHandle, RecordedPath(file), what)) return 0;
    Object* object = FileOf(file);
    if (object == nullptr) return 0;
    const std::string now = object->store->PathOf(object->fd);
    const auto* in = static_cast<const u8*>(buffer);
    if (buffer == nullptr || now.empty()) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (infoClass == FileBasicInfo) {
        if (bytes < kFileBasicInfoBytes) {
            SetError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (!(object->access & FILE_WRITE_ATTRIBUTES)) {
            SetError(ERROR_ACCESS_DENIED);
            return 0;
        }
        u32 attributes;
        std::memcpy(&attributes, in + kFileBasicInfoAttributes, sizeof attributes);
        if (attributes == 0 || object->link) return 1;  // 0: unchanged; a link's target untouched
        if (object->store->SetReadOnly(now, (attributes & FILE_ATTRIBUTE_READONLY) != 0) != 0) {
            SetError(ERROR_ACCESS_DENIED);
            return 0;
        }
        return 1;
    }
    if (infoClass != FileDispositionInfo || bytes < 1) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!(object->access & DELETE)) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (in[0] == 0) return 1;
    if (object->link) {
        if (object->store->Unlink(now) != 0) {
            SetError(ERROR_ACCESS_DENIED);
            return 0;
        }
        return 1;
    }
    if (IsReadOnly(now)) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (object->directory) {
        const Resolved cwd = ResolveHere(Current().env.currentDirectory);
        if (cwd.linuxPath == now) {
            SetError(ERROR_SHARING_VIOLATION);
            return 0;
        }
        if (const int error = object->store->RemoveFolder(now)) {
            SetError(error == ENOTEMPTY || error == EEXIST ? ERROR_DIR_NOT_EMPTY : ERROR_ACCESS_DENIED);
            return 0;
        }
        return 1;
    }
    const auto modules = RunningModules();
    if (std::find(modules.begin(), modules.end(), now) != modules.end()) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (object->store->Unlink(now) != 0) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return 1;
}

u32 GetLongPathNameW(const WChar* path, WChar* buffer, u32 capacity) {
    const std::u16string text = FromZ(path);
    if (Enter(host::Call::GetLongPathNameW, text)) return 0;
    const Resolved resolved = ResolveHere(text);
    if (path == nullptr || resolved.error != ERROR_SUCCESS || !resolved.exists) {
        SetError(path == nullptr ? ERROR_INVALID_PARAMETER : MissingError(resolved));
        return 0;
    }
    const std::u16string full = LongForm(Current().env, text);
    if (full.size() + 1 > capacity) return static_cast<u32>(full.size() + 1);
    std::copy(full.begin(), full.end(), buffer);
    buffer[full.size()] = 0;
    return static_cast<u32>(full.size());
}

Bool GetVolumeInformationByHandleW(Handle file, WChar* volumeName, u32 volumeNameCapacity,
                                   u32* serialNumber, u32* maxComponentLength, u32* flags,
                                   WChar* fileSystemName, u32 fileSystemNameCapacity) {
    if (Enter(host::Call::GetVolumeInformationByHandleW, RecordedPath(file))) return 0;
    Object* object = FileOf(file);
    if (object == nullptr) return 0;
    Entry entry;
    if (object->store->Fstat(object->fd, entry) != 0) {
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    const std::u16string& name = Current().env.fileSystem;
    if ((volumeName != nullptr && volumeNameCapacity == 0) ||
        (fileSystemName != nullptr && name.size() + 1 > fileSystemNameCapacity)) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (volumeName != nullptr) volumeName[0] = 0;
    if (serialNumber != nullptr) *serialNumber = static_cast<u32>(entry.volume);
    if (maxComponentLength != nullptr) *maxComponentLength = 255;
    if (flags != nullptr) *flags = 0;
    if (fileSystemName != nullptr) {
        std::copy(name.begin(), name.end(), fileSystemName);
        fileSystemName[name.size()] = 0;
    }
    return 1;
}

// ---- ntdll ----------------------------------------------------------------------------------------

namespace {

// NTSTATUS values and the Win32 errors they stand for, both ways, for the failures modelled here.
constexpr std::pair<NtStatus, u32> kStatusErrors[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_DISK_FULL, ERROR_DISK_FULL},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_INVALID_INFO_CLASS, ERROR_INVALID_PARAMETER},
    {static_cast<NtStatus>(0xC0000008u), ERROR_INVALID_HANDLE},
    {static_cast<NtStatus>(0xC0000079u), ERROR_INVALID_SECURITY_DESCR},
    {STATUS_UNSUCCESSFUL, 31},  // ERROR_GEN_FAILURE
};

// The status of a failure whose Win32 error is `error` (an injected one: the Faults' last error).
NtStatus StatusOf(u32 error) {
    for (const auto& [status, mapped] : kStatusErrors)
        if (mapped == error && status != STATUS_SUCCESS) return status;
    return STATUS_UNSUCCESSFUL;
}

}  // namespace

u32 RtlNtStatusToDosError(NtStatus status) {
    for (const auto& [known, error] : kStatusErrors)
        if (known == status) return error;
    return 317;  // ERROR_MR_MID_NOT_FOUND
}

// Only the stub's use is modelled: a new folder (FILE_CREATE, FILE_DIRECTORY_FILE) by an NT path
// "\??\...", with or without a descriptor; its handle is open on it as CreateFileW's would be.
NtStatus NtCreateFile(Handle* file, u32 access, ObjectAttributes* attributes, IoStatusBlock* io,
                      i64*, u32, u32 shareAccess, u32 disposition, u32 options, void*, u32) {
    std::u16string name;
    if (attributes != nullptr && attributes->ObjectName != nullptr &&
        attributes->ObjectName->Buffer != nullptr)
        name.assign(attributes->ObjectName->Buffer, attributes->ObjectName->Length / 2);
    const bool ntPath = name.size() > 4 && name.compare(0, 4, u"\\??\\") == 0;
    const std::u16string path = ntPath ? name.substr(4) : name;  // as Win32 names it
    if (Enter(host::Call::NtCreateFile, path)) return StatusOf(Current().faults.lastError);
    if (file == nullptr || io == nullptr || attributes == nullptr ||
        attributes->Length != sizeof(ObjectAttributes) || attributes->RootDirectory != nullptr ||
        disposition != FILE_CREATE || (options & FILE_DIRECTORY_FILE) == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!ntPath) return STATUS_OBJECT_PATH_NOT_FOUND;
    *file = nullptr;
    std::u16string sddl;
    if (attributes->SecurityDescriptor != nullptr) {
        SECURITY_ATTRIBUTES security = {sizeof(SECURITY_ATTRIBUTES), attributes->SecurityDescriptor, 0};
        if (!DescriptorText(&security, sddl)) return StatusOf(Current().lastError);
    }
    const Resolved resolved = ResolveHere(u"\\\\?\\" + path);
    if (resolved.error != ERROR_SUCCESS) return STATUS_OBJECT_NAME_INVALID;
    if (!resolved.parentExists) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (resolved.exists) return STATUS_OBJECT_NAME_COLLISION;
    if (const int error = Files().MakeFolder(resolved.linuxPath))
        return error == EEXIST ? STATUS_OBJECT_NAME_COLLISION
               : error == ENOSPC ? STATUS_DISK_FULL : STATUS_ACCESS_DENIED;
    int fd = -1;
    if (Files().Open(resolved.linuxPath, O_RDONLY | O_DIRECTORY, fd) != 0) return STATUS_ACCESS_DENIED;
    if (attributes->SecurityDescriptor != nullptr)
        Current().result.folderSecurity.push_back(FolderSecurity{path, sddl});
    *file = NewFile(fd, access, shareAccess, resolved.linuxPath);
    FindObject(*file, ObjectKind::File)->directory = true;
    io->Status = STATUS_SUCCESS;
    io->Information = FILE_CREATED;
    return STATUS_SUCCESS;
}

NtStatus NtQueryInformationFile(Handle file, IoStatusBlock* io, void* info, u32 bytes,
                                u32 infoClass) {
    if (Enter(host::Call::NtQueryInformationFile, RecordedPath(file)))
        return StatusOf(Current().faults.lastError);
    Object* object = FindObject(file, ObjectKind::File);
    if (object == nullptr) {
        ++Current().result.invalidHandleUses;
        return static_cast<NtStatus>(0xC0000008u);  // STATUS_INVALID_HANDLE
    }
    if (infoClass != FileInternalInformation) return STATUS_INVALID_INFO_CLASS;
    Entry entry;
    if (io == nullptr || info == nullptr || bytes < 8) return static_cast<NtStatus>(0xC0000004u);
    if (object->store->Fstat(object->fd, entry) != 0) return STATUS_ACCESS_DENIED;
    Put64(static_cast<u8*>(info), FileIdOf(entry));
    io->Status = STATUS_SUCCESS;
    io->Information = 8;
    return STATUS_SUCCESS;
}

u32 GetFullPathNameW(const WChar* path, u32 capacity, WChar* buffer, WChar** filePart) {
    const std::u16string text = FromZ(path);
    if (Enter(host::Call::GetFullPathNameW, text)) return 0;
    if (filePart != nullptr) *filePart = nullptr;
    const std::u16string full = FullPath(Current().env.currentDirectory, text);
    if (path == nullptr || full.empty()) {
        SetError(ERROR_INVALID_NAME);
        return 0;
    }
    if (full.size() + 1 > capacity) return static_cast<u32>(full.size() + 1);
    std::copy(full.begin(), full.end(), buffer);
    buffer[full.size()] = 0;
    return static_cast<u32>(full.size());
}

// ---- free space -----------------------------------------------------------------------------

Bool GetDiskFreeSpaceExW(const WChar* folder, u64* freeToCaller, u64* total, u64* totalFree) {
    const std::u16string text = FromZ(folder);
    if (Enter(host::Call::GetDiskFreeSpaceExW, text)) return 0;
    const Resolved resolved = ResolveHere(text);
    if (resolved.error != ERROR_SUCCESS || !resolved.exists || !resolved.isDirectory) {
        SetError(resolved.error != ERROR_SUCCESS ? resolved.error : ERROR_PATH_NOT_FOUND);
        return 0;
    }
    const u64 free = Current().env.freeBytes;
    if (freeToCaller != nullptr) *freeToCaller = free;
    if (totalFree != nullptr) *totalFree = free;
    if (total != nullptr) *total = free + (u64(1) << 30);
    return 1;
}

Bool GetDiskFreeSpaceW(const WChar* folder, u32* sectorsPerCluster, u32* bytesPerSector,
                       u32* freeClusters, u32* totalClusters) {
    const std::u16string text = FromZ(folder);
    if (Enter(host::Call::GetDiskFreeSpaceW, text)) return 0;
    const Resolved resolved = ResolveHere(text);
    if (resolved.error != ERROR_SUCCESS || !resolved.exists || !resolved.isDirectory) {
        SetError(resolved.error != ERROR_SUCCESS ? resolved.error : ERROR_PATH_NOT_FOUND);
        return 0;
    }
    const Environment& env = Current().env;
    const u32 sector = env.clusterBytes < 512 ? env.clusterBytes : 512;
    if (sectorsPerCluster != nullptr) *sectorsPerCluster = sector == 0 ? 0 : env.clusterBytes / sector;
    if (bytesPerSector != nullptr) *bytesPerSector = sector;
    const u64 clusters = env.clusterBytes == 0 ? 0 : env.freeBytes / env.clusterBytes;
    if (freeClusters != nullptr) *freeClusters = clusters > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<u32>(clusters);
    if (totalClusters != nullptr) *totalClusters = 0xFFFFFFFFu;
    return 1;
}

}  // namespace platform
