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
using HResult = i32;

constexpr u32 kMaxPathChars = 260;  // MAX_PATH

inline Handle const INVALID_HANDLE_VALUE = reinterpret_cast<Handle>(static_cast<intptr_t>(-1));

// Files.
constexpr u32 GENERIC_READ = 0x80000000u;
constexpr u32 GENERIC_WRITE = 0x40000000u;
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
constexpr u32 ERROR_INVALID_FLAGS = 1004;
constexpr u32 ERROR_NO_UNICODE_TRANSLATION = 1113;

// Processes, threads, waits.
constexpr u32 INFINITE = 0xFFFFFFFFu;
constexpr u32 WAIT_OBJECT_0 = 0;
constexpr u32 WAIT_TIMEOUT = 258;
constexpr u32 WAIT_FAILED = 0xFFFFFFFFu;
constexpr u32 STILL_ACTIVE = 259;
constexpr u32 ATTACH_PARENT_PROCESS = 0xFFFFFFFFu;  // (DWORD)-1

// Modules.
constexpr u32 LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800;

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

struct SECURITY_ATTRIBUTES;  // never used by the stub: always passed as null

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

// The stub's own general-purpose heap (a private heap from HeapCreate on Windows), distinct from
// the process heap: serves the 7z decoder's allocators and the runtime's malloc.
void* StubHeapAlloc(size_t bytes);
void StubHeapFree(void* block);

// Why a run fails or its 7z extraction stops (see launcher/Failure.h). The stub shows and logs
// nothing, so on Windows this is nothing at all; the host backend keeps each note in the run's
// result for the tools and tests.
#if defined(_WIN32)
inline void NoteFailureReason(u32, u32) {}
#else
void NoteFailureReason(u32 reason, u32 detail);
#endif

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

}  // namespace platform
