// The platform layer over the real Windows API: each call forwards to the Windows function of the
// same name, translating the stub's records into the Windows ones where their shapes differ.
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

constexpr u32 kShellExecuteInfo32Size = 60;  // SHELLEXECUTEINFOW on 32-bit Windows
#if defined(__i386__)
static_assert(sizeof(SHELLEXECUTEINFOW) == kShellExecuteInfo32Size, "32-bit SHELLEXECUTEINFOW");
#endif

HANDLE gStubHeap;  // trivial global: set once by CreateStubHeap

const wchar_t* Wide(const WChar* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* Wide(WChar* text) { return reinterpret_cast<wchar_t*>(text); }

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

Handle FindFirstFileW(const WChar* pattern, FindData* found) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW(Wide(pattern), &data);
    if (find == INVALID_HANDLE_VALUE) return find;
    found->dwFileAttributes = data.dwFileAttributes;
    found->nFileSizeLow = data.nFileSizeLow;
    found->nFileSizeHigh = data.nFileSizeHigh;
    static_assert(sizeof(found->cFileName) == sizeof(data.cFileName), "cFileName is MAX_PATH units");
    __builtin_memcpy(found->cFileName, data.cFileName, sizeof(data.cFileName));
    return find;
}

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

// ---- shell32, shlwapi, ole32, user32 ----------------------------------------------------------

Bool ShellExecuteExW(ShellExecuteInfo* info) {
    // The stub states the size of the 32-bit record on every build; the 64-bit twin's real record
    // is larger, and is built here with its own size. Any other size is refused, as Windows
    // refuses an unknown cbSize.
    if (info->cbSize != kShellExecuteInfo32Size && info->cbSize != sizeof(SHELLEXECUTEINFOW)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
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
    const BOOL started = ::ShellExecuteExW(&real);
    info->hProcess = real.hProcess;
    return started;
}

i32 SHFileOperationW(FileOperation* operation) {
    SHFILEOPSTRUCTW real;
    __builtin_memset(&real, 0, sizeof(real));
    real.hwnd = static_cast<HWND>(operation->hwnd);
    real.wFunc = operation->wFunc;
    real.pFrom = Wide(operation->pFrom);
    real.pTo = Wide(operation->pTo);
    real.fFlags = operation->fFlags;
    const int result = ::SHFileOperationW(&real);
    operation->fAnyOperationsAborted = real.fAnyOperationsAborted;
    return result;
}

WChar** CommandLineToArgvW(const WChar* commandLine, i32* count) {
    return reinterpret_cast<WChar**>(::CommandLineToArgvW(Wide(commandLine), count));
}

Bool PathAppendW(WChar* path, const WChar* more) { return ::PathAppendW(Wide(path), Wide(more)); }

HResult CoCreateGuid(Guid* guid) {
    GUID real;
    const HRESULT result = ::CoCreateGuid(&real);
    if (FAILED(result)) return result;
    guid->Data1 = real.Data1;
    guid->Data2 = real.Data2;
    guid->Data3 = real.Data3;
    for (int i = 0; i < 8; ++i) guid->Data4[i] = real.Data4[i];
    return result;
}

i32 StringFromGUID2(const Guid& guid, WChar* out, i32 capacity) {
    GUID real;
    real.Data1 = guid.Data1;
    real.Data2 = guid.Data2;
    real.Data3 = guid.Data3;
    for (int i = 0; i < 8; ++i) real.Data4[i] = guid.Data4[i];
    return ::StringFromGUID2(real, Wide(out), capacity);
}

Bool GetMessageW(Message* message, Window window, u32 filterMin, u32 filterMax) {
    MSG real;
    const BOOL result = ::GetMessageW(&real, static_cast<HWND>(window), filterMin, filterMax);
    if (result != -1) StoreMessage(real, message);
    return result;
}

Bool TranslateMessage(const Message* message) {
    const MSG real = LoadMessage(message);
    return ::TranslateMessage(&real);
}

intptr_t DispatchMessageW(const Message* message) {
    const MSG real = LoadMessage(message);
    return ::DispatchMessageW(&real);
}

Window GetForegroundWindow() { return ::GetForegroundWindow(); }

}  // namespace platform
