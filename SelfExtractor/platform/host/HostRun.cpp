// Runs, their contexts, call counting and fault injection, handles and the release of what a run
// leaves behind.
#include <cstdlib>
#include <stdexcept>

#include "platform/host/HostInternal.h"

namespace platform::host {

using namespace detail;

const char* CallName(Call call) {
    static const char* const kNames[] = {
        "CreateFileW", "ReadFile", "WriteFile", "SetFilePointer", "CloseHandle", "DeleteFileW",
        "CopyFileW", "GetFileAttributesW", "SetFileAttributesW", "FindFirstFileW",
        "FindFirstFileExW", "FindNextFileW", "FindClose", "CreateDirectoryW",
        "RemoveDirectoryW", "GetTempPathW", "GetTempFileNameW", "GetSystemDirectoryW",
        "GetModuleFileNameW", "GetModuleHandleW", "GetProcAddress", "LoadLibraryW", "CreateThread",
        "WaitForSingleObject", "GetExitCodeProcess", "HeapAlloc", "HeapFree", "GetProcessHeap",
        "GetCommandLineW", "MultiByteToWideChar", "StubHeapAlloc", "StubHeapFree",
        "ShellExecuteExW", "CommandLineToArgvW", "PathAppendW", "CoCreateGuid",
        "StringFromGUID2", "GetMessageW", "GetForegroundWindow", "SetDllDirectoryW",
        "SetDefaultDllDirectories", "AttachConsole", "CreateEventW", "SetEvent",
        "GetFileInformationByHandle", "GetFileInformationByHandleEx", "SetFileInformationByHandle",
        "GetFullPathNameW", "OpenProcessToken", "GetTokenInformation", "ConvertSidToStringSidW",
        "ConvertStringSecurityDescriptorToSecurityDescriptorW", "LocalFree", "GetTempPath2W",
        "CreateToolhelp32Snapshot", "Process32FirstW", "Process32NextW", "OpenProcess",
        "WaitForMultipleObjects", "GetTickCount", "CreateJobObjectW", "AssignProcessToJobObject",
        "QueryInformationJobObject", "QueryFullProcessImageNameW", "GetFinalPathNameByHandleW",
        "CompareStringOrdinal", "FindResourceW", "LoadResource", "LockResource", "SizeofResource",
        "GetProcessWindowStation", "GetUserObjectInformationW", "MessageBoxW", "RegisterClassExW",
        "CreateWindowExW", "GetSystemInfo", "GetEnvironmentVariableW", "GetSystemTime", "FormatMessageW",
        "GetDiskFreeSpaceExW", "GetDiskFreeSpaceW",
        "NtCreateFile", "NtQueryInformationFile",
        "GetVolumeInformationByHandleW", "GetLongPathNameW"};
    static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<size_t>(Call::Count_));
    const auto index = static_cast<size_t>(call);
    return index < static_cast<size_t>(Call::Count_) ? kNames[index] : "?";
}

uint64_t RunResult::CountOf(Call call) const {
    uint64_t count = 0;
    for (const auto& record : calls)
        if (record.call == call) ++count;
    return count;
}

