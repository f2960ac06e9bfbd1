#include "staging/PrivateFolder.h"

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
    void* descriptor = nullptr;
    u32 descriptorBytes = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              &descriptorBytes)) {
        return false;
    }
    SECURITY_ATTRIBUTES security = {sizeof(SECURITY_ATTRIBUTES), descriptor, 0};
    const Bool created = CreateDirectoryW(path, &security);
    LocalFree(descriptor);
    return created && HoldFolder(path, folder);
}

bool HoldFolder(const WChar* path, HeldFolder& folder) {
    folder.handle = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder.handle == INVALID_HANDLE_VALUE) return false;
    ByHandleFileInformation info;
    if (!GetFileInformationByHandle(folder.handle, &info)) {
        CloseHandle(folder.handle);
        folder.handle = INVALID_HANDLE_VALUE;
        return false;
    }
    folder.volume = info.dwVolumeSerialNumber;
    folder.idHigh = info.nFileIndexHigh;
    folder.idLow = info.nFileIndexLow;
    return true;
}

Handle OpenForDelete(const WChar* path, bool folder) {
    const u32 access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
                       (folder ? FILE_LIST_DIRECTORY : 0);
    return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

}  // namespace stub
