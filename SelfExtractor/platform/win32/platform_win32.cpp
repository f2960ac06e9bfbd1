// The platform layer over the real Windows API: each call forwards to the Windows function of the
// same name, translating the stub's records into the Windows ones where their shapes differ.
//
// kernel32 is the only library in the image's import table: the user32, shell32, shlwapi and ole32
// functions are bound at run time on first use (see "Run-time binding" below).
//
// platform.h comes first: <windows.h> defines many of its constant names as macros, so this file
// never names platform:: constants and calls the Windows functions with an explicit `::`.
#include "platform/platform.h"
#include "platform/win32/StubHeap.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <sddl.h>
#include <tlhelp32.h>
#include <winternl.h>

namespace {

using platform::u32;
using platform::WChar;

static_assert(sizeof(WChar) == sizeof(wchar_t), "UTF-16 units are wchar_t on Windows");
static_assert(sizeof(platform::Guid) == sizeof(GUID), "Guid mirrors GUID");
static_assert(sizeof(platform::Message) >= sizeof(MSG), "Message must hold a MSG");
static_assert(sizeof(u32) == sizeof(DWORD), "DWORD is 32 bits");
static_assert(sizeof(platform::i32) == sizeof(LONG), "LONG is 32 bits");
static_assert(sizeof(platform::Bool) == sizeof(BOOL), "BOOL is an int");
// FindData mirrors WIN32_FIND_DATAW: the find calls fill it in place.
static_assert(sizeof(platform::FindData) == sizeof(WIN32_FIND_DATAW), "FindData size");
static_assert(offsetof(platform::FindData, dwFileAttributes) ==
                  offsetof(WIN32_FIND_DATAW, dwFileAttributes), "FindData attributes");
static_assert(offsetof(platform::FindData, nFileSizeHigh) ==
                  offsetof(WIN32_FIND_DATAW, nFileSizeHigh), "FindData size high");
static_assert(offsetof(platform::FindData, nFileSizeLow) ==
                  offsetof(WIN32_FIND_DATAW, nFileSizeLow), "FindData size low");
static_assert(offsetof(platform::FindData, cFileName) == offsetof(WIN32_FIND_DATAW, cFileName),
              "FindData name");
static_assert(offsetof(platform::FindData, cAlternateFileName) ==
                  offsetof(WIN32_FIND_DATAW, cAlternateFileName), "FindData short name");

constexpr u32 kShellExecuteInfo32Size = 60;  // SHELLEXECUTEINFOW on 32-bit Windows
#if defined(__i386__)
static_assert(sizeof(SHELLEXECUTEINFOW) == kShellExecuteInfo32Size, "32-bit SHELLEXECUTEINFOW");
#endif

HANDLE gStubHeap;  // trivial global: set once by CreateStubHeap

const wchar_t* Wide(const WChar* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* Wide(WChar* text) { return reinterpret_cast<wchar_t*>(text); }
WIN32_FIND_DATAW* Wide(platform::FindData* found) {
    return reinterpret_cast<WIN32_FIND_DATAW*>(found);
}

// ---- Run-time binding -----------------------------------------------------------------------
// Every library in the import table is mapped by the loader before the entry point runs, and so
// are that library's own static imports (Wine's user32 imports version.dll, for one); the loader
// looks for those beside the executable first. A copy planted there would run before the loader
// hardening (SetDllDirectoryW, SetDefaultDllDirectories, the preload by full path) could narrow
// the search. So only kernel32 is imported, and each other library is loaded on the first call
// that needs it, by its full path in the system folder, never by bare name. Every stage runs
// after LoaderHardening, so every such load comes after the hardening too.
//
// Two threads may bind at once: the message pump binds user32 while the main thread binds
// shell32 or ole32 (and shell32 itself imports user32). That race is benign. The loader
// serialises LoadLibraryW and GetProcAddress; a library is mapped once per process, so every
// thread that loads it by the same full path gets the same module handle and the same procedure
// addresses; the caches are pointer-sized slots read and written atomically. At worst two threads
// both bind one procedure and store the same value; the second LoadLibraryW only raises the
// library's reference count, which does no harm since nothing is ever unloaded. A failed binding
// is not cached: the next call tries again.
//
// When the system folder cannot be read, the library cannot be loaded or the procedure is
// missing, the wrapper fails the way the real function fails, with the last error saying why, so
// the caller's own failure handling applies.

enum SystemLibrary : unsigned {
    kUser32, kShell32, kShlwapi, kOle32, kAdvapi32, kKernel32, kGdi32, kNtdll, kSystemLibraryCount
};

// kernel32 is in the list for the procedures older versions lack, ntdll for the calls kernel32
// does not offer: loading either by full path only finds the module already mapped.
const wchar_t* const kSystemLibraryNames[kSystemLibraryCount] = {
    L"user32.dll", L"shell32.dll", L"shlwapi.dll", L"ole32.dll", L"advapi32.dll", L"kernel32.dll",
    L"gdi32.dll", L"ntdll.dll",
};

enum BoundProcedure : unsigned {
    kShellExecuteExW,
    kCommandLineToArgvW,
    kPathAppendW,
    kCoCreateGuid,
    kStringFromGUID2,
    kGetMessageW,
    kTranslateMessage,
    kDispatchMessageW,
    kGetForegroundWindow,
    kOpenProcessToken,
    kGetTokenInformation,
    kConvertSidToStringSidW,
    kConvertStringSecurityDescriptorToSecurityDescriptorW,
    kGetFileInformationByHandleEx,
    kSetFileInformationByHandle,
    kQueryFullProcessImageNameW,
    kGetFinalPathNameByHandleW,
    kCompareStringOrdinal,
    kGetVolumeInformationByHandleW,
    kNtCreateFile,
    kNtQueryInformationFile,
    kRtlNtStatusToDosError,
    kRtlUpcaseUnicodeString,
    kGetProcessWindowStation,
    kGetUserObjectInformationW,
    kMessageBoxW,
    kRegisterClassExW,
    kCreateWindowExW,
    kDefWindowProcW,
    kDestroyWindow,
    kPostMessageW,
    kSendMessageW,
    kSetWindowTextW,
    kInvalidateRect,
    kBeginPaint,
    kEndPaint,
    kFillRect,
    kGetSysColorBrush,
    kSetTimer,
    kPostQuitMessage,
    kIsDialogMessageW,
    kEnableWindow,
    kSetProcessDPIAware,
    kGetDpiForSystem,
    kSystemParametersInfoW,
    kGetSystemMetrics,
    kLoadCursorW,
    kCreateFontIndirectW,
    kDeleteObject,
    kBoundProcedureCount
};

struct ProcedureSource {
    SystemLibrary library;
    const char* name;
};

const ProcedureSource kProcedureSources[kBoundProcedureCount] = {
    {kShell32, "ShellExecuteExW"}, {kShell32, "CommandLineToArgvW"},
    {kShlwapi, "PathAppendW"},
    {kOle32, "CoCreateGuid"},      {kOle32, "StringFromGUID2"},
    {kUser32, "GetMessageW"},      {kUser32, "TranslateMessage"},
    {kUser32, "DispatchMessageW"}, {kUser32, "GetForegroundWindow"},
    {kAdvapi32, "OpenProcessToken"}, {kAdvapi32, "GetTokenInformation"},
    {kAdvapi32, "ConvertSidToStringSidW"},
    {kAdvapi32, "ConvertStringSecurityDescriptorToSecurityDescriptorW"},
    {kKernel32, "GetFileInformationByHandleEx"}, {kKernel32, "SetFileInformationByHandle"},
    {kKernel32, "QueryFullProcessImageNameW"}, {kKernel32, "GetFinalPathNameByHandleW"},
    {kKernel32, "CompareStringOrdinal"},
    {kKernel32, "GetVolumeInformationByHandleW"},
    {kNtdll, "NtCreateFile"}, {kNtdll, "NtQueryInformationFile"}, {kNtdll, "RtlNtStatusToDosError"},
    {kNtdll, "RtlUpcaseUnicodeString"},
    {kUser32, "GetProcessWindowStation"},
    {kUser32, "GetUserObjectInformationW"},
    {kUser32, "MessageBoxW"},
    {kUser32, "RegisterClassExW"},
    {kUser32, "CreateWindowExW"},
    {kUser32, "DefWindowProcW"},
    {kUser32, "DestroyWindow"},
    {kUser32, "PostMessageW"},
    {kUser32, "SendMessageW"},
    {kUser32, "SetWindowTextW"},
    {kUser32, "InvalidateRect"},
    {kUser32, "BeginPaint"},
    {kUser32, "EndPaint"},
    {kUser32, "FillRect"},
    {kUser32, "GetSysColorBrush"},
    {kUser32, "SetTimer"},
    {kUser32, "PostQuitMessage"},
    {kUser32, "IsDialogMessageW"},
    {kUser32, "EnableWindow"},
    {kUser32, "SetProcessDPIAware"},
    {kUser32, "GetDpiForSystem"},
    {kUser32, "SystemParametersInfoW"},
    {kUser32, "GetSystemMetrics"},
    {kUser32, "LoadCursorW"},
    {kGdi32, "CreateFontIndirectW"},
    {kGdi32, "DeleteObject"},
};

// Procedures are cached as a plain function pointer type and cast to their own type on use.
using AnyProc = void (*)();

// Trivial globals: null until bound.
HMODULE gSystemLibraries[kSystemLibraryCount];
AnyProc gBoundProcedures[kBoundProcedureCount];

// The library's module, loaded from <system folder>\<name> on first use; null with the last error
// set when that fails.
HMODULE BindLibrary(SystemLibrary library) {
    HMODULE module = __atomic_load_n(&gSystemLibraries[library], __ATOMIC_ACQUIRE);
    if (module != nullptr) return module;

    wchar_t path[MAX_PATH];
    const UINT folderLength = ::GetSystemDirectoryW(path, MAX_PATH);
    if (folderLength == 0) return nullptr;  // last error set by the call
    const wchar_t* const name = kSystemLibraryNames[library];
    UINT nameLength = 0;
    while (name[nameLength] != 0) ++nameLength;
    // A result of MAX_PATH or more is the size the folder would need: never load from a cut path.
    if (folderLength >= MAX_PATH || nameLength >= MAX_PATH - folderLength - 1) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    path[folderLength] = L'\\';
    for (UINT i = 0; i <= nameLength; ++i) path[folderLength + 1 + i] = name[i];  // with its 0

    module = ::LoadLibraryW(path);
    if (module == nullptr) return nullptr;  // last error set by the load
    __atomic_store_n(&gSystemLibraries[library], module, __ATOMIC_RELEASE);
    return module;
}

// The procedure, bound on first use; null with a non-zero last error when it cannot be bound.
// One function for every procedure (the wrappers only cast its result), so that each wrapper
// costs a call and a cast.
__attribute__((noinline)) AnyProc BindProcedure(BoundProcedure which) {
    AnyProc procedure = __atomic_load_n(&gBoundProcedures[which], __ATOMIC_ACQUIRE);
    if (procedure == nullptr) {
        const ProcedureSource& source = kProcedureSources[which];
        const HMODULE module = BindLibrary(source.library);
        if (module == nullptr) {
            if (::GetLastError() == ERROR_SUCCESS) ::SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        procedure = reinterpret_cast<AnyProc>(::GetProcAddress(module, source.name));
        if (procedure == nullptr) {
            ::SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        __atomic_store_n(&gBoundProcedures[which], procedure, __ATOMIC_RELEASE);
    }
    return procedure;
}

template <typename Proc>
inline Proc Bind(BoundProcedure which) {
    return reinterpret_cast<Proc>(BindProcedure(which));
}

// The non-zero last error of a failed binding, for the wrappers that report failure by value.
u32 BindingError() {
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_PROC_NOT_FOUND;
}

// The procedures' own types, calling convention included (stdcall on 32-bit Windows); each is
// checked against the declaration in the Windows headers, so a wrong parameter list or
// convention does not compile. The headers' declarations are only inspected, never referenced.
using ShellExecuteExWProc = BOOL(WINAPI*)(SHELLEXECUTEINFOW* info);
using CommandLineToArgvWProc = LPWSTR*(WINAPI*)(LPCWSTR commandLine, int* count);
using PathAppendWProc = BOOL(WINAPI*)(LPWSTR path, LPCWSTR more);
using CoCreateGuidProc = HRESULT(WINAPI*)(GUID* guid);
using StringFromGUID2Proc = int(WINAPI*)(REFGUID guid, LPOLESTR out, int capacity);
using GetMessageWProc = BOOL(WINAPI*)(LPMSG message, HWND window, UINT filterMin, UINT filterMax);
using TranslateMessageProc = BOOL(WINAPI*)(const MSG* message);
using DispatchMessageWProc = LRESULT(WINAPI*)(const MSG* message);
using GetForegroundWindowProc = HWND(WINAPI*)();
using OpenProcessTokenProc = BOOL(WINAPI*)(HANDLE process, DWORD access, HANDLE* token);
using GetTokenInformationProc = BOOL(WINAPI*)(HANDLE token, TOKEN_INFORMATION_CLASS infoClass,
                                              LPVOID info, DWORD bytes, DWORD* returned);
using ConvertSidToStringSidWProc = BOOL(WINAPI*)(PSID sid, LPWSTR* text);
using ConvertStringSecurityDescriptorToSecurityDescriptorWProc =
    BOOL(WINAPI*)(LPCWSTR sddl, DWORD revision, PSECURITY_DESCRIPTOR* descriptor, PULONG bytes);
using GetFileInformationByHandleExProc = BOOL(WINAPI*)(HANDLE file,
                                                       FILE_INFO_BY_HANDLE_CLASS infoClass,
                                                       LPVOID buffer, DWORD bytes);
using QueryFullProcessImageNameWProc = BOOL(WINAPI*)(HANDLE process, DWORD flags, LPWSTR buffer,
                                                     PDWORD size);
using GetFinalPathNameByHandleWProc = DWORD(WINAPI*)(HANDLE file, LPWSTR buffer, DWORD capacity,
                                                     DWORD flags);
using CompareStringOrdinalProc = int(WINAPI*)(LPCWCH a, int aLength, LPCWCH b, int bLength,
                                              BOOL ignoreCase);
using SetFileInformationByHandleProc = BOOL(WINAPI*)(HANDLE file,
                                                     FILE_INFO_BY_HANDLE_CLASS infoClass,
                                                     LPVOID buffer, DWORD bytes);

template <typename A, typename B>
struct SameType {
    static constexpr bool value = false;
};
template <typename A>
struct SameType<A, A> {
    static constexpr bool value = true;
};

static_assert(SameType<ShellExecuteExWProc, decltype(&::ShellExecuteExW)>::value,
              "ShellExecuteExW");
static_assert(SameType<CommandLineToArgvWProc, decltype(&::CommandLineToArgvW)>::value,
              "CommandLineToArgvW");
static_assert(SameType<PathAppendWProc, decltype(&::PathAppendW)>::value, "PathAppendW");
static_assert(SameType<CoCreateGuidProc, decltype(&::CoCreateGuid)>::value, "CoCreateGuid");
static_assert(SameType<StringFromGUID2Proc, decltype(&::StringFromGUID2)>::value,
              "StringFromGUID2");
static_assert(SameType<GetMessageWProc, decltype(&::GetMessageW)>::value, "GetMessageW");
static_assert(SameType<TranslateMessageProc, decltype(&::TranslateMessage)>::value,
              "TranslateMessage");
static_assert(SameType<DispatchMessageWProc, decltype(&::DispatchMessageW)>::value,
              "DispatchMessageW");
static_assert(SameType<GetForegroundWindowProc, decltype(&::GetForegroundWindow)>::value,
              "GetForegroundWindow");
static_assert(SameType<OpenProcessTokenProc, decltype(&::OpenProcessToken)>::value,
              "OpenProcessToken");
static_assert(SameType<GetTokenInformationProc, decltype(&::GetTokenInformation)>::value,
              "GetTokenInformation");
static_assert(SameType<ConvertSidToStringSidWProc, decltype(&::ConvertSidToStringSidW)>::value,
              "ConvertSidToStringSidW");
static_assert(SameType<ConvertStringSecurityDescriptorToSecurityDescriptorWProc,
                       decltype(&::ConvertStringSecurityDescriptorToSecurityDescriptorW)>::value,
              "ConvertStringSecurityDescriptorToSecurityDescriptorW");
static_assert(SameType<GetFileInformationByHandleExProc,
                       decltype(&::GetFileInformationByHandleEx)>::value,
              "GetFileInformationByHandleEx");
static_assert(SameType<SetFileInformationByHandleProc,
                       decltype(&::SetFileInformationByHandle)>::value,
              "SetFileInformationByHandle");
static_assert(SameType<QueryFullProcessImageNameWProc,
                       decltype(&::QueryFullProcessImageNameW)>::value,
              "QueryFullProcessImageNameW");
static_assert(SameType<GetFinalPathNameByHandleWProc, decltype(&::GetFinalPathNameByHandleW)>::value,
              "GetFinalPathNameByHandleW");
static_assert(SameType<CompareStringOrdinalProc, decltype(&::CompareStringOrdinal)>::value,
              "CompareStringOrdinal");
static_assert(offsetof(FILE_ID_INFO, FileId) == platform::kFileIdInfoId &&
                  sizeof(FILE_ID_INFO) == platform::kFileIdInfoBytes,
              "FILE_ID_INFO");
static_assert(offsetof(FILE_ID_EXTD_DIR_INFO, FileAttributes) == platform::kDirInfoAttributes &&
                  offsetof(FILE_ID_EXTD_DIR_INFO, FileNameLength) == platform::kDirInfoNameBytes &&
                  offsetof(FILE_ID_EXTD_DIR_INFO, FileId) == platform::kExtdDirInfoFileId &&
                  offsetof(FILE_ID_EXTD_DIR_INFO, FileName) == platform::kExtdDirInfoName,
              "FILE_ID_EXTD_DIR_INFO");
static_assert(sizeof(platform::UnicodeString) == sizeof(UNICODE_STRING) &&
                  offsetof(platform::UnicodeString, Buffer) == offsetof(UNICODE_STRING, Buffer),
              "UNICODE_STRING");
static_assert(sizeof(platform::ObjectAttributes) == sizeof(OBJECT_ATTRIBUTES) &&
                  offsetof(platform::ObjectAttributes, ObjectName) ==
                      offsetof(OBJECT_ATTRIBUTES, ObjectName) &&
                  offsetof(platform::ObjectAttributes, SecurityDescriptor) ==
                      offsetof(OBJECT_ATTRIBUTES, SecurityDescriptor),
              "OBJECT_ATTRIBUTES");
static_assert(sizeof(platform::IoStatusBlock) == sizeof(IO_STATUS_BLOCK) &&
                  offsetof(platform::IoStatusBlock, Information) ==
                      offsetof(IO_STATUS_BLOCK, Information),
              "IO_STATUS_BLOCK");
static_assert(sizeof(platform::ProcessEntry) == sizeof(PROCESSENTRY32W) &&
                  offsetof(platform::ProcessEntry, szExeFile) == offsetof(PROCESSENTRY32W, szExeFile),
              "PROCESSENTRY32W");
static_assert(sizeof(platform::SECURITY_ATTRIBUTES) == sizeof(::SECURITY_ATTRIBUTES),
              "SECURITY_ATTRIBUTES");
static_assert(sizeof(platform::ByHandleFileInformation) == sizeof(BY_HANDLE_FILE_INFORMATION),
              "BY_HANDLE_FILE_INFORMATION");
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, FileAttributes) == platform::kDirInfoAttributes &&
                  offsetof(FILE_ID_BOTH_DIR_INFO, FileNameLength) == platform::kDirInfoNameBytes &&
                  offsetof(FILE_ID_BOTH_DIR_INFO, FileId) == platform::kDirInfoFileId &&
                  offsetof(FILE_ID_BOTH_DIR_INFO, FileName) == platform::kDirInfoName,
              "FILE_ID_BOTH_DIR_INFO");
static_assert(offsetof(FILE_BASIC_INFO, FileAttributes) == platform::kFileBasicInfoAttributes &&
                  sizeof(FILE_BASIC_INFO) == platform::kFileBasicInfoBytes,
              "FILE_BASIC_INFO");

// Message is byte-aligned storage; MSG is copied through a properly aligned local.
void StoreMessage(const MSG& from, platform::Message* to) {
    __builtin_memcpy(to->opaque, &from, sizeof(MSG));
}
MSG LoadMessage(const platform::Message* from) {
    MSG message;
    __builtin_memcpy(&message, from->opaque, sizeof(MSG));
    return message;
}

}  // namespace

namespace platform::win32 {

bool CreateStubHeap() {
    gStubHeap = ::HeapCreate(0, 0, 0);
    return gStubHeap != nullptr;
}

void* StubHeapHandle() { return gStubHeap; }

}  // namespace platform::win32

namespace platform {

// ---- kernel32: files ------------------------------------------------------------------------

Handle CreateFileW(const WChar* path, u32 access, u32 shareMode, SECURITY_ATTRIBUTES* security,
                   u32 disposition, u32 flagsAndAttributes, Handle templateFile) {
    return ::CreateFileW(Wide(path), access, shareMode,
                         reinterpret_cast<::LPSECURITY_ATTRIBUTES>(security), disposition,
                         flagsAndAttributes, templateFile);
}

Bool ReadFile(Handle file, void* buffer, u32 toRead, u32* read, void* overlapped) {
    return ::ReadFile(file, buffer, toRead, reinterpret_cast<DWORD*>(read),
                      static_cast<LPOVERLAPPED>(overlapped));
}

Bool WriteFile(Handle file, const void* buffer, u32 toWrite, u32* written, void* overlapped) {
    return ::WriteFile(file, buffer, toWrite, reinterpret_cast<DWORD*>(written),
                       static_cast<LPOVERLAPPED>(overlapped));
}

u32 SetFilePointer(Handle file, i32 distanceLow, i32* distanceHigh, u32 moveMethod) {
    return ::SetFilePointer(file, distanceLow, reinterpret_cast<LONG*>(distanceHigh), moveMethod);
}

Bool CloseHandle(Handle object) { return ::CloseHandle(object); }

Bool DeleteFileW(const WChar* path) { return ::DeleteFileW(Wide(path)); }

Bool CopyFileW(const WChar* from, const WChar* to, Bool failIfExists) {
    return ::CopyFileW(Wide(from), Wide(to), failIfExists);
}

u32 GetFileAttributesW(const WChar* path) { return ::GetFileAttributesW(Wide(path)); }

Bool SetFileAttributesW(const WChar* path, u32 attributes) {
    return ::SetFileAttributesW(Wide(path), attributes);
}

Handle FindFirstFileW(const WChar* pattern, FindData* found) {
    return ::FindFirstFileW(Wide(pattern), Wide(found));
}

Handle FindFirstFileExW(const WChar* pattern, u32 infoLevel, FindData* found, u32 searchOp,
                        void* searchFilter, u32 additionalFlags) {
    return ::FindFirstFileExW(Wide(pattern), static_cast<FINDEX_INFO_LEVELS>(infoLevel),
                              Wide(found), static_cast<FINDEX_SEARCH_OPS>(searchOp), searchFilter,
                              additionalFlags);
}

Bool FindNextFileW(Handle find, FindData* found) { return ::FindNextFileW(find, Wide(found)); }

Bool FindClose(Handle find) { return ::FindClose(find); }

// ---- kernel32: directories ------------------------------------------------------------------

Bool CreateDirectoryW(const WChar* path, SECURITY_ATTRIBUTES* security) {
    return ::CreateDirectoryW(Wide(path), reinterpret_cast<::LPSECURITY_ATTRIBUTES>(security));
}

Bool RemoveDirectoryW(const WChar* path) { return ::RemoveDirectoryW(Wide(path)); }

u32 GetTempPathW(u32 capacity, WChar* buffer) { return ::GetTempPathW(capacity, Wide(buffer)); }

u32 GetTempFileNameW(const WChar* folder, const WChar* prefix, u32 unique, WChar* out) {
    return ::GetTempFileNameW(Wide(folder), Wide(prefix), unique, Wide(out));
}

u32 GetSystemDirectoryW(WChar* buffer, u32 capacity) {
    return ::GetSystemDirectoryW(Wide(buffer), capacity);
}

// ---- kernel32: modules ----------------------------------------------------------------------

u32 GetModuleFileNameW(Module module, WChar* buffer, u32 capacity) {
    return ::GetModuleFileNameW(static_cast<HMODULE>(module), Wide(buffer), capacity);
}

Module GetModuleHandleW(const WChar* name) { return ::GetModuleHandleW(Wide(name)); }

FarProc GetProcAddress(Module module, const char* name) {
    return reinterpret_cast<FarProc>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

Module LoadLibraryW(const WChar* path) { return ::LoadLibraryW(Wide(path)); }

ResourceInfo FindResourceW(Module module, const WChar* name, const WChar* type) {
    return ::FindResourceW(static_cast<HMODULE>(module), Wide(name), Wide(type));
}

Handle LoadResource(Module module, ResourceInfo resource) {
    return ::LoadResource(static_cast<HMODULE>(module), static_cast<HRSRC>(resource));
}

const void* LockResource(Handle loaded) { return ::LockResource(loaded); }

u32 SizeofResource(Module module, ResourceInfo resource) {
    return ::SizeofResource(static_cast<HMODULE>(module), static_cast<HRSRC>(resource));
}

// ---- kernel32: processes and threads --------------------------------------------------------

Handle CreateThread(SECURITY_ATTRIBUTES* security, size_t stackSize, ThreadProc start,
                    void* parameter, u32 flags, u32* threadId) {
    // Same calling convention and ABI; only the return type's spelling differs (u32 vs DWORD).
    auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void (*)()>(start));
    return ::CreateThread(reinterpret_cast<::LPSECURITY_ATTRIBUTES>(security), stackSize, routine,
                          parameter, flags, reinterpret_cast<DWORD*>(threadId));
}

u32 WaitForSingleObject(Handle object, u32 milliseconds) {
    return ::WaitForSingleObject(object, milliseconds);
}

Handle CreateEventW(SECURITY_ATTRIBUTES* security, Bool manualReset, Bool initialState, const WChar* name) {
    return ::CreateEventW(reinterpret_cast<::LPSECURITY_ATTRIBUTES>(security), manualReset, initialState, Wide(name));
}

Bool SetEvent(Handle event) { return ::SetEvent(event); }

// ---- processors (parallel unpacking) ----------------------------------------------------------

static_assert(sizeof(SystemInfo) == sizeof(SYSTEM_INFO), "SystemInfo mirrors SYSTEM_INFO");
static_assert(offsetof(SystemInfo, dwNumberOfProcessors) == offsetof(SYSTEM_INFO, dwNumberOfProcessors),
              "SystemInfo processors");

void GetSystemInfo(SystemInfo* info) { ::GetSystemInfo(reinterpret_cast<SYSTEM_INFO*>(info)); }

// ---- the run's log and the free space ---------------------------------------------------------

static_assert(sizeof(SystemTime) == sizeof(SYSTEMTIME), "SystemTime mirrors SYSTEMTIME");
static_assert(sizeof(u64) == sizeof(ULARGE_INTEGER), "u64 stands for ULARGE_INTEGER");

u32 GetEnvironmentVariableW(const WChar* name, WChar* buffer, u32 capacity) {
    return ::GetEnvironmentVariableW(Wide(name), Wide(buffer), capacity);
}

void GetSystemTime(SystemTime* time) { ::GetSystemTime(reinterpret_cast<SYSTEMTIME*>(time)); }

u32 FormatMessageW(u32 flags, const void* source, u32 messageId, u32 languageId, WChar* buffer,
                   u32 capacity, void* arguments) {
    return ::FormatMessageW(flags, source, messageId, languageId, Wide(buffer), capacity,
                            static_cast<va_list*>(arguments));
}

Bool GetDiskFreeSpaceExW(const WChar* folder, u64* freeToCaller, u64* total, u64* totalFree) {
    return ::GetDiskFreeSpaceExW(Wide(folder), reinterpret_cast<ULARGE_INTEGER*>(freeToCaller),
                                 reinterpret_cast<ULARGE_INTEGER*>(total),
                                 reinterpret_cast<ULARGE_INTEGER*>(totalFree));
}

Bool GetDiskFreeSpaceW(const WChar* folder, u32* sectorsPerCluster, u32* bytesPerSector,
                       u32* freeClusters, u32* totalClusters) {
    return ::GetDiskFreeSpaceW(Wide(folder), reinterpret_cast<DWORD*>(sectorsPerCluster),
                               reinterpret_cast<DWORD*>(bytesPerSector),
                               reinterpret_cast<DWORD*>(freeClusters),
                               reinterpret_cast<DWORD*>(totalClusters));
}

Bool GetExitCodeProcess(Handle process, u32* exitCode) {
    return ::GetExitCodeProcess(process, reinterpret_cast<DWORD*>(exitCode));
}

void ExitProcess(u32 exitCode) { ::ExitProcess(exitCode); }

// ---- kernel32: heaps, command line, text, errors ------------------------------------------------

Handle GetProcessHeap() { return ::GetProcessHeap(); }

void* HeapAlloc(Handle heap, u32 flags, size_t bytes) { return ::HeapAlloc(heap, flags, bytes); }

Bool HeapFree(Handle heap, u32 flags, void* block) { return ::HeapFree(heap, flags, block); }

WChar* GetCommandLineW() { return reinterpret_cast<WChar*>(::GetCommandLineW()); }

i32 MultiByteToWideChar(u32 codePage, u32 flags, const char* bytes, i32 byteCount, WChar* out,
                        i32 capacity) {
    return ::MultiByteToWideChar(codePage, flags, bytes, byteCount, Wide(out), capacity);
}

u32 GetLastError() { return ::GetLastError(); }
void SetLastError(u32 error) { ::SetLastError(error); }

void* StubHeapAlloc(size_t bytes) {
    if (gStubHeap == nullptr) return nullptr;
    return ::HeapAlloc(gStubHeap, 0, bytes);
}

void StubHeapFree(void* block) {
    if (block == nullptr || gStubHeap == nullptr) return;
    ::HeapFree(gStubHeap, 0, block);
}

// ---- kernel32: files and folders by handle ---------------------------------------------------

Bool GetFileInformationByHandle(Handle file, ByHandleFileInformation* info) {
    return ::GetFileInformationByHandle(file, reinterpret_cast<BY_HANDLE_FILE_INFORMATION*>(info));
}

Bool GetFileInformationByHandleEx(Handle file, u32 infoClass, void* buffer, u32 bytes) {
    const auto getInfo = Bind<GetFileInformationByHandleExProc>(kGetFileInformationByHandleEx);
    if (getInfo == nullptr) return FALSE;  // last error set by the binding
    return getInfo(file, static_cast<FILE_INFO_BY_HANDLE_CLASS>(infoClass), buffer, bytes);
}

Bool SetFileInformationByHandle(Handle file, u32 infoClass, const void* buffer, u32 bytes) {
    const auto setInfo = Bind<SetFileInformationByHandleProc>(kSetFileInformationByHandle);
    if (setInfo == nullptr) return FALSE;
    return setInfo(file, static_cast<FILE_INFO_BY_HANDLE_CLASS>(infoClass),
                   const_cast<void*>(buffer), bytes);
}

u32 GetFullPathNameW(const WChar* path, u32 capacity, WChar* buffer, WChar** filePart) {
    return ::GetFullPathNameW(Wide(path), capacity, Wide(buffer),
                              reinterpret_cast<wchar_t**>(filePart));
}

u32 GetLongPathNameW(const WChar* path, WChar* buffer, u32 capacity) {
    return ::GetLongPathNameW(Wide(path), Wide(buffer), capacity);
}

Bool GetVolumeInformationByHandleW(Handle file, WChar* volumeName, u32 volumeNameCapacity,
                                   u32* serialNumber, u32* maxComponentLength, u32* flags,
                                   WChar* fileSystemName, u32 fileSystemNameCapacity) {
    const auto query = Bind<decltype(&::GetVolumeInformationByHandleW)>(
        kGetVolumeInformationByHandleW);
    if (query == nullptr) return FALSE;
    return query(file, Wide(volumeName), volumeNameCapacity, reinterpret_cast<DWORD*>(serialNumber),
                 reinterpret_cast<DWORD*>(maxComponentLength), reinterpret_cast<DWORD*>(flags),
                 Wide(fileSystemName), fileSystemNameCapacity);
}

// ---- ntdll: bound at run time ---------------------------------------------------------------------

NtStatus NtCreateFile(Handle* file, u32 access, ObjectAttributes* attributes, IoStatusBlock* io,
                      i64* allocationSize, u32 fileAttributes, u32 shareAccess, u32 disposition,
                      u32 options, void* eaBuffer, u32 eaLength) {
    const auto create = Bind<decltype(&::NtCreateFile)>(kNtCreateFile);
    if (create == nullptr) return STATUS_UNSUCCESSFUL;
    return create(file, access, reinterpret_cast<OBJECT_ATTRIBUTES*>(attributes),
                  reinterpret_cast<IO_STATUS_BLOCK*>(io), reinterpret_cast<LARGE_INTEGER*>(allocationSize),
                  fileAttributes, shareAccess, disposition, options, eaBuffer, eaLength);
}

NtStatus NtQueryInformationFile(Handle file, IoStatusBlock* io, void* info, u32 bytes,
                                u32 infoClass) {
    const auto query = Bind<decltype(&::NtQueryInformationFile)>(kNtQueryInformationFile);
    if (query == nullptr) return STATUS_UNSUCCESSFUL;
    return query(file, reinterpret_cast<IO_STATUS_BLOCK*>(io), info, bytes,
                 static_cast<FILE_INFORMATION_CLASS>(infoClass));
}

u32 RtlNtStatusToDosError(NtStatus status) {
    const auto convert = Bind<decltype(&::RtlNtStatusToDosError)>(kRtlNtStatusToDosError);
    if (convert == nullptr) return ERROR_MR_MID_NOT_FOUND;
    return convert(status);
}

NtStatus RtlUpcaseUnicodeString(UnicodeString* out, const UnicodeString* in, u8 allocate) {
    // Declared only in the driver kit's headers.
    using Proc = LONG(NTAPI*)(UNICODE_STRING * out, const UNICODE_STRING* in, BOOLEAN allocate);
    const auto upcase = Bind<Proc>(kRtlUpcaseUnicodeString);
    if (upcase == nullptr) return STATUS_UNSUCCESSFUL;
    return upcase(reinterpret_cast<UNICODE_STRING*>(out), reinterpret_cast<const UNICODE_STRING*>(in), allocate);
}

// ---- kernel32: other processes, jobs, time ------------------------------------------------------

Handle CreateToolhelp32Snapshot(u32 flags, u32 processId) {
    return ::CreateToolhelp32Snapshot(flags, processId);
}

Bool Process32FirstW(Handle snapshot, ProcessEntry* entry) {
    return ::Process32FirstW(snapshot, reinterpret_cast<PROCESSENTRY32W*>(entry));
}

Bool Process32NextW(Handle snapshot, ProcessEntry* entry) {
    return ::Process32NextW(snapshot, reinterpret_cast<PROCESSENTRY32W*>(entry));
}

Handle OpenProcess(u32 access, Bool inherit, u32 processId) {
    return ::OpenProcess(access, inherit, processId);
}

u32 GetCurrentProcessId() { return ::GetCurrentProcessId(); }

u32 WaitForMultipleObjects(u32 count, const Handle* handles, Bool all, u32 milliseconds) {
    return ::WaitForMultipleObjects(count, handles, all, milliseconds);
}

u32 GetTickCount() { return ::GetTickCount(); }

Handle CreateJobObjectW(SECURITY_ATTRIBUTES* security, const WChar* name) {
    return ::CreateJobObjectW(reinterpret_cast<::LPSECURITY_ATTRIBUTES>(security), Wide(name));
}

Bool AssignProcessToJobObject(Handle job, Handle process) {
    return ::AssignProcessToJobObject(job, process);
}

Bool QueryInformationJobObject(Handle job, u32 infoClass, void* info, u32 bytes, u32* returned) {
    return ::QueryInformationJobObject(job, static_cast<JOBOBJECTINFOCLASS>(infoClass), info, bytes,
                                       reinterpret_cast<DWORD*>(returned));
}

Bool QueryFullProcessImageNameW(Handle process, u32 flags, WChar* buffer, u32* size) {
    const auto query = Bind<QueryFullProcessImageNameWProc>(kQueryFullProcessImageNameW);
    if (query == nullptr) return FALSE;
    return query(process, flags, Wide(buffer), reinterpret_cast<DWORD*>(size));
}

u32 GetFinalPathNameByHandleW(Handle file, WChar* buffer, u32 capacity, u32 flags) {
    const auto finalPath = Bind<GetFinalPathNameByHandleWProc>(kGetFinalPathNameByHandleW);
    if (finalPath == nullptr) return 0;
    return finalPath(file, Wide(buffer), capacity, flags);
}

i32 CompareStringOrdinal(const WChar* a, i32 aLength, const WChar* b, i32 bLength, Bool ignoreCase) {
    const auto compare = Bind<CompareStringOrdinalProc>(kCompareStringOrdinal);
    if (compare == nullptr) return 0;
    return compare(Wide(a), aLength, Wide(b), bLength, ignoreCase);
}

// ---- advapi32: bound at run time ----------------------------------------------------------------

Handle GetCurrentProcess() { return ::GetCurrentProcess(); }

Bool OpenProcessToken(Handle process, u32 access, Handle* token) {
    const auto openToken = Bind<OpenProcessTokenProc>(kOpenProcessToken);
    if (openToken == nullptr) return FALSE;
    return openToken(process, access, token);
}

Bool GetTokenInformation(Handle token, u32 infoClass, void* info, u32 bytes, u32* returned) {
    const auto getInfo = Bind<GetTokenInformationProc>(kGetTokenInformation);
    if (getInfo == nullptr) return FALSE;
    return getInfo(token, static_cast<TOKEN_INFORMATION_CLASS>(infoClass), info, bytes,
                   reinterpret_cast<DWORD*>(returned));
}

Bool ConvertSidToStringSidW(const void* sid, WChar** text) {
    const auto convert = Bind<ConvertSidToStringSidWProc>(kConvertSidToStringSidW);
    if (convert == nullptr) return FALSE;
    return convert(const_cast<void*>(sid), reinterpret_cast<wchar_t**>(text));
}

Bool ConvertStringSecurityDescriptorToSecurityDescriptorW(const WChar* sddl, u32 revision,
                                                          void** descriptor, u32* bytes) {
    const auto convert = Bind<ConvertStringSecurityDescriptorToSecurityDescriptorWProc>(
        kConvertStringSecurityDescriptorToSecurityDescriptorW);
    if (convert == nullptr) return FALSE;
    return convert(Wide(sddl), revision, descriptor, reinterpret_cast<ULONG*>(bytes));
}

void* LocalFree(void* block) { return ::LocalFree(block); }

// ---- shell32, shlwapi, ole32, user32: bound at run time ---------------------------------------

Bool ShellExecuteExW(ShellExecuteInfo* info) {
    info->hProcess = nullptr;
    // The stub states the size of the 32-bit record on every build; the 64-bit twin's real record
    // is larger, and is built here with its own size. Any other size is refused, as Windows
    // refuses an unknown cbSize.
    if (info->cbSize != kShellExecuteInfo32Size && info->cbSize != sizeof(SHELLEXECUTEINFOW)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto shellExecuteEx = Bind<ShellExecuteExWProc>(kShellExecuteExW);
    if (shellExecuteEx == nullptr) return FALSE;  // last error set by the binding
    SHELLEXECUTEINFOW real;
    __builtin_memset(&real, 0, sizeof(real));
    real.cbSize = sizeof(SHELLEXECUTEINFOW);
    real.fMask = info->fMask;
    real.hwnd = static_cast<HWND>(info->hwnd);
    real.lpVerb = Wide(info->lpVerb);
    real.lpFile = Wide(info->lpFile);
    real.lpParameters = Wide(info->lpParameters);
    real.lpDirectory = Wide(info->lpDirectory);
    real.nShow = info->nShow;
    const BOOL started = shellExecuteEx(&real);
    info->hProcess = real.hProcess;
    return started;
}

WChar** CommandLineToArgvW(const WChar* commandLine, i32* count) {
    const auto toArgv = Bind<CommandLineToArgvWProc>(kCommandLineToArgvW);
    if (toArgv == nullptr) return nullptr;  // last error set by the binding
    return reinterpret_cast<WChar**>(toArgv(Wide(commandLine), count));
}

Bool PathAppendW(WChar* path, const WChar* more) {
    const auto pathAppend = Bind<PathAppendWProc>(kPathAppendW);
    if (pathAppend == nullptr) return FALSE;
    return pathAppend(Wide(path), Wide(more));
}

HResult CoCreateGuid(Guid* guid) {
    const auto createGuid = Bind<CoCreateGuidProc>(kCoCreateGuid);
    if (createGuid == nullptr) return HRESULT_FROM_WIN32(BindingError());  // negative
    GUID real;
    const HRESULT result = createGuid(&real);
    if (FAILED(result)) return result;
    guid->Data1 = real.Data1;
    guid->Data2 = real.Data2;
    guid->Data3 = real.Data3;
    for (int i = 0; i < 8; ++i) guid->Data4[i] = real.Data4[i];
    return result;
}

i32 StringFromGUID2(const Guid& guid, WChar* out, i32 capacity) {
    const auto fromGuid = Bind<StringFromGUID2Proc>(kStringFromGUID2);
    if (fromGuid == nullptr) return 0;
    GUID real;
    real.Data1 = guid.Data1;
    real.Data2 = guid.Data2;
    real.Data3 = guid.Data3;
    for (int i = 0; i < 8; ++i) real.Data4[i] = guid.Data4[i];
    return fromGuid(real, Wide(out), capacity);
}

Bool GetMessageW(Message* message, Window window, u32 filterMin, u32 filterMax) {
    const auto getMessage = Bind<GetMessageWProc>(kGetMessageW);
    if (getMessage == nullptr) return -1;  // the pump's loop ends on it
    MSG real;
    const BOOL result = getMessage(&real, static_cast<HWND>(window), filterMin, filterMax);
    if (result != -1) StoreMessage(real, message);
    return result;
}

Bool TranslateMessage(const Message* message) {
    const auto translateMessage = Bind<TranslateMessageProc>(kTranslateMessage);
    if (translateMessage == nullptr) return FALSE;
    const MSG real = LoadMessage(message);
    return translateMessage(&real);
}

intptr_t DispatchMessageW(const Message* message) {
    const auto dispatchMessage = Bind<DispatchMessageWProc>(kDispatchMessageW);
    if (dispatchMessage == nullptr) return 0;
    const MSG real = LoadMessage(message);
    return dispatchMessage(&real);
}

Window GetForegroundWindow() {
    const auto foregroundWindow = Bind<GetForegroundWindowProc>(kGetForegroundWindow);
    if (foregroundWindow == nullptr) return nullptr;
    return foregroundWindow();
}

// ---- user32 and gdi32: bound at run time --------------------------------------------------------
// The procedures' types are the Windows headers' own declarations (inspected, never referenced).

static_assert(sizeof(platform::WindowClass) == sizeof(WNDCLASSEXW), "WNDCLASSEXW");
static_assert(sizeof(platform::PaintStruct) == sizeof(PAINTSTRUCT), "PAINTSTRUCT");
static_assert(sizeof(platform::Rect) == sizeof(RECT), "RECT");
static_assert(offsetof(NONCLIENTMETRICSW, lfMessageFont) == platform::kNonClientMessageFont &&
                  sizeof(NONCLIENTMETRICSW) == platform::kNonClientMetricsBytes,
              "NONCLIENTMETRICSW");

#define SFX_BOUND(name, failed, ...)                                   \
    const auto bound = Bind<decltype(&::name)>(k##name);               \
    if (bound == nullptr) return failed;                               \
    return bound(__VA_ARGS__)

Handle GetProcessWindowStation() { SFX_BOUND(GetProcessWindowStation, nullptr); }

Bool GetUserObjectInformationW(Handle object, i32 index, void* info, u32 bytes, u32* needed) {
    SFX_BOUND(GetUserObjectInformationW, FALSE, object, index, info, bytes,
              reinterpret_cast<DWORD*>(needed));
}

i32 MessageBoxW(Window owner, const WChar* text, const WChar* caption, u32 type) {
    SFX_BOUND(MessageBoxW, 0, static_cast<HWND>(owner), Wide(text), Wide(caption), type);
}

u16 RegisterClassExW(const WindowClass* windowClass) {
    SFX_BOUND(RegisterClassExW, 0, reinterpret_cast<const WNDCLASSEXW*>(windowClass));
}

Window CreateWindowExW(u32 exStyle, const WChar* className, const WChar* text, u32 style, i32 x,
                       i32 y, i32 width, i32 height, Window parent, uintptr_t id, Module instance,
                       void* parameter) {
    SFX_BOUND(CreateWindowExW, nullptr, exStyle, Wide(className), Wide(text), style, x, y, width,
              height, static_cast<HWND>(parent), reinterpret_cast<HMENU>(id),
              static_cast<HINSTANCE>(instance), parameter);
}

intptr_t DefWindowProcW(Window window, u32 message, uintptr_t wParam, intptr_t lParam) {
    SFX_BOUND(DefWindowProcW, 0, static_cast<HWND>(window), message, wParam, lParam);
}

Bool DestroyWindow(Window window) { SFX_BOUND(DestroyWindow, FALSE, static_cast<HWND>(window)); }

Bool PostMessageW(Window window, u32 message, uintptr_t wParam, intptr_t lParam) {
    SFX_BOUND(PostMessageW, FALSE, static_cast<HWND>(window), message, wParam, lParam);
}

intptr_t SendMessageW(Window window, u32 message, uintptr_t wParam, intptr_t lParam) {
    SFX_BOUND(SendMessageW, 0, static_cast<HWND>(window), message, wParam, lParam);
}

Bool SetWindowTextW(Window window, const WChar* text) {
    SFX_BOUND(SetWindowTextW, FALSE, static_cast<HWND>(window), Wide(text));
}

Bool InvalidateRect(Window window, const Rect* rect, Bool erase) {
    SFX_BOUND(InvalidateRect, FALSE, static_cast<HWND>(window), reinterpret_cast<const RECT*>(rect),
              erase);
}

Handle BeginPaint(Window window, PaintStruct* paint) {
    SFX_BOUND(BeginPaint, nullptr, static_cast<HWND>(window), reinterpret_cast<PAINTSTRUCT*>(paint));
}

Bool EndPaint(Window window, const PaintStruct* paint) {
    SFX_BOUND(EndPaint, FALSE, static_cast<HWND>(window), reinterpret_cast<const PAINTSTRUCT*>(paint));
}

i32 FillRect(Handle dc, const Rect* rect, Handle brush) {
    SFX_BOUND(FillRect, 0, static_cast<HDC>(dc), reinterpret_cast<const RECT*>(rect),
              static_cast<HBRUSH>(brush));
}

Handle GetSysColorBrush(i32 index) { SFX_BOUND(GetSysColorBrush, nullptr, index); }

uintptr_t SetTimer(Window window, uintptr_t id, u32 milliseconds, void* callback) {
    SFX_BOUND(SetTimer, 0, static_cast<HWND>(window), id, milliseconds,
              reinterpret_cast<TIMERPROC>(callback));
}

void PostQuitMessage(i32 code) {
    const auto bound = Bind<decltype(&::PostQuitMessage)>(kPostQuitMessage);
    if (bound != nullptr) bound(code);
}

Bool IsDialogMessageW(Window dialog, Message* message) {
    MSG real = LoadMessage(message);
    SFX_BOUND(IsDialogMessageW, FALSE, static_cast<HWND>(dialog), &real);
}

Bool EnableWindow(Window window, Bool enable) {
    SFX_BOUND(EnableWindow, FALSE, static_cast<HWND>(window), enable);
}

Bool SetProcessDPIAware() { SFX_BOUND(SetProcessDPIAware, FALSE); }

u32 GetDpiForSystem() {
    using Proc = UINT(WINAPI*)();  // Windows 10 1607 and later: not in every header
    const auto bound = Bind<Proc>(kGetDpiForSystem);
    return bound != nullptr ? bound() : 0;
}

Bool SystemParametersInfoW(u32 action, u32 uParam, void* pvParam, u32 winIni) {
    SFX_BOUND(SystemParametersInfoW, FALSE, action, uParam, pvParam, winIni);
}

i32 GetSystemMetrics(i32 index) { SFX_BOUND(GetSystemMetrics, 0, index); }

Handle LoadCursorW(Module instance, const WChar* name) {
    SFX_BOUND(LoadCursorW, nullptr, static_cast<HINSTANCE>(instance), Wide(name));
}

Handle CreateFontIndirectW(const void* logFont) {
    SFX_BOUND(CreateFontIndirectW, nullptr, static_cast<const LOGFONTW*>(logFont));
}

Bool DeleteObject(Handle object) { SFX_BOUND(DeleteObject, FALSE, static_cast<HGDIOBJ>(object)); }

#undef SFX_BOUND

}  // namespace platform