namespace detail {

namespace {

Context* g_current = nullptr;
Sandbox* g_defaultSandbox = nullptr;
std::unique_ptr<Sandbox> g_ownDefaultSandbox;
uintptr_t g_nextHandle = 0x10000;
bool g_defaultMade = false;

Context& DefaultContext() {
    static Context context;
    if (context.sandbox == nullptr) {
        if (g_defaultSandbox == nullptr) {
            g_ownDefaultSandbox = std::make_unique<Sandbox>();
            g_defaultSandbox = g_ownDefaultSandbox.get();
        }
        context.sandbox = g_defaultSandbox;
        context.commandLine = context.env.commandLine;
        g_defaultMade = true;
    }
    return context;
}

}  // namespace

Context& Current() { return g_current ? *g_current : DefaultContext(); }

namespace {
std::vector<const Context*> LiveContexts() {
    std::vector<const Context*> live;
    for (const Context* context = g_current; context != nullptr; context = context->outer)
        live.push_back(context);
    if (g_defaultMade) live.push_back(&DefaultContext());
    return live;
}
}  // namespace

std::vector<const Object*> OpenFiles() {
    std::vector<const Object*> files;
    for (const Context* context : LiveContexts())
        for (const auto& [value, object] : context->objects)
            if (object.kind == ObjectKind::File) files.push_back(&object);
    return files;
}

std::vector<std::string> RunningModules() {
    std::vector<std::string> modules;
    for (const Context* context = g_current; context != nullptr; context = context->outer) {
        const Resolved module = Resolve(context->sandbox->store(), context->env.currentDirectory,
                                        context->env.modulePath);
        if (module.error == ERROR_SUCCESS && module.exists) modules.push_back(module.linuxPath);
    }
    return modules;
}

Context::~Context() {
    StopThreads(*this);
    ReleaseAll();
}

void Context::ReleaseAll() {
    for (auto& [value, object] : objects) CloseObject(object);
    objects.clear();
    for (auto& [block, size] : processBlocks) std::free(block);
    processBlocks.clear();
    for (auto& [block, size] : stubBlocks) std::free(block);
    stubBlocks.clear();
    for (auto& [block, text] : localBlocks) std::free(block);
    localBlocks.clear();
    liveHeapBytes = 0;
    argvBlocks.clear();
}

void SetError(u32 error) { Current().lastError = error; }

bool Enter(Call call, const std::u16string& path, const std::u16string& path2, bool allocation,
           bool failable) {
    SchedulePoint();
    Context& context = Current();
    if (!context.counting) return false;
    RunResult& result = context.result;
    const uint64_t nth = ++result.callCount;
    const uint64_t nthOfKind = ++context.kindCounts[static_cast<size_t>(call)];
    uint64_t nthAllocation = 0;
    if (allocation) nthAllocation = ++result.allocationCount;
    const Faults& faults = context.faults;
    bool fail = failable && ((faults.failNthCall != 0 && faults.failNthCall == nth) ||
                      (faults.nthOfKind == call && faults.failNthOfKind == nthOfKind) ||
                      faults.failEvery.count(call) != 0 ||
                      (allocation && faults.failNthAllocation != 0 &&
                       faults.failNthAllocation == nthAllocation));
    result.calls.push_back(CallRecord{call, path, path2, fail, context.clockMs});
    if (faults.beforeCall) faults.beforeCall(result.calls.back());
    CallRecord& record = result.calls.back();
    if (failable && !fail && faults.failWhen && faults.failWhen(record)) {
        fail = true;
        record.failedByInjection = true;
    }
    if (fail) context.lastError = faults.lastError;
    return fail;
}

std::u16string LongForm(const Environment& env, const std::u16string& path) {
    const size_t prefix = path.compare(0, 4, u"\\\\?\\") == 0 ? 4 : 0;  // "\\?\" paths too
    const std::u16string folded = FoldCase(path.substr(prefix));
    for (const auto& [alias, folder] : env.shortNames) {
        const std::u16string key = FoldCase(alias);
        if (folded.compare(0, key.size(), key) == 0 &&
            (folded.size() == key.size() || folded[key.size()] == u'\\'))
            return path.substr(0, prefix) + folder + path.substr(prefix + key.size());
    }
    return path;
}

Resolved ResolveHere(const std::u16string& path, bool wildcardLast) {
    // Without the "\\?\" prefix, a path of MAX_PATH units or more is refused, as for every
    // program that does not declare itself long-path aware.
    const bool prefixed = path.size() >= 4 && path.compare(0, 4, u"\\\\?\\") == 0;
    if (!prefixed && path.size() >= kMaxPathChars) {
        Resolved refused;
        refused.error = ERROR_PATH_NOT_FOUND;
        return refused;
    }
    Context& context = Current();
    return Resolve(context.sandbox->store(), context.env.currentDirectory,
                   LongForm(context.env, path), wildcardLast);
}

Handle NewObject(Object object) {
    const uintptr_t value = g_nextHandle;
    g_nextHandle += 4;
    Current().objects.emplace(value, std::move(object));
    return reinterpret_cast<Handle>(value);
}

Object* FindObject(Handle handle, ObjectKind kind) {
    Context& context = Current();
    auto it = context.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == context.objects.end() || it->second.kind != kind) return nullptr;
    return &it->second;
}

void CloseObject(Object& object) {
    if (object.fd >= 0 && object.store != nullptr) object.store->Close(object.fd);
    object.fd = -1;
}

}  // namespace detail

bool InRun() { return g_current != nullptr; }

void SetDefaultSandbox(Sandbox* sandbox) {
    g_defaultSandbox = sandbox;
    DefaultContext().sandbox = nullptr;  // picked again: this one, or a private one when null
    DefaultContext();
}

void SetDefaultEnvironment(const Environment& env) {
    Context& context = DefaultContext();
    context.env = env;
    context.commandLine = env.commandLine;
    context.programsByKey.clear();
    for (const auto& [path, program] : env.programs)
        context.programsByKey[PathKey(env.currentDirectory, path)] = program;
}

RunResult Run(Sandbox& sandbox, const Environment& env, const std::function<void()>& body,
              const Faults& faults) {
    Context context;
    context.sandbox = &sandbox;
    context.env = env;
    context.faults = faults;
    context.counting = true;
    context.result.calls.reserve(1024);  // a whole run's calls, without regrowing
    context.commandLine = env.commandLine;
    if (env.randomSeed != 0) context.random.seed(env.randomSeed);
    for (const auto& [path, program] : env.programs) {
        const std::u16string key = PathKey(env.currentDirectory, LongForm(env, path));
        if (key.empty()) throw std::invalid_argument("malformed program path: " + Utf8(path));
        context.programsByKey[key] = program;
    }
    if (env.createFolders) {  // where it can: a test may give a folder that cannot exist
        for (const std::u16string* folder :
             {&env.currentDirectory, &env.tempFolder, &env.systemFolder})
            if (!folder->empty())
                MakeFolders(sandbox.store(), env.currentDirectory, LongForm(env, *folder));
    }

    Context* const outer = g_current;
    context.outer = outer;
    g_current = &context;
    struct Restore {
        Context* outer;
        ~Restore() { g_current = outer; }
    } restore{outer};

    try {
        body();
    } catch (const ProcessExit& exit) {
        context.result.exited = true;
        context.result.exitCode = exit.code;
    } catch (...) {
        StopThreads(context);
        throw;
    }
    StopThreads(context);
    RunResult& result = context.result;
    result.clockAtEnd = context.clockMs;
    result.handlesLeft = context.objects.size();
    result.blocksLeft = context.processBlocks.size() + context.stubBlocks.size() +
                        context.localBlocks.size();
    context.ReleaseAll();
    return std::move(result);
}

}  // namespace platform::host

namespace platform {

using namespace host;
using namespace host::detail;

u32 GetLastError() { return Current().lastError; }
void SetLastError(u32 error) { Current().lastError = error; }

void NoteFailureReason(u32 reason, u32 detail) {
    Current().result.notes.push_back(host::FailureNote{reason, detail});
}

void ExitProcess(u32 exitCode) { throw host::ProcessExit{exitCode}; }

}  // namespace platform
