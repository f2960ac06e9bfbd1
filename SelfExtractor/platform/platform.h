// The stub's only door to the operating system.
//
// Every OS call the stub makes is declared here under its Windows name and with its Windows shape,
// in namespace `platform`, over the stub's own types (UTF-16 as char16_t). Two backends implement
// it: win32/ (the real calls; the only code that includes <windows.h>) and host/ (a Linux sandbox
// for tests and tools, see host/host.h). The stub's logic includes this header and nothing of the
// operating system's.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Calling convention of Windows API functions and of callbacks handed to them (thread procedures,
// procedures found by GetProcAddress). Only 32-bit x86 Windows has a distinct one.
#if defined(_WIN32) && defined(__i386__)
#define PLATFORM_API __attribute__((stdcall))
#else
#define PLATFORM_API
#endif

namespace platform {

using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;
using i32 = int32_t;
using u64 = uint64_t;
using i64 = int64_t;
using WChar = char16_t;  // one UTF-16 unit
using Bool = int;        // Windows BOOL: non-zero is true
using Handle = void*;
using Module = void*;    // HMODULE
using Window = void*;    // HWND
using ResourceInfo = void*;  // HRSRC
using HResult = i32;

constexpr u32 kMaxPathChars = 260;  // MAX_PATH

inline Handle const INVALID_HANDLE_VALUE = reinterpret_cast<Handle>(static_cast<intptr_t>(-1));

// Files.
constexpr u32 GENERIC_READ = 0x80000000u;
constexpr u32 GENERIC_WRITE = 0x40000000u;
constexpr u32 FILE_APPEND_DATA = 0x4;  // writes go to the file's end, whoever else appends
constexpr u32 FILE_SHARE_READ = 0x1;
constexpr u32 FILE_SHARE_WRITE = 0x2;
constexpr u32 CREATE_NEW = 1;
constexpr u32 CREATE_ALWAYS = 2;
constexpr u32 OPEN_EXISTING = 3;
constexpr u32 OPEN_ALWAYS = 4;
constexpr u32 TRUNCATE_EXISTING = 5;
constexpr u32 FILE_ATTRIBUTE_READONLY = 0x1;
constexpr u32 FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr u32 FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr u32 FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr u32 FILE_ATTRIBUTE_REPARSE_POINT = 0x400;  // a junction or symbolic link
constexpr u32 INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr u32 FILE_BEGIN = 0;
constexpr u32 FILE_CURRENT = 1;
constexpr u32 FILE_END = 2;
constexpr u32 INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;
// Access rights, sharing and flags for opening folders and links by handle.
constexpr u32 DELETE = 0x00010000;
constexpr u32 FILE_LIST_DIRECTORY = 0x1;
constexpr u32 FILE_READ_ATTRIBUTES = 0x80;
constexpr u32 FILE_WRITE_ATTRIBUTES = 0x100;
constexpr u32 FILE_SHARE_DELETE = 0x4;
constexpr u32 FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;    // lets CreateFileW open a folder
constexpr u32 FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;  // the link itself, not its target

// FindFirstFileExW (FINDEX_INFO_LEVELS, FINDEX_SEARCH_OPS and the additional flags).
constexpr u32 FindExInfoStandard = 0;
constexpr u32 FindExInfoBasic = 1;       // no short names (Windows 7 and later)
constexpr u32 FindExSearchNameMatch = 0;
constexpr u32 FIND_FIRST_EX_LARGE_FETCH = 0x2;  // larger directory reads (Windows 7 and later)

// Errors (GetLastError values the stub looks at or tests inject).
constexpr u32 ERROR_SUCCESS = 0;
constexpr u32 ERROR_FILE_NOT_FOUND = 2;
constexpr u32 ERROR_PATH_NOT_FOUND = 3;
constexpr u32 ERROR_ACCESS_DENIED = 5;
constexpr u32 ERROR_INVALID_HANDLE = 6;
constexpr u32 ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr u32 ERROR_WRITE_FAULT = 29;
constexpr u32 ERROR_READ_FAULT = 30;
constexpr u32 ERROR_NO_MORE_FILES = 18;
constexpr u32 ERROR_SHARING_VIOLATION = 32;
constexpr u32 ERROR_HANDLE_EOF = 38;
constexpr u32 ERROR_BAD_NETPATH = 53;
constexpr u32 ERROR_FILE_EXISTS = 80;
constexpr u32 ERROR_INVALID_PARAMETER = 87;
constexpr u32 ERROR_BUFFER_OVERFLOW = 111;
constexpr u32 ERROR_DISK_FULL = 112;
constexpr u32 ERROR_INSUFFICIENT_BUFFER = 122;
constexpr u32 ERROR_INVALID_NAME = 123;
constexpr u32 ERROR_MOD_NOT_FOUND = 126;
constexpr u32 ERROR_PROC_NOT_FOUND = 127;
constexpr u32 ERROR_NEGATIVE_SEEK = 131;
constexpr u32 ERROR_DIR_NOT_EMPTY = 145;
constexpr u32 ERROR_ALREADY_EXISTS = 183;
constexpr u32 ERROR_DIRECTORY = 267;
constexpr u32 ERROR_MORE_DATA = 234;
constexpr u32 ERROR_INVALID_SID = 1337;
constexpr u32 ERROR_INVALID_SECURITY_DESCR = 1338;
constexpr u32 ERROR_INVALID_LABEL = 1336;
constexpr u32 ERROR_INVALID_FLAGS = 1004;
constexpr u32 ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr u32 ERROR_RESOURCE_DATA_NOT_FOUND = 1812;  // the image has no resource section
constexpr u32 ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr u32 ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
constexpr u32 ERROR_RESOURCE_LANG_NOT_FOUND = 1815;
constexpr u32 ERROR_HANDLE_DISK_FULL = 39;
constexpr u32 ERROR_BAD_EXE_FORMAT = 193;
constexpr u32 ERROR_ENVVAR_NOT_FOUND = 203;
constexpr u32 ERROR_VIRUS_INFECTED = 225;                        // antivirus software refused the file
constexpr u32 ERROR_VIRUS_DELETED = 226;
constexpr u32 ERROR_ACCESS_DISABLED_NO_SAFER_UI_BY_POLICY = 786;  // a software restriction policy
constexpr u32 ERROR_ACCESS_DISABLED_BY_POLICY = 1260;            // AppLocker, software restriction

// Processes, threads, waits.
constexpr u32 INFINITE = 0xFFFFFFFFu;
constexpr u32 WAIT_OBJECT_0 = 0;
constexpr u32 WAIT_TIMEOUT = 258;
constexpr u32 WAIT_FAILED = 0xFFFFFFFFu;
constexpr u32 STILL_ACTIVE = 259;
constexpr u32 ATTACH_PARENT_PROCESS = 0xFFFFFFFFu;  // (DWORD)-1

// Modules.
constexpr u32 LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800;

// Resources: types, and MAKEINTRESOURCE for a numeric type or name.
constexpr u16 RT_RCDATA = 10;
inline const WChar* MakeIntResource(u16 id) {
    return reinterpret_cast<const WChar*>(static_cast<uintptr_t>(id));
}

// Heaps.
constexpr u32 HEAP_ZERO_MEMORY = 0x8;

// Text.
constexpr u32 CP_UTF8 = 65001;
constexpr u32 MB_ERR_INVALID_CHARS = 0x8;

// COM results.
constexpr HResult S_OK = 0;
constexpr HResult E_FAIL = static_cast<HResult>(0x80004005u);

// Shell.
constexpr u32 SEE_MASK_NOCLOSEPROCESS = 0x40;
constexpr u32 SEE_MASK_FLAG_NO_UI = 0x400;
constexpr u32 SEE_MASK_NOZONECHECKS = 0x800000;
constexpr i32 SW_HIDE = 0;
constexpr i32 SW_SHOWNORMAL = 1;

// SECURITY_ATTRIBUTES, field for field: the stub passes one only to make its own folders.
struct SECURITY_ATTRIBUTES {
    u32 nLength;
    void* lpSecurityDescriptor;  // a self-relative descriptor (from the SDDL converter)
    Bool bInheritHandle;
};

struct FileTime {  // FILETIME
    u32 dwLowDateTime;
    u32 dwHighDateTime;
};

// WIN32_FIND_DATAW, field for field, so that the real calls fill it in place.
struct FindData {
    u32 dwFileAttributes;
    FileTime ftCreationTime;
    FileTime ftLastAccessTime;
    FileTime ftLastWriteTime;
    u32 nFileSizeHigh;
    u32 nFileSizeLow;
    u32 dwReserved0;
    u32 dwReserved1;
    WChar cFileName[kMaxPathChars];
    WChar cAlternateFileName[14];
};

// SHELLEXECUTEINFOW with the fields the stub sets or reads. The backend builds the real record; the
// stub records `cbSize` as the real record's size (60 on 32-bit Windows) for the win32 backend to
// check.
struct ShellExecuteInfo {
    u32 cbSize;
    u32 fMask;
    Window hwnd;
    const WChar* lpVerb;
    const WChar* lpFile;
    const WChar* lpParameters;
    const WChar* lpDirectory;
    i32 nShow;
    Handle hProcess;  // out: with SEE_MASK_NOCLOSEPROCESS, the started process (may be null)
};

struct Guid {
    u32 Data1;
    u16 Data2;
    u16 Data3;
    u8 Data4[8];
};

struct Message {  // MSG, opaque to the stub
    u8 opaque[48];
};

using ThreadProc = u32(PLATFORM_API*)(void* parameter);
using FarProc = void (*)();  // what GetProcAddress returns; cast to the procedure's own type

// Procedures looked up by name at run time (never imported).
using SetDllDirectoryWProc = Bool(PLATFORM_API*)(const WChar* path);
using SetDefaultDllDirectoriesProc = Bool(PLATFORM_API*)(u32 flags);
using AttachConsoleProc = Bool(PLATFORM_API*)(u32 processId);
using GetTempPath2WProc = u32(PLATFORM_API*)(u32 capacity, WChar* buffer);  // Windows 11 and later

// ---- kernel32: files ------------------------------------------------------------------------
Handle CreateFileW(const WChar* path, u32 access, u32 shareMode, SECURITY_ATTRIBUTES* security,
                   u32 disposition, u32 flagsAndAttributes, Handle templateFile);
Bool ReadFile(Handle file, void* buffer, u32 toRead, u32* read, void* overlapped);
Bool WriteFile(Handle file, const void* buffer, u32 toWrite, u32* written, void* overlapped);
// Returns the new position's low 32 bits, or INVALID_SET_FILE_POINTER with a last error set (a
// position whose low part is 0xFFFFFFFF also returns it, then with ERROR_SUCCESS).
u32 SetFilePointer(Handle file, i32 distanceLow, i32* distanceHigh, u32 moveMethod);
Bool CloseHandle(Handle object);
Bool DeleteFileW(const WChar* path);
Bool CopyFileW(const WChar* from, const WChar* to, Bool failIfExists);
u32 GetFileAttributesW(const WChar* path);
Bool SetFileAttributesW(const WChar* path, u32 attributes);
Handle FindFirstFileW(const WChar* pattern, FindData* found);
// infoLevel: FindExInfoStandard or FindExInfoBasic; searchOp: FindExSearchNameMatch; searchFilter:
// null. The handle serves FindNextFileW and is closed with FindClose.
Handle FindFirstFileExW(const WChar* pattern, u32 infoLevel, FindData* found, u32 searchOp,
                        void* searchFilter, u32 additionalFlags);
// The next entry of a listing; FALSE with ERROR_NO_MORE_FILES at its end.
Bool FindNextFileW(Handle find, FindData* found);
Bool FindClose(Handle find);

// ---- kernel32: directories ------------------------------------------------------------------
Bool CreateDirectoryW(const WChar* path, SECURITY_ATTRIBUTES* security);
Bool RemoveDirectoryW(const WChar* path);
u32 GetTempPathW(u32 capacity, WChar* buffer);
u32 GetTempFileNameW(const WChar* folder, const WChar* prefix, u32 unique, WChar* out);
u32 GetSystemDirectoryW(WChar* buffer, u32 capacity);

// ---- kernel32: modules ----------------------------------------------------------------------
u32 GetModuleFileNameW(Module module, WChar* buffer, u32 capacity);
Module GetModuleHandleW(const WChar* name);
FarProc GetProcAddress(Module module, const char* name);
Module LoadLibraryW(const WChar* path);
// The resources of a module (null: the process's own image). FindResourceW fails with
// ERROR_RESOURCE_*_NOT_FOUND when there is no such resource; LockResource gives the data in place
// (read-only, alignment not guaranteed), SizeofResource its size in bytes (0 on failure).
ResourceInfo FindResourceW(Module module, const WChar* name, const WChar* type);
Handle LoadResource(Module module, ResourceInfo resource);
const void* LockResource(Handle loaded);
u32 SizeofResource(Module module, ResourceInfo resource);

// ---- kernel32: processes and threads --------------------------------------------------------
Handle CreateThread(SECURITY_ATTRIBUTES* security, size_t stackSize, ThreadProc start,
                    void* parameter, u32 flags, u32* threadId);
u32 WaitForSingleObject(Handle object, u32 milliseconds);
Handle CreateEventW(SECURITY_ATTRIBUTES* security, Bool manualReset, Bool initialState, const WChar* name);
Bool SetEvent(Handle event);
Bool GetExitCodeProcess(Handle process, u32* exitCode);
[[noreturn]] void ExitProcess(u32 exitCode);

// ---- kernel32: heaps, command line, text, errors ------------------------------------------------
Handle GetProcessHeap();
void* HeapAlloc(Handle heap, u32 flags, size_t bytes);
Bool HeapFree(Handle heap, u32 flags, void* block);
WChar* GetCommandLineW();
i32 MultiByteToWideChar(u32 codePage, u32 flags, const char* bytes, i32 byteCount, WChar* out,
                        i32 capacity);
u32 GetLastError();
// Sets the calling thread's last error (for a failure a call reports otherwise, as an NTSTATUS).
void SetLastError(u32 error);

// The stub's own general-purpose heap (a private heap from HeapCreate on Windows), distinct from
// the process heap: serves the 7z decoder's allocators and the runtime's malloc.
void* StubHeapAlloc(size_t bytes);
void StubHeapFree(void* block);

// Why a run fails or its 7z extraction stops (see run/Failure.h). On Windows this is nothing at
// all (the run's log, run/RunLog.h, says it in words when it is on); the host backend keeps each
// note in the run's result for the tools and tests.
#if defined(_WIN32)
inline void NoteFailureReason(u32, u32) {}
#else
void NoteFailureReason(u32 reason, u32 detail);
#endif

// ---- kernel32: files and folders by handle ---------------------------------------------------
// BY_HANDLE_FILE_INFORMATION, field for field. The file ID (nFileIndexHigh:Low) with the volume
// serial number names one file or folder for as long as it exists.
struct ByHandleFileInformation {
    u32 dwFileAttributes;
    FileTime ftCreationTime;
    FileTime ftLastAccessTime;
    FileTime ftLastWriteTime;
    u32 dwVolumeSerialNumber;
    u32 nFileSizeHigh;
    u32 nFileSizeLow;
    u32 nNumberOfLinks;
    u32 nFileIndexHigh;
    u32 nFileIndexLow;
};
Bool GetFileInformationByHandle(Handle file, ByHandleFileInformation* info);

// FILE_INFO_BY_HANDLE_CLASS values the stub uses.
constexpr u32 FileBasicInfo = 0;                    // FILE_BASIC_INFO: 4 times, then attributes
constexpr u32 FileDispositionInfo = 4;              // FILE_DISPOSITION_INFO: one byte, delete
constexpr u32 FileIdBothDirectoryInfo = 10;         // the next entries of a folder's listing
constexpr u32 FileIdBothDirectoryRestartInfo = 11;  // the same, from the listing's start
constexpr u32 kFileBasicInfoBytes = 40;
constexpr u32 kFileBasicInfoAttributes = 32;        // offset of FileAttributes
// FILE_ID_BOTH_DIR_INFO: records of at least 104 bytes, each starting 8-byte aligned; offsets
// of the fields the stub reads.
constexpr u32 kDirInfoNextEntryOffset = 0;
constexpr u32 kDirInfoAttributes = 56;
constexpr u32 kDirInfoNameBytes = 60;
constexpr u32 kDirInfoFileId = 96;
constexpr u32 kDirInfoName = 104;
// Both are missing from kernel32 before Vista: the platform layer looks them up by name and fails
// with ERROR_PROC_NOT_FOUND where they are absent. A listing fills `buffer` with as many whole
// records as fit and fails with ERROR_NO_MORE_FILES after the last.
Bool GetFileInformationByHandleEx(Handle file, u32 infoClass, void* buffer, u32 bytes);
Bool SetFileInformationByHandle(Handle file, u32 infoClass, const void* buffer, u32 bytes);
// The full path of `path` (".", ".." and "/" resolved lexically, as Win32 paths are); like
// GetTempPathW, a result of `capacity` or more is the size it would need.
u32 GetFullPathNameW(const WChar* path, u32 capacity, WChar* buffer, WChar** filePart);
// More classes for GetFileInformationByHandleEx (Windows 8 and later): FILE_ID_INFO (the 64-bit
// volume serial number, then the 128-bit file ID), and listings with 128-bit file IDs
// (FILE_ID_EXTD_DIR_INFO: attributes and name length where FILE_ID_BOTH_DIR_INFO has them).
constexpr u32 FileIdInfo = 18;
constexpr u32 FileIdExtdDirectoryInfo = 19;
constexpr u32 kFileIdInfoBytes = 24;
constexpr u32 kFileIdInfoId = 8;
constexpr u32 kExtdDirInfoFileId = 72;
constexpr u32 kExtdDirInfoName = 88;
// The volume's file-system name ("NTFS", "ReFS", ...) through a handle on any of its files; the
// other outputs may be null. Missing before Vista: looked up by name.
Bool GetVolumeInformationByHandleW(Handle file, WChar* volumeName, u32 volumeNameCapacity,
                                   u32* serialNumber, u32* maxComponentLength, u32* flags,
                                   WChar* fileSystemName, u32 fileSystemNameCapacity);
// A path's long form: each component that is a short (8.3) alias becomes the name it stands for.
// Like GetTempPathW, a result of `capacity` or more is the size it would need; 0 on failure (the
// path must exist).
u32 GetLongPathNameW(const WChar* path, WChar* buffer, u32 capacity);

// ---- ntdll: always loaded; its calls are looked up by name ------------------------------------
using NtStatus = i32;  // NTSTATUS: negative is a failure
constexpr NtStatus STATUS_SUCCESS = 0;
constexpr NtStatus STATUS_ACCESS_DENIED = static_cast<NtStatus>(0xC0000022u);
constexpr NtStatus STATUS_OBJECT_NAME_INVALID = static_cast<NtStatus>(0xC0000033u);
constexpr NtStatus STATUS_OBJECT_NAME_COLLISION = static_cast<NtStatus>(0xC0000035u);
constexpr NtStatus STATUS_OBJECT_PATH_NOT_FOUND = static_cast<NtStatus>(0xC000003Au);
constexpr NtStatus STATUS_DISK_FULL = static_cast<NtStatus>(0xC000007Fu);
constexpr NtStatus STATUS_INVALID_PARAMETER = static_cast<NtStatus>(0xC000000Du);
constexpr NtStatus STATUS_INVALID_INFO_CLASS = static_cast<NtStatus>(0xC0000003u);
constexpr NtStatus STATUS_UNSUCCESSFUL = static_cast<NtStatus>(0xC0000001u);

// UNICODE_STRING, OBJECT_ATTRIBUTES and IO_STATUS_BLOCK, field for field.
struct UnicodeString {
    u16 Length;         // bytes, without a terminator
    u16 MaximumLength;  // bytes
    WChar* Buffer;
};
struct ObjectAttributes {
    u32 Length;  // sizeof(ObjectAttributes)
    Handle RootDirectory;
    UnicodeString* ObjectName;  // an NT path ("\??\C:\...") when RootDirectory is null
    u32 Attributes;
    void* SecurityDescriptor;   // a self-relative descriptor for an object this call creates
    void* SecurityQualityOfService;
};
struct IoStatusBlock {
    union {
        NtStatus Status;
        void* Pointer;
    };
    uintptr_t Information;  // NtCreateFile: FILE_CREATED, FILE_OPENED, ...
};
constexpr u32 OBJ_CASE_INSENSITIVE = 0x40;
constexpr u32 FILE_CREATE = 2;                     // create disposition: fail if it exists
constexpr u32 FILE_CREATED = 2;                    // IoStatusBlock.Information after a creation
constexpr u32 FILE_DIRECTORY_FILE = 0x1;           // create options
constexpr u32 FILE_SYNCHRONOUS_IO_NONALERT = 0x20;
constexpr u32 FILE_OPEN_REPARSE_POINT = 0x00200000;
constexpr u32 FileInternalInformation = 6;         // FILE_INTERNAL_INFORMATION: the 64-bit file ID

// Creates (or opens) a file or folder and gives its handle in one step. The stub only creates its
// folders with it (FILE_CREATE, FILE_DIRECTORY_FILE, a descriptor): the handle is then the new
// folder's own, with the descriptor given, and nothing can be put in its place in between.
NtStatus NtCreateFile(Handle* file, u32 access, ObjectAttributes* attributes, IoStatusBlock* io,
                      i64* allocationSize, u32 fileAttributes, u32 shareAccess, u32 disposition,
                      u32 options, void* eaBuffer, u32 eaLength);
// The file information of class `infoClass` (FileInternalInformation) into `info`.
NtStatus NtQueryInformationFile(Handle file, IoStatusBlock* io, void* info, u32 bytes,
                                u32 infoClass);
// The Win32 error an NTSTATUS stands for (ERROR_MR_MID_NOT_FOUND, 317, for one it does not know).
u32 RtlNtStatusToDosError(NtStatus status);
// `in` in upper case as the system compares names, unit for unit, into `out` (allocate: 0, so
// `out` brings its own buffer, at least as long as `in`). Not counted among the host's calls: it
// only maps units.
NtStatus RtlUpcaseUnicodeString(UnicodeString* out, const UnicodeString* in, u8 allocate);

// ---- advapi32: the process's token and security descriptors ----------------------------------
constexpr u32 TOKEN_QUERY = 0x8;
// TOKEN_INFORMATION_CLASS values: TOKEN_USER (a SID_AND_ATTRIBUTES, then the SID),
// TOKEN_ELEVATION (one DWORD), TOKEN_MANDATORY_LABEL (a SID_AND_ATTRIBUTES, then the SID).
constexpr u32 TokenUser = 1;
constexpr u32 TokenElevation = 20;
constexpr u32 TokenIntegrityLevel = 25;
constexpr u32 SDDL_REVISION_1 = 1;
// Mandatory integrity levels: the last sub-authority of an S-1-16-x label SID.
constexpr u32 SECURITY_MANDATORY_HIGH_RID = 0x3000;
constexpr u32 SECURITY_MANDATORY_SYSTEM_RID = 0x4000;

Handle GetCurrentProcess();  // the pseudo handle; never fails, never closed
Bool OpenProcessToken(Handle process, u32 access, Handle* token);
Bool GetTokenInformation(Handle token, u32 infoClass, void* info, u32 bytes, u32* returned);
// The SID's "S-1-..." text, allocated by the system: free it with LocalFree.
Bool ConvertSidToStringSidW(const void* sid, WChar** text);
// A self-relative descriptor from SDDL text, allocated by the system: free it with LocalFree.
Bool ConvertStringSecurityDescriptorToSecurityDescriptorW(const WChar* sddl, u32 revision,
                                                          void** descriptor, u32* bytes);
void* LocalFree(void* block);  // null on success

// ---- kernel32: other processes, jobs, time ------------------------------------------------------
constexpr u32 TH32CS_SNAPPROCESS = 0x2;
constexpr u32 PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;
constexpr u32 SYNCHRONIZE = 0x00100000;
constexpr u32 MAXIMUM_WAIT_OBJECTS = 64;
constexpr u32 JobObjectBasicProcessIdList = 3;
constexpr i32 CSTR_EQUAL = 2;

// PROCESSENTRY32W, field for field.
struct ProcessEntry {
    u32 dwSize;
    u32 cntUsage;
    u32 th32ProcessID;
    uintptr_t th32DefaultHeapID;
    u32 th32ModuleID;
    u32 cntThreads;
    u32 th32ParentProcessID;
    i32 pcPriClassBase;
    u32 dwFlags;
    WChar szExeFile[kMaxPathChars];
};

Handle CreateToolhelp32Snapshot(u32 flags, u32 processId);  // INVALID_HANDLE_VALUE on failure
Bool Process32FirstW(Handle snapshot, ProcessEntry* entry);
Bool Process32NextW(Handle snapshot, ProcessEntry* entry);  // FALSE, ERROR_NO_MORE_FILES at the end
Handle OpenProcess(u32 access, Bool inherit, u32 processId);  // null on failure
u32 GetCurrentProcessId();
u32 WaitForMultipleObjects(u32 count, const Handle* handles, Bool all, u32 milliseconds);
u32 GetTickCount();
// Jobs: processes a job holds start their children in it (Windows 8 and later nest jobs).
Handle CreateJobObjectW(SECURITY_ATTRIBUTES* security, const WChar* name);
Bool AssignProcessToJobObject(Handle job, Handle process);
// JobObjectBasicProcessIdList: JOBOBJECT_BASIC_PROCESS_ID_LIST, two DWORDs (assigned, listed),
// then ULONG_PTR process IDs.
Bool QueryInformationJobObject(Handle job, u32 infoClass, void* info, u32 bytes, u32* returned);
// Missing before Vista: looked up by name, failing with ERROR_PROC_NOT_FOUND where absent.
// The process's program as a Win32 path; `size` in: the buffer's units, out: the path's.
Bool QueryFullProcessImageNameW(Handle process, u32 flags, WChar* buffer, u32* size);
// The path the handle's file or folder has now, "\\?\C:\..." (normalized, DOS volume name);
// like GetTempPathW, a result of `capacity` or more is the size it would need.
u32 GetFinalPathNameByHandleW(Handle file, WChar* buffer, u32 capacity, u32 flags);
// CSTR_LESS_THAN (1), CSTR_EQUAL (2) or CSTR_GREATER_THAN (3); 0 on failure. `ignoreCase` compares
// as the file system does (the system's upper-case table).
i32 CompareStringOrdinal(const WChar* a, i32 aLength, const WChar* b, i32 bLength, Bool ignoreCase);

// ---- kernel32: processors (parallel unpacking) ------------------------------------------------

// SYSTEM_INFO, field for field, so that the real call fills it in place.
struct SystemInfo {
    u16 wProcessorArchitecture;
    u16 wReserved;
    u32 dwPageSize;
    void* lpMinimumApplicationAddress;
    void* lpMaximumApplicationAddress;
    uintptr_t dwActiveProcessorMask;
    u32 dwNumberOfProcessors;  // logical processors (of the process's group)
    u32 dwProcessorType;
    u32 dwAllocationGranularity;
    u16 wProcessorLevel;
    u16 wProcessorRevision;
};

void GetSystemInfo(SystemInfo* info);  // cannot fail

// ---- kernel32: the run's log and the free space before unpacking -------------------------------
constexpr u32 FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
constexpr u32 FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
constexpr u32 FORMAT_MESSAGE_MAX_WIDTH_MASK = 0xFF;  // no line breaks but the text's own

// SYSTEMTIME, field for field.
struct SystemTime {
    u16 wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

// The variable's value and its length; a value that does not fit gives the units it needs (with
// its terminator); 0 with ERROR_ENVVAR_NOT_FOUND when it is not set.
u32 GetEnvironmentVariableW(const WChar* name, WChar* buffer, u32 capacity);
void GetSystemTime(SystemTime* time);  // UTC; cannot fail
// The system's text for a Windows error (FORMAT_MESSAGE_FROM_SYSTEM); its length, 0 on failure.
u32 FormatMessageW(u32 flags, const void* source, u32 messageId, u32 languageId, WChar* buffer,
                   u32 capacity, void* arguments);
// The free bytes of the volume that holds `folder` (a path ending in a backslash): those the caller
// may use (its quota counted), the volume's size, and all free bytes. Any out pointer may be null.
Bool GetDiskFreeSpaceExW(const WChar* folder, u64* freeToCaller, u64* total, u64* totalFree);
// The volume's cluster: sectors per cluster and bytes per sector (and cluster counts).
Bool GetDiskFreeSpaceW(const WChar* folder, u32* sectorsPerCluster, u32* bytesPerSector,
                       u32* freeClusters, u32* totalClusters);

// ---- shell32, shlwapi, ole32, user32 ----------------------------------------------------------
Bool ShellExecuteExW(ShellExecuteInfo* info);
WChar** CommandLineToArgvW(const WChar* commandLine, i32* count);
Bool PathAppendW(WChar* path, const WChar* more);  // path: a kMaxPathChars buffer
HResult CoCreateGuid(Guid* guid);
i32 StringFromGUID2(const Guid& guid, WChar* out, i32 capacity);
Bool GetMessageW(Message* message, Window window, u32 filterMin, u32 filterMax);
Bool TranslateMessage(const Message* message);
intptr_t DispatchMessageW(const Message* message);
Window GetForegroundWindow();

// ---- user32 and gdi32: the progress window and the failure message ----------------------------
using WindowProc = intptr_t(PLATFORM_API*)(Window window, u32 message, uintptr_t wParam,
                                           intptr_t lParam);
struct WindowClass {  // WNDCLASSEXW
    u32 cbSize;
    u32 style;
    WindowProc lpfnWndProc;
    i32 cbClsExtra;
    i32 cbWndExtra;
    Module hInstance;
    Handle hIcon;
    Handle hCursor;
    Handle hbrBackground;
    const WChar* lpszMenuName;
    const WChar* lpszClassName;
    Handle hIconSm;
};
struct Rect {
    i32 left, top, right, bottom;
};
struct PaintStruct {
    Handle hdc;
    Bool fErase;
    Rect rcPaint;
    Bool fRestore;
    Bool fIncUpdate;
    u8 rgbReserved[32];
};
constexpr u32 WM_DESTROY = 0x2, WM_PAINT = 0xF, WM_CLOSE = 0x10, WM_SETFONT = 0x30,
              WM_COMMAND = 0x111, WM_TIMER = 0x113;
constexpr u32 WS_TABSTOP = 0x10000, WS_SYSMENU = 0x80000, WS_CAPTION = 0xC00000,
              WS_VISIBLE = 0x10000000, WS_CHILD = 0x40000000;
constexpr u32 BS_DEFPUSHBUTTON = 0x1;
constexpr u32 IDCANCEL = 2;
constexpr u32 COLOR_WINDOW = 5, COLOR_HIGHLIGHT = 13, COLOR_BTNFACE = 15, COLOR_BTNSHADOW = 16;
constexpr u32 MB_ICONERROR = 0x10, MB_SETFOREGROUND = 0x10000;
constexpr u32 UOI_FLAGS = 1, WSF_VISIBLE = 1;  // USEROBJECTFLAGS.dwFlags, its third DWORD
constexpr u32 SPI_GETNONCLIENTMETRICS = 0x29;
constexpr u32 kNonClientMetricsBytes = 504;     // NONCLIENTMETRICSW with iPaddedBorderWidth
constexpr u32 kNonClientMessageFont = 408;      // offset of lfMessageFont (a LOGFONTW)
constexpr i32 SM_CXSCREEN = 0, SM_CYSCREEN = 1;
constexpr u16 IDC_ARROW = 32512;

Handle GetProcessWindowStation();
Bool GetUserObjectInformationW(Handle object, i32 index, void* info, u32 bytes, u32* needed);
i32 MessageBoxW(Window owner, const WChar* text, const WChar* caption, u32 type);
u16 RegisterClassExW(const WindowClass* windowClass);
Window CreateWindowExW(u32 exStyle, const WChar* className, const WChar* text, u32 style, i32 x,
                       i32 y, i32 width, i32 height, Window parent, uintptr_t id, Module instance,
                       void* parameter);
intptr_t DefWindowProcW(Window window, u32 message, uintptr_t wParam, intptr_t lParam);
Bool DestroyWindow(Window window);
Bool PostMessageW(Window window, u32 message, uintptr_t wParam, intptr_t lParam);
intptr_t SendMessageW(Window window, u32 message, uintptr_t wParam, intptr_t lParam);
Bool SetWindowTextW(Window window, const WChar* text);
Bool InvalidateRect(Window window, const Rect* rect, Bool erase);
Handle BeginPaint(Window window, PaintStruct* paint);
Bool EndPaint(Window window, const PaintStruct* paint);
i32 FillRect(Handle dc, const Rect* rect, Handle brush);
Handle GetSysColorBrush(i32 index);
uintptr_t SetTimer(Window window, uintptr_t id, u32 milliseconds, void* callback);
void PostQuitMessage(i32 code);
Bool IsDialogMessageW(Window dialog, Message* message);
Bool EnableWindow(Window window, Bool enable);
Bool SetProcessDPIAware();
u32 GetDpiForSystem();  // Windows 10 1607 and later; 0 where it is missing
Bool SystemParametersInfoW(u32 action, u32 uParam, void* pvParam, u32 winIni);
i32 GetSystemMetrics(i32 index);
Handle LoadCursorW(Module instance, const WChar* name);
Handle CreateFontIndirectW(const void* logFont);  // gdi32; a LOGFONTW
Bool DeleteObject(Handle object);                  // gdi32

}  // namespace platform
