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

enum SystemLibrary : unsigned { kUser32, kShell32, kShlwapi, kOle32, kSystemLibraryCount };

const wchar_t* const kSystemLibraryNames[kSystemLibraryCount] = {
    L"user32.dll", L"shell32.dll", L"shlwapi.dll", L"ole32.dll",
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
template <typename Proc>
Proc Bind(BoundProcedure which) {
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
    return reinterpret_cast<Proc>(procedure);
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

void* StubHeapAlloc(size_t bytes) {
    if (gStubHeap == nullptr) return nullptr;
    return ::HeapAlloc(gStubHeap, 0, bytes);
}

void StubHeapFree(void* block) {
    if (block == nullptr || gStubHeap == nullptr) return;
    ::HeapFree(gStubHeap, 0, block);
}

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

}  // namespace platform
