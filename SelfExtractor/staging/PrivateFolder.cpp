#include "staging/PrivateFolder.h"

#include "run/Failure.h"
#include "run/Text.h"

namespace stub {

using namespace platform;

namespace {

// TOKEN_USER and TOKEN_MANDATORY_LABEL: a SID_AND_ATTRIBUTES, then the SID (at most 68 bytes).
constexpr u32 kTokenInfoBytes = 128;

// The last sub-authority of the SID at `sid`, which must lie whole in [begin, end): the RID of an
// integrity label. 0 when it does not.
u32 LastSubAuthority(const u8* begin, const u8* end, const u8* sid) {
    if (sid < begin || end - sid < 8) return 0;
    const u32 count = sid[1];
    if (count == 0 || static_cast<u32>(end - sid) < 8 + 4 * count) return 0;
    const u8* last = sid + 8 + 4 * (count - 1);
    return last[0] | (last[1] << 8) | (last[2] << 16) | (static_cast<u32>(last[3]) << 24);
}

const u8* SidOf(const u8* info) {
    const u8* sid;
    __builtin_memcpy(&sid, info, sizeof sid);  // SID_AND_ATTRIBUTES.Sid
    return sid;
}

// "ReFS", in any case: the file system whose 64-bit file IDs are not unique.
bool IsReFS(const WChar* name) {
    const char* const refs = "refs";
    for (u32 i = 0; i < 4; ++i)
        if ((name[i] | 0x20) != refs[i]) return false;
    return name[4] == 0;
}

}  // namespace

u32 TempFolderPath(WChar* buffer, u32 capacity) {
    const Module kernel32 = GetModuleHandleW(u"kernel32.dll");
    if (kernel32 != nullptr) {
        const auto tempPath2 =
            reinterpret_cast<GetTempPath2WProc>(GetProcAddress(kernel32, "GetTempPath2W"));
        if (tempPath2 != nullptr) return tempPath2(capacity, buffer);
    }
    return GetTempPathW(capacity, buffer);
}

bool PrivateFolderSddl(WChar* sddl) {
    Handle token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    u32 elevated = 0;
    alignas(8) u8 user[kTokenInfoBytes];
    alignas(8) u8 label[kTokenInfoBytes];
    u32 userBytes = 0;
    u32 labelBytes = 0;
    const bool read =
        GetTokenInformation(token, TokenElevation, &elevated, sizeof elevated, &labelBytes) &&
        GetTokenInformation(token, TokenUser, user, kTokenInfoBytes, &userBytes) &&
        GetTokenInformation(token, TokenIntegrityLevel, label, kTokenInfoBytes, &labelBytes);
    CloseHandle(token);
    if (!read || userBytes > kTokenInfoBytes || labelBytes > kTokenInfoBytes) return false;
    const u32 level = LastSubAuthority(label, label + labelBytes, SidOf(label));
    if (level == 0) return false;

    // Elevated, the user's other (unelevated) processes must not write where the elevated
    // installer runs from; SYSTEM keeps full control through its own entry.
    WChar* userText = nullptr;
    if (!ConvertSidToStringSidW(SidOf(user), &userText)) return false;
    const bool fits = StrictCopy(sddl, u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;") &&
                      StrictAppend(sddl, elevated != 0 ? u"FRFX;;;" : u"FA;;;") &&
                      StrictAppend(sddl, userText) && StrictAppend(sddl, u")");
    LocalFree(userText);
    if (!fits) return false;
    if (level >= SECURITY_MANDATORY_SYSTEM_RID) return StrictAppend(sddl, u"S:(ML;OICI;NW;;;SI)");
    if (level >= SECURITY_MANDATORY_HIGH_RID) return StrictAppend(sddl, u"S:(ML;OICI;NW;;;HI)");
    return true;
}

bool CreatePrivateFolder(const WChar* path, HeldFolder& folder) {
    folder.handle = INVALID_HANDLE_VALUE;
    WChar sddl[kMaxPathChars];
    if (!PrivateFolderSddl(sddl)) return false;
    // The NT path: "\??\" for the "\\?\" prefix of the full path.
    WChar ntPath[kPrefixedPathChars];
    u32 length = 0;
    if (!PrefixedPath(ntPath, path, length)) return false;
    ntPath[1] = u'?';
    void* descriptor = nullptr;
    u32 descriptorBytes = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              &descriptorBytes)) {
        return false;
    }
    UnicodeString name = {static_cast<u16>(length * 2), static_cast<u16>(length * 2), ntPath};
    ObjectAttributes attributes = {sizeof(ObjectAttributes), nullptr, &name, OBJ_CASE_INSENSITIVE,
                                   descriptor, nullptr};
    IoStatusBlock io = {};
    Handle handle = INVALID_HANDLE_VALUE;
    const NtStatus status = NtCreateFile(
        &handle, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io, nullptr,
        FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
        FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    LocalFree(descriptor);
    if (status < 0) {
        SetLastError(RtlNtStatusToDosError(status));
        return false;
    }
    folder.handle = handle;
    // Made by this very call, so with the descriptor just given; a folder, not a link.
    if (io.Information != FILE_CREATED || !IdentifyFolder(folder)) {
        CloseHandle(handle);
        folder.handle = INVALID_HANDLE_VALUE;
        return false;
    }
    return true;
}

bool HoldFolder(const WChar* path, HeldFolder& folder) {
    folder.handle = CreateFileW(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder.handle == INVALID_HANDLE_VALUE) return false;
    if (!IdentifyFolder(folder)) {
        CloseHandle(folder.handle);
        folder.handle = INVALID_HANDLE_VALUE;
        return false;
    }
    return true;
}

bool IdentifyFolder(HeldFolder& folder) {
    ByHandleFileInformation info;
    if (!GetFileInformationByHandle(folder.handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            FILE_ATTRIBUTE_DIRECTORY) {
        return false;
    }
    WChar fileSystem[kMaxPathChars];
    if (!GetVolumeInformationByHandleW(folder.handle, nullptr, 0, nullptr, nullptr, nullptr,
                                       fileSystem, kMaxPathChars)) {
        return false;
    }
    folder.volume = info.dwVolumeSerialNumber;
    folder.wideIds = IsReFS(fileSystem) ? 1 : 0;
    folder.id[0] = (static_cast<u64>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    folder.id[1] = 0;
    return folder.wideIds == 0 || EntryFileId(folder.handle, true, folder.id);
}

bool EntryFileId(Handle entry, bool wide, u64* id) {
    id[1] = 0;
    if (wide) {
        alignas(8) u8 info[kFileIdInfoBytes];
        if (!GetFileInformationByHandleEx(entry, FileIdInfo, info, kFileIdInfoBytes)) return false;
        __builtin_memcpy(id, info + kFileIdInfoId, 16);
        return true;
    }
    IoStatusBlock io;
    return NtQueryInformationFile(entry, &io, id, 8, FileInternalInformation) >= 0;
}

bool PrefixedPath(WChar* out, const WChar* folder, u32& length) {
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

Handle OpenForDelete(const WChar* path, bool folder) {
    const u32 access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
                       (folder ? FILE_LIST_DIRECTORY : 0);
    return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

}  // namespace stub
