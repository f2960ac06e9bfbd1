// Folders of the environment, modules, threads and processes, heaps, command line and text.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <stdexcept>

#include "platform/host/HostInternal.h"

namespace platform {

using namespace host;
using namespace host::detail;

namespace {

Module const kMainModule = reinterpret_cast<Module>(0x00400000);
Module const kKernel32 = reinterpret_cast<Module>(0x7C800000);
Handle const kProcessHeap = reinterpret_cast<Handle>(0x00140000);
uintptr_t g_nextModule = 0x10000000;
constexpr u64 kMaxBlockBytes = 0x7FFFFFFFull;  // what a 32-bit process could ever get
constexpr u32 kDefaultDllDirectoryFlags = 0x200 | 0x400 | 0x800 | 0x1000;

// Copies `text` with its NUL when it fits `capacity`; returns the GetTempPathW-style result.
u32 CopyOrSize(const std::u16string& text, WChar* buffer, u32 capacity) {
    const auto length = static_cast<u32>(text.size());
    if (buffer == nullptr || capacity <= length) return length + 1;
    std::copy(text.begin(), text.end(), buffer);
    buffer[length] = 0;
    return length;
}

std::u16string LastComponent(const std::u16string& path) {
    const size_t cut = path.find_last_of(u"\\/");
    return cut == std::u16string::npos ? path : path.substr(cut + 1);
}

std::u16string FolderOf(const std::u16string& path) {
    const size_t cut = path.find_last_of(u"\\/");
    return cut == std::u16string::npos ? std::u16string() : path.substr(0, cut);
}

bool IsKernel32Name(const std::u16string& name) {
    const std::u16string last = FoldCase(LastComponent(name));
    return last == u"KERNEL32.DLL" || last == u"KERNEL32";
}

// kernel32 procedures found by GetProcAddress.
Bool PLATFORM_API HostSetDllDirectoryW(const WChar* path) {
    if (Enter(host::Call::SetDllDirectoryW, FromZ(path))) return 0;
    RunResult& result = Current().result;
    result.dllDirectoryCalls.push_back(FromZ(path));
    result.dllDirectoryCallNull.push_back(path == nullptr);
    return 1;
}

Bool PLATFORM_API HostSetDefaultDllDirectories(u32 flags) {
    if (Enter(host::Call::SetDefaultDllDirectories)) return 0;
    Context& context = Current();
    context.result.defaultDllDirectoryFlags.push_back(flags);
    if (flags == 0 || (flags & ~kDefaultDllDirectoryFlags) != 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    context.systemOnlyDllSearch = flags == LOAD_LIBRARY_SEARCH_SYSTEM32;
    return 1;
}

u32 PLATFORM_API HostGetTempPath2W(u32 capacity, WChar* buffer) {
    if (Enter(host::Call::GetTempPath2W)) return 0;
    return CopyOrSize(Current().env.systemTempFolder, buffer, capacity);
}

Bool PLATFORM_API HostAttachConsole(u32) {
    if (Enter(host::Call::AttachConsole)) return 0;
    Current().result.attachedConsole = true;
    return 1;
}

}  // namespace

// ---- folders ----------------------------------------------------------------------------------

u32 GetTempPathW(u32 capacity, WChar* buffer) {
    if (Enter(host::Call::GetTempPathW)) return 0;
    return CopyOrSize(Current().env.tempFolder, buffer, capacity);
}

u32 GetSystemDirectoryW(WChar* buffer, u32 capacity) {
    if (Enter(host::Call::GetSystemDirectoryW)) return 0;
    return CopyOrSize(Current().env.systemFolder, buffer, capacity);
}

u32 GetTempFileNameW(const WChar* folder, const WChar* prefix, u32 unique, WChar* out) {
    const std::u16string folderText = FromZ(folder);
    if (Enter(host::Call::GetTempFileNameW, folderText)) return 0;
    if (folder == nullptr || out == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Windows refuses folders longer than MAX_PATH - 14, whatever the name would be.
    if (folderText.size() > kMaxPathChars - 14) {
        SetError(ERROR_BUFFER_OVERFLOW);
        return 0;
    }
    const Resolved resolved = ResolveHere(folderText);
    if (resolved.error != ERROR_SUCCESS) {
        SetError(resolved.error);
        return 0;
    }
    if (!resolved.exists) {
        SetError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    if (!resolved.isDirectory) {
        SetError(ERROR_DIRECTORY);
        return 0;
    }
    std::u16string base = folderText;
    if (!base.empty() && base.back() != u'\\' && base.back() != u'/') base += u'\\';
    base += FromZ(prefix).substr(0, 3);  // Windows uses at most three characters of the prefix
    auto nameFor = [&](u32 number) {
        static const char16_t kHex[] = u"0123456789ABCDEF";
        std::u16string hex;
        for (u32 n = number; n != 0; n >>= 4) hex.insert(hex.begin(), kHex[n & 0xF]);
        if (hex.empty()) hex = u"0";
        return base + hex + u".tmp";
    };
    auto store = [&](const std::u16string& path) {
        std::copy(path.begin(), path.end(), out);
        out[path.size()] = 0;
    };
    if (unique != 0) {  // only the name: nothing is created
        unique &= 0xFFFF;
        store(nameFor(unique));
        return unique;
    }
    const u32 start = Current().env.tempFileStart != 0 ? (Current().env.tempFileStart - 1) % 0xFFFF + 1
                                                        : std::uniform_int_distribution<u32>(1, 0xFFFF)(Current().random);
    for (u32 k = 0; k < 0xFFFF; ++k) {
        const u32 number = (start - 1 + k) % 0xFFFF + 1;
        const std::u16string path = nameFor(number);
        const Resolved candidate = ResolveHere(path);
        if (candidate.error != ERROR_SUCCESS) {
            SetError(candidate.error);
            return 0;
        }
        if (candidate.exists) continue;
        Store& files = Current().sandbox->store();
        int fd = -1;
        if (const int error = files.Open(candidate.linuxPath, O_WRONLY | O_CREAT | O_EXCL, fd)) {
            if (error == EEXIST) continue;
            SetError(error == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED);
            return 0;
        }
        files.Close(fd);
        store(path);
        return number;
    }
    SetError(ERROR_FILE_EXISTS);
    return 0;
}

// ---- modules ----------------------------------------------------------------------------------

u32 GetModuleFileNameW(Module module, WChar* buffer, u32 capacity) {
    if (Enter(host::Call::GetModuleFileNameW)) return 0;
    Context& context = Current();
    std::u16string path;
    if (module == nullptr || module == kMainModule) {
        path = context.env.modulePath;
    } else if (module == kKernel32) {
        path = context.env.systemFolder + u"\\kernel32.dll";
    } else {
        auto it = context.modules.find(reinterpret_cast<uintptr_t>(module));
        if (it == context.modules.end()) {
            SetError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = it->second;
    }
    if (capacity == 0 || buffer == nullptr) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const auto length = static_cast<u32>(path.size());
    if (length < capacity) {
        std::copy(path.begin(), path.end(), buffer);
        buffer[length] = 0;
        SetError(ERROR_SUCCESS);
        return length;
    }
    std::copy(path.begin(), path.begin() + (capacity - 1), buffer);  // cut, as modern Windows does
    buffer[capacity - 1] = 0;
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return capacity;
}

Module GetModuleHandleW(const WChar* name) {
    const std::u16string text = FromZ(name);
    if (Enter(host::Call::GetModuleHandleW, text)) return nullptr;
    if (name == nullptr) return kMainModule;
    if (IsKernel32Name(text)) return kKernel32;
    Context& context = Current();
    const std::u16string folded = FoldCase(LastComponent(text));
    for (const auto& [value, path] : context.modules)
        if (FoldCase(LastComponent(path)) == folded) return reinterpret_cast<Module>(value);
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FarProc GetProcAddress(Module module, const char* name) {
    const bool byOrdinal = reinterpret_cast<uintptr_t>(name) < 0x10000;
    const std::string nameText = byOrdinal || name == nullptr ? std::string() : std::string(name);
    if (Enter(host::Call::GetProcAddress, Utf16(nameText))) return nullptr;
    if (module == kKernel32 && !byOrdinal &&
        Current().env.missingKernel32Exports.count(nameText) == 0) {
        if (nameText == "SetDllDirectoryW") return reinterpret_cast<FarProc>(&HostSetDllDirectoryW);
        if (nameText == "SetDefaultDllDirectories")
            return reinterpret_cast<FarProc>(&HostSetDefaultDllDirectories);
        if (nameText == "AttachConsole") return reinterpret_cast<FarProc>(&HostAttachConsole);
        if (nameText == "GetTempPath2W" && !Current().env.systemTempFolder.empty())
            return reinterpret_cast<FarProc>(&HostGetTempPath2W);
    }
    SetError(module == kKernel32 || module == kMainModule ||
                     Current().modules.count(reinterpret_cast<uintptr_t>(module))
                 ? ERROR_PROC_NOT_FOUND
                 : ERROR_MOD_NOT_FOUND);
    return nullptr;
}

Module LoadLibraryW(const WChar* path) {
    const std::u16string text = FromZ(path);
    if (Enter(host::Call::LoadLibraryW, text)) return nullptr;
    Context& context = Current();
    context.result.loadedLibraries.push_back(text);
    if (path == nullptr || text.empty()) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A bare name is searched for: the module's folder (unless the search was restricted to the
    // system folder), then the system folder.
    std::vector<std::u16string> candidates;
    if (text.find_first_of(u"\\/:") == std::u16string::npos) {
        if (!context.systemOnlyDllSearch)
            candidates.push_back(FolderOf(context.env.modulePath) + u"\\" + text);
        candidates.push_back(context.env.systemFolder + u"\\" + text);
    } else {
        candidates.push_back(text);
    }
    for (const auto& candidate : candidates) {
        const Resolved resolved = ResolveHere(candidate);
        if (resolved.error != ERROR_SUCCESS || !resolved.exists || resolved.isDirectory) continue;
        auto it = context.moduleByLinuxPath.find(resolved.linuxPath);
        if (it != context.moduleByLinuxPath.end()) return reinterpret_cast<Module>(it->second);
        const uintptr_t value = g_nextModule;
        g_nextModule += 0x10000;
        context.modules[value] = candidate;
        context.moduleByLinuxPath[resolved.linuxPath] = value;
        return reinterpret_cast<Module>(value);
    }
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// ---- resources --------------------------------------------------------------------------------

namespace {

// The resource a handle from FindResourceW stands for (a value of the run's resource map), or
// null for anything else (counted as a misuse).
const std::string* ResourceOf(const void* handle) {
    Context& context = Current();
    for (const auto& entry : context.env.resources)
        if (&entry.second == handle) return &entry.second;
    ++context.result.invalidHandleUses;
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
}

}  // namespace

ResourceInfo FindResourceW(Module module, const WChar* name, const WChar* type) {
    const auto nameId = reinterpret_cast<uintptr_t>(name);
    const auto typeId = reinterpret_cast<uintptr_t>(type);
    if (Enter(host::Call::FindResourceW, nameId < 0x10000 ? Utf16(std::to_string(nameId)) : FromZ(name))) return nullptr;
    const auto& resources = Current().env.resources;
    if ((module != nullptr && module != kMainModule) || typeId >= 0x10000) {
        SetError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    bool typeFound = false;
    for (const auto& [key, data] : resources) {
        if (key.first != typeId) continue;
        typeFound = true;
        if (key.second == nameId) return const_cast<std::string*>(&data);
    }
    SetError(typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

Handle LoadResource(Module, ResourceInfo resource) {
    if (Enter(host::Call::LoadResource)) return nullptr;
    return ResourceOf(resource) == nullptr ? nullptr : resource;
}

const void* LockResource(Handle loaded) {
    if (Enter(host::Call::LockResource)) return nullptr;
    const std::string* data = ResourceOf(loaded);
    return data == nullptr ? nullptr : data->data();
}

u32 SizeofResource(Module, ResourceInfo resource) {
    if (Enter(host::Call::SizeofResource)) return 0;
    const std::string* data = ResourceOf(resource);
    return data == nullptr ? 0 : static_cast<u32>(data->size());
}

// ---- threads and processes ------------------------------------------------------------------

Bool GetExitCodeProcess(Handle process, u32* exitCode) {
    if (Enter(host::Call::GetExitCodeProcess)) return 0;
    Object* object = FindObject(process, ObjectKind::Process);
    if (object == nullptr) {
        ++Current().result.invalidHandleUses;
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (exitCode != nullptr)
        *exitCode = object->outcome.stillRunning ? STILL_ACTIVE : object->outcome.exitCode;
    return 1;
}

// ---- heaps ------------------------------------------------------------------------------------

Handle GetProcessHeap() {
    if (Enter(host::Call::GetProcessHeap)) return nullptr;
    return kProcessHeap;
}

namespace {

void* Allocate(std::map<void*, size_t>& blocks, size_t bytes, bool zero) {
    Context& context = Current();
    const uint64_t limit = context.counting ? context.faults.heapLimit : 0;
    if (bytes > kMaxBlockBytes || (limit != 0 && context.liveHeapBytes + bytes > limit)) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* block = zero ? std::calloc(1, std::max<size_t>(bytes, 1))
                       : std::malloc(std::max<size_t>(bytes, 1));
    if (block == nullptr) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    blocks[block] = bytes;
    context.liveHeapBytes += bytes;
    return block;
}
}  // namespace

void* HeapAlloc(Handle heap, u32 flags, size_t bytes) {
    if (Enter(host::Call::HeapAlloc, {}, {}, true)) return nullptr;
    if (heap != kProcessHeap) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return Allocate(Current().processBlocks, bytes, (flags & HEAP_ZERO_MEMORY) != 0);
}

Bool HeapFree(Handle heap, u32, void* block) {
    if (Enter(host::Call::HeapFree)) return 0;
    if (block == nullptr) return 1;
    Context& context = Current();
    auto it = context.processBlocks.find(block);
    if (heap != kProcessHeap || it == context.processBlocks.end()) {
        ++context.result.invalidFrees;
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::free(block);
    context.liveHeapBytes -= it->second;
    context.processBlocks.erase(it);
    return 1;
}

void* StubHeapAlloc(size_t bytes) {
    if (Enter(host::Call::StubHeapAlloc, {}, {}, true)) return nullptr;
    return Allocate(Current().stubBlocks, bytes, false);
}

void StubHeapFree(void* block) {
    if (Enter(host::Call::StubHeapFree)) return;
    if (block == nullptr) return;
    Context& context = Current();
    auto it = context.stubBlocks.find(block);
    if (it == context.stubBlocks.end()) {
        ++context.result.invalidFrees;
        return;
    }
    std::free(block);
    context.liveHeapBytes -= it->second;
    context.stubBlocks.erase(it);
}

// ---- the run's log --------------------------------------------------------------------------

u32 GetEnvironmentVariableW(const WChar* name, WChar* buffer, u32 capacity) {
    const std::u16string key = FoldCase(FromZ(name));
    if (Enter(host::Call::GetEnvironmentVariableW, key)) return 0;
    for (const auto& [variable, value] : Current().env.variables) {
        if (FoldCase(variable) == key) return CopyOrSize(value, buffer, capacity);
    }
    SetError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
}

void GetSystemTime(SystemTime* time) {
    Enter(host::Call::GetSystemTime, {}, {}, false, false);  // cannot fail on Windows
    const Context& context = Current();
    const int64_t ms = context.env.systemTimeAtStart * 1000 + (context.clockMs - 1000000u);
    const time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    *time = SystemTime{static_cast<u16>(utc.tm_year + 1900), static_cast<u16>(utc.tm_mon + 1),
                       static_cast<u16>(utc.tm_wday), static_cast<u16>(utc.tm_mday),
                       static_cast<u16>(utc.tm_hour), static_cast<u16>(utc.tm_min),
                       static_cast<u16>(utc.tm_sec), static_cast<u16>(ms % 1000)};
}

// Windows' English texts for the errors the stub's tests meet; any other error has none here.
u32 FormatMessageW(u32 flags, const void*, u32 messageId, u32, WChar* buffer, u32 capacity, void*) {
    if (Enter(host::Call::FormatMessageW)) return 0;
    static const std::map<u32, std::u16string> kTexts = {
        {ERROR_FILE_NOT_FOUND, u"The system cannot find the file specified.\r\n"},
        {ERROR_PATH_NOT_FOUND, u"The system cannot find the path specified.\r\n"},
        {ERROR_ACCESS_DENIED, u"Access is denied.\r\n"},
        {ERROR_READ_FAULT, u"The system cannot read from the specified device.\r\n"},
        {ERROR_SHARING_VIOLATION, u"The process cannot access the file because it is being used by another process.\r\n"},
        {ERROR_HANDLE_DISK_FULL, u"The disk is full.\r\n"},
        {ERROR_DISK_FULL, u"There is not enough space on the disk.\r\n"},
        {ERROR_BAD_EXE_FORMAT, u"%1 is not a valid Win32 application.\r\n"},
        {ERROR_VIRUS_INFECTED, u"Operation did not complete successfully because the file contains a virus or potentially unwanted software.\r\n"},
        {ERROR_VIRUS_DELETED, u"This file contains a virus or potentially unwanted software and cannot be opened. Due to the nature of this virus or potentially unwanted software, the file has been removed from this location.\r\n"},
        {ERROR_ACCESS_DISABLED_NO_SAFER_UI_BY_POLICY, u"Access to %1 has been restricted by your Administrator by the default software restriction policy level.\r\n"},
        {ERROR_ACCESS_DISABLED_BY_POLICY, u"This program is blocked by group policy. For more information, contact your system administrator.\r\n"},
    };
    const auto found = kTexts.find(messageId);
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || found == kTexts.end()) {
        SetError(317);  // ERROR_MR_MID_NOT_FOUND
        return 0;
    }
    if (buffer == nullptr || capacity <= found->second.size()) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return CopyOrSize(found->second, buffer, capacity);
}

// ---- command line and text ------------------------------------------------------------------

WChar* GetCommandLineW() {
    Enter(host::Call::GetCommandLineW, {}, {}, false, false);  // never fails on Windows
    return Current().commandLine.data();
}

namespace {

// Decodes UTF-8 as Windows does: each maximal ill-formed subpart becomes one U+FFFD.
std::u16string DecodeUtf8(const unsigned char* s, size_t n, bool& invalid) {
    std::u16string out;
    out.reserve(n);
    invalid = false;
    size_t i = 0;
    while (i < n) {
        const unsigned char b = s[i];
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            ++i;
            continue;
        }
        size_t need;
        unsigned char lo = 0x80, hi = 0xBF;
        uint32_t c;
        if (b >= 0xC2 && b <= 0xDF) { need = 1; c = b & 0x1F; }
        else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            c = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            c = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out += u'\uFFFD';
            invalid = true;
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (size_t k = 0; k < need; ++k, ++j) {
            const unsigned char lower = k == 0 ? lo : 0x80, upper = k == 0 ? hi : 0xBF;
            if (j >= n || s[j] < lower || s[j] > upper) {
                ok = false;
                break;
            }
            c = (c << 6) | (s[j] & 0x3F);
        }
        if (!ok) {
            out += u'\uFFFD';
            invalid = true;
            i = j;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i = j;
    }
    return out;
}

}  // namespace

i32 MultiByteToWideChar(u32 codePage, u32 flags, const char* bytes, i32 byteCount, WChar* out,
                        i32 capacity) {
    if (Enter(host::Call::MultiByteToWideChar)) return 0;
    if (codePage != CP_UTF8 || bytes == nullptr || byteCount == 0 || byteCount < -1 ||
        capacity < 0 || (capacity > 0 && out == nullptr)) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if ((flags & ~MB_ERR_INVALID_CHARS) != 0) {
        SetError(ERROR_INVALID_FLAGS);
        return 0;
    }
    const size_t length = byteCount == -1 ? std::strlen(bytes) + 1 : static_cast<size_t>(byteCount);
    bool invalid = false;
    const std::u16string text = DecodeUtf8(reinterpret_cast<const unsigned char*>(bytes), length,
                                           invalid);
    if (invalid && (flags & MB_ERR_INVALID_CHARS)) {
        SetError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    const auto needed = static_cast<i32>(text.size());
    if (capacity == 0) return needed;
    if (needed > capacity) {
        std::copy(text.begin(), text.begin() + capacity, out);  // Windows fills what fits
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(text.begin(), text.end(), out);
    return needed;
}

}  // namespace platform
