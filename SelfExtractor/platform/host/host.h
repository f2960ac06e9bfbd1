// The host backend: the platform layer on Linux, for unit tests, fuzzing and the tools.
//
// Windows paths map onto a sandbox folder of real files: "C:\a\b" is <sandbox>/C/a/b. Both "\" and
// "/" separate, names compare case-insensitively (an existing entry is found whatever the case),
// trailing dots and spaces of a component are dropped, as Windows does.
//
// Paths resolve lexically first: "." drops, ".." never climbs above the drive root (nothing leaves
// the sandbox), a relative path starts at Environment::currentDirectory. A component holding ':' or
// naming a device (CON, NUL, COM1, ...) fails with ERROR_INVALID_NAME; a path of MAX_PATH units or
// more (without "\\?\") fails with ERROR_PATH_NOT_FOUND. Open files keep Windows' locks: no
// delete sharing (DeleteFileW fails while a handle is open, in this run or in a run it is nested
// in), share modes checked on open, a running module's file cannot be written or deleted, the
// current folder cannot be removed. FindFirstFileW and FindFirstFileExW list "." and ".." outside
// a drive root, as NTFS does, from a snapshot taken when the listing opens.
//
// FILE_ATTRIBUTE_READONLY is the absence of every write bit in the entry's Linux mode (a test can
// chmod a-w a file): DeleteFileW, RemoveDirectoryW and opening for writing then fail with
// ERROR_ACCESS_DENIED until SetFileAttributesW clears it. A Linux symbolic link is a link, as a
// Windows junction or symbolic link is: a link to a folder is reported as Wine reports it,
// FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT (0x410), any other link as Windows
// reports a file link, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT (0x420); RemoveDirectoryW
// on a folder link and DeleteFileW on a file link remove the link itself, as Windows does (Wine
// removes or empties the target instead), and SetFileAttributesW on a link changes nothing. GetTempFileNameW uses at most three characters of the
// prefix and refuses folders longer than MAX_PATH - 14 units (ERROR_BUFFER_OVERFLOW), as Windows
// documents. Text routines follow Windows exactly: MultiByteToWideChar (one U+FFFD per maximal
// ill-formed subpart), CommandLineToArgvW (modern quoting: "" inside quotes is a quote),
// PathAppendW (shlwapi's combine and canonicalize; a UNC or drive path replaces the base).
//
// A test describes the machine in an Environment, runs code with Run(), and gets the exit code
// that the code passed to ExitProcess (which unwinds with an exception here). After each run the
// backend releases every handle and heap block the run left behind.
//
// A sandbox may keep its files in memory instead (Storage::Memory): the same calls, names, locks,
// attributes, links, errors and faults, over a tree of its own, with a chosen free space. Every
// rule above lives once, in the backend's calls; the two stores only keep the bytes and names.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform::host {

// Kinds of platform call, for fault injection and call counting.
enum class Call {
    CreateFileW, ReadFile, WriteFile, SetFilePointer, CloseHandle, DeleteFileW, CopyFileW,
    GetFileAttributesW, SetFileAttributesW, FindFirstFileW, FindFirstFileExW, FindNextFileW,
    FindClose, CreateDirectoryW, RemoveDirectoryW,
    GetTempPathW, GetTempFileNameW, GetSystemDirectoryW, GetModuleFileNameW, GetModuleHandleW,
    GetProcAddress, LoadLibraryW, CreateThread, WaitForSingleObject, GetExitCodeProcess,
    HeapAlloc, HeapFree, GetProcessHeap, GetCommandLineW, MultiByteToWideChar, StubHeapAlloc,
    StubHeapFree, ShellExecuteExW, CommandLineToArgvW, PathAppendW,
    CoCreateGuid, StringFromGUID2, GetMessageW, GetForegroundWindow, SetDllDirectoryW,
    SetDefaultDllDirectories, AttachConsole, CreateEventW, SetEvent,
    // Files and folders by handle, the token and security descriptors.
    GetFileInformationByHandle, GetFileInformationByHandleEx, SetFileInformationByHandle,
    GetFullPathNameW, OpenProcessToken, GetTokenInformation, ConvertSidToStringSidW,
    ConvertStringSecurityDescriptorToSecurityDescriptorW, LocalFree, GetTempPath2W,
    // Other processes, jobs, time.
    CreateToolhelp32Snapshot, Process32FirstW, Process32NextW, OpenProcess, WaitForMultipleObjects,
    GetTickCount, CreateJobObjectW, AssignProcessToJobObject, QueryInformationJobObject,
    QueryFullProcessImageNameW, GetFinalPathNameByHandleW, CompareStringOrdinal,
    // Resources of the run's own module.
    FindResourceW, LoadResource, LockResource, SizeofResource,
    // Windows.
    GetProcessWindowStation, GetUserObjectInformationW, MessageBoxW, RegisterClassExW,
    CreateWindowExW,
    // Processors.
    GetSystemInfo,
    // The run's log and the free space.
    GetEnvironmentVariableW, GetSystemTime, FormatMessageW, GetDiskFreeSpaceExW, GetDiskFreeSpaceW,
    // Folders created with their handle, file IDs and names, the volume (ntdll and kernel32).
    NtCreateFile, NtQueryInformationFile, GetVolumeInformationByHandleW, GetLongPathNameW,
    Count_
};
const char* CallName(Call call);

// What a started program sees and does. Registered per full Windows path (matched
// case-insensitively after path normalisation).
struct ProcessStart {
    std::u16string file;        // lpFile as given
    std::u16string parameters;  // lpParameters (empty when null)
    bool parametersNull = true;
    std::u16string directory;   // lpDirectory (empty when null)
    std::u16string verb;
    int32_t show = 0;
    Window owner = nullptr;
    u32 mask = 0;
};
// A process a started program leaves running when it ends (a bootstrapper's real installer, the
// installed application, a helper started through a service).
struct Spawned {
    std::u16string image;      // its program's full Windows path
    u32 runsForMs = 0;         // on the run's clock, from the start of the program that spawned it
    bool descendant = true;    // false: started by someone else (a service, a scheduled task)
};
struct ProcessOutcome {
    u32 exitCode = 0;
    bool stillRunning = false;  // the wait times out (or, with INFINITE, the test hangs: don't)
    std::vector<Spawned> spawns;
};
using Program = std::function<ProcessOutcome(const ProcessStart&)>;

// The process's token, as GetTokenInformation reports it.
struct Token {
    bool elevated = false;                // TokenElevation
    u32 integrityLevel = 0x2000;          // the label's RID: 0x2000 medium, 0x3000 high, 0x4000 system
    std::u16string user = u"S-1-5-21-1004336348-1177238915-682003330-1001";  // TokenUser
};

// A folder made with a security descriptor: the SDDL text the descriptor was converted from.
struct FolderSecurity {
    std::u16string path;  // as CreateDirectoryW was given it (NtCreateFile's without "\??\")
    std::u16string sddl;
};

// The machine a run sees. Every field has a usable default; a test changes what it needs.
struct Environment {
    std::u16string modulePath = u"C:\\stub\\SelfExtractor.exe";
    std::u16string tempFolder = u"C:\\Temp\\";  // GetTempPathW result, trailing backslash kept
    std::u16string systemFolder = u"C:\\Windows\\System32";
    std::u16string commandLine = u"\"C:\\stub\\SelfExtractor.exe\"";
    // Relative paths resolve against this folder.
    std::u16string currentDirectory = u"C:\\cwd";
    // The first number GetTempFileNameW tries for a name it picks itself (0: a random one), so
    // that a run can know the length of the names it will get.
    u32 tempFileStart = 0;
    // Seeds the run's GUIDs and the names GetTempFileNameW picks (0: a random seed), so that two
    // runs can be compared name for name.
    uint32_t randomSeed = 0;
    // Run() creates the temp, current and system folders in the sandbox when they are missing.
    bool createFolders = true;
    std::set<std::string> missingKernel32Exports;  // e.g. "SetDefaultDllDirectories"
    bool guidCreationFails = false;
    bool stringFromGuidFails = false;
    Window foregroundWindow = reinterpret_cast<Window>(0x1234);
    // Programs the shell can start, by full Windows path.
    std::map<std::u16string, Program> programs;
    // A start that reports success without a process handle.
    bool shellStartGivesNoProcess = false;
    // What an existing file that is not in `programs` does when started; empty: such a start
    // fails with ERROR_ACCESS_DENIED.
    Program defaultProgram;
    // Logical processors (GetSystemInfo's dwNumberOfProcessors).
    u32 processors = 1;
    // How the run's threads take turns (one runs at a time, see HostThreads.cpp): 0, a thread runs
    // until it waits or ends; any other value seeds a generator that passes the turn at about every
    // second platform call to a thread it picks. The same seed gives the same run.
    uint32_t interleaveSeed = 0;
    // Windows before 7: FindFirstFileExW refuses FindExInfoBasic and FIND_FIRST_EX_LARGE_FETCH
    // with ERROR_INVALID_PARAMETER.
    bool findExBeforeWindows7 = false;
    Token token;
    // What kernel32's GetTempPath2W gives (Windows 11: C:\Windows\SystemTemp\ for SYSTEM, the
    // temp folder for everyone else); empty: kernel32 has no GetTempPath2W (earlier Windows, Wine).
    std::u16string systemTempFolder;
    // Wine's way with Unix links: CreateFileW follows a link even with
    // FILE_FLAG_OPEN_REPARSE_POINT, and a folder's listing gives a link the file ID of its target.
    // False: Windows' way (the handle is the link's own, and so is the listed ID).
    bool linksOpenTargets = false;
    // What GetVolumeInformationByHandleW names the file system. "ReFS" (a Dev Drive too): the
    // 64-bit file IDs (listings, FileInternalInformation, GetFileInformationByHandle) are not
    // unique, the host gives every entry the same one; the 128-bit ones (FileIdInfo,
    // FileIdExtdDirectoryInfo) are.
    std::u16string fileSystem = u"NTFS";
    // Short (8.3) aliases of folders: the full short path ("C:\Users\JOHNSM~1") and the full
    // long path it stands for ("C:\Users\John Smith"). A path that begins with an alias reaches
    // the long folder; GetLongPathNameW gives the long form. Folders have no other short names.
    std::map<std::u16string, std::u16string> shortNames;
    // The window station is visible (an interactive session); false: a service's, session 0.
    bool interactiveStation = true;
    // Windows can be made (a display); false: CreateWindowExW fails, as with no display.
    bool display = false;
    // The resources the run's own module carries, by (type, numeric name): FindResourceW(nullptr,
    // ...) finds them (any other name or module: ERROR_RESOURCE_TYPE_NOT_FOUND or
    // ERROR_RESOURCE_NAME_NOT_FOUND), LockResource gives these bytes.
    std::map<std::pair<u16, u16>, std::string> resources;
    // The process's environment variables (GetEnvironmentVariableW; names without regard to case).
    std::map<std::u16string, std::u16string> variables;
    // The volume under every path: the bytes GetDiskFreeSpaceExW gives the caller, and its cluster.
    uint64_t freeBytes = uint64_t(1) << 62;
    u32 clusterBytes = 4096;
    // GetSystemTime: this UTC time (Unix seconds) at the run's clock's start, moving on with it.
    int64_t systemTimeAtStart = 1796904000;  // 2026-12-10 12:00:00
};

struct CallRecord;

// Fault injection: which calls fail, and how.
struct Faults {
    // Fail the N-th platform call of the run (1-based, counting every call of every kind), 0: none.
    // Every call of a Call kind counts; GetCommandLineW counts but never fails (it cannot on
    // Windows), nor does ExitProcess (not counted, like GetLastError and the message calls).
    // An injected failure has no effect: the call returns its failure value (INVALID_HANDLE_VALUE,
    // FALSE, 0, null, INVALID_SET_FILE_POINTER, WAIT_FAILED, E_FAIL, -1 from GetMessageW) and
    // leaves `lastError`.
    uint64_t failNthCall = 0;
    // Fail the N-th call of one kind (1-based), 0: none.
    Call nthOfKind = Call::Count_;
    uint64_t failNthOfKind = 0;
    // Fail every call of these kinds.
    std::set<Call> failEvery;
    // Fail the N-th allocation (HeapAlloc and StubHeapAlloc together, 1-based), 0: none.
    uint64_t failNthAllocation = 0;
    // Refuse an allocation that would bring the run's live heap bytes (both heaps) above this
    // many, 0: no limit beyond the 32-bit one (a fuzzer's stand-in for a small address space).
    uint64_t heapLimit = 0;
    // Fail the calls for which this says true (it sees the call's record: kind and path).
    std::function<bool(const CallRecord&)> failWhen;
    // Runs before each counted call (with its record), before the call does anything: a test
    // changes the sandbox there as another process would between two calls (a swap of a folder
    // for a link, say).
    std::function<void(const CallRecord&)> beforeCall;
    u32 lastError = ERROR_ACCESS_DENIED;  // the last error a failed call leaves
};

// One record per platform call made during the run, in order.
struct CallRecord {
    Call call;
    std::u16string path;  // the path or name argument where the call has one
    std::u16string path2;  // the second path (CopyFileW's target)
    bool failedByInjection = false;
    u32 clock = 0;  // the run's clock (GetTickCount) when the call was made
};

// A reason the stub noted before it failed or stopped extracting (run/Failure.h).
struct FailureNote {
    u32 reason = 0;
    u32 detail = 0;
};

struct RunResult {
    u32 exitCode = 0;
    bool exited = false;       // false: the code returned without calling ExitProcess
    std::vector<FailureNote> notes;  // in the order the run made them
    uint64_t callCount = 0;    // platform calls made
    uint64_t allocationCount = 0;
    std::vector<CallRecord> calls;
    std::vector<ProcessStart> starts;       // every ShellExecuteExW that reached a program
    std::vector<std::u16string> loadedLibraries;  // LoadLibraryW arguments, in order (bare names
                                                  // search the module's folder, then the system
                                                  // folder; only the latter after
                                                  // SetDefaultDllDirectories(SEARCH_SYSTEM32))
    std::vector<std::u16string> dllDirectoryCalls;  // SetDllDirectoryW arguments (null: "")
    std::vector<bool> dllDirectoryCallNull;         // per call: the argument was null
    std::vector<u32> defaultDllDirectoryFlags;      // SetDefaultDllDirectories arguments
    std::vector<FolderSecurity> folderSecurity;     // CreateDirectoryW calls given a descriptor
    // The run's clock (GetTickCount; waits move it on) at the end, and when each spawned process
    // ends on it, by image.
    u32 clockAtEnd = 0;
    bool joinedJob = false;                         // the run put itself into a job
    struct MessageBox {
        std::u16string caption, text;
        u32 type = 0;
    };
    std::vector<MessageBox> messageBoxes;           // every MessageBoxW, in order
    std::vector<std::u16string> windows;            // the text of every window made
    bool attachedConsole = false;
    bool threadStarted = false;
    // What the run left behind (released by Run afterwards) and misuse it made.
    uint64_t handlesLeft = 0;       // open file, find, process and thread handles at the end
                                    // (the message-pump thread's handle counts too)
    uint64_t blocksLeft = 0;        // heap blocks (both heaps) not freed at the end
    uint64_t invalidHandleUses = 0; // calls given a handle that is not open (double close, ...)
    uint64_t invalidFrees = 0;      // frees of blocks that are not allocated (or of the wrong heap)
    // Calls of one kind made during the run.
    uint64_t CountOf(Call call) const;
};

namespace detail {
class Store;
}

// Where a sandbox keeps its files: real files under a fresh Linux folder, or a tree in memory
// (no system call at all: fault sweeps and fuzzers run whole runs by the thousand). Both behave
// alike through every platform call; the differential tests hold them to it.
enum class Storage { Disk, Memory };

// What a path names in a sandbox (Sandbox::KindOf).
enum class EntryKind { None, File, Folder, Link };

// The sandbox: the Windows drives, on a fresh Linux folder or in memory.
class Sandbox {
public:
    Sandbox();  // makes a fresh temporary folder; removes it on destruction
    // Storage::Disk as Sandbox(); Storage::Memory keeps everything in memory, with room for
    // `capacity` bytes of file data (beyond it writes fail with ERROR_DISK_FULL).
    explicit Sandbox(Storage storage, uint64_t capacity = UINT64_MAX);
    // Uses a folder that already exists; removes it on destruction only when `owned`.
    explicit Sandbox(const std::string& existingRoot, bool owned = false);
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    Storage storage() const { return storage_; }
    // The Linux folder of a disk sandbox (a memory sandbox has none: both throw std::logic_error).
    const std::string& root() const;
    // The Linux path of a Windows path (resolved case-insensitively as the backend does).
    std::string LinuxPath(const std::u16string& windowsPath) const;
    // The Windows path of a Linux path inside the sandbox ("<root>/C/a/b" is "C:\a\b"); empty
    // when it lies outside.
    std::u16string WindowsPath(const std::string& linuxPath) const;
    // Helpers for tests, on either storage: write a file (parents created), read one, list a
    // folder recursively (relative paths with "/", folders ending in "/"), test existence.
    void WriteFile(const std::u16string& windowsPath, const std::string& bytes) const;
    std::string ReadFile(const std::u16string& windowsPath) const;
    bool Exists(const std::u16string& windowsPath) const;
    std::vector<std::string> List(const std::u16string& windowsFolder) const;
    // Every file and folder under the sandbox root, as paths relative to it.
    std::vector<std::string> ListAll() const;
    // An entry's path relative to the root as ListAll names it ("C/Temp/ZEB1.tmp", stored case).
    std::string RelativePath(const std::u16string& windowsPath) const;
    EntryKind KindOf(const std::u16string& windowsPath) const;  // a link as itself
    void MakeFolder(const std::u16string& windowsPath) const;    // with its parents
    // Removes a file, a link (never its target) or a folder with everything in it.
    void Remove(const std::u16string& windowsPath) const;
    // A symbolic link at `windowsPath` (its folder must exist) to `windowsTarget`, which need not
    // exist; a hard link: a second name of an existing file.
    void MakeLink(const std::u16string& windowsPath, const std::u16string& windowsTarget) const;
    void MakeHardLink(const std::u16string& windowsPath, const std::u16string& existing) const;
    // The read-only attribute as SetFileAttributesW keeps it.
    void SetReadOnly(const std::u16string& windowsPath, bool readOnly) const;
    // Descriptors open in the store now (disk: all of this process's).
    size_t OpenDescriptors() const;

    detail::Store& store() const { return *store_; }

private:
    Storage storage_ = Storage::Disk;
    std::string root_;
    bool owned_ = true;
    std::unique_ptr<detail::Store> store_;
};

// Runs `body` on the given sandbox and environment with the given faults. ExitProcess inside the
// body (or in a thread it started) ends it. Threads the run started run one at a time, taking turns
// at platform calls as Environment::interleaveSeed says; those still waiting when the run ends are
// unwound and joined. Handles and heap blocks left open by the run are released afterwards. A run
// started inside another (from a Program, on the outer run's own thread) gets its own state and
// returns to the outer run's state when it ends.
RunResult Run(Sandbox& sandbox, const Environment& env, const std::function<void()>& body,
              const Faults& faults = {});

// The exception that ExitProcess throws on the host. Only Run() should catch it (outside a run,
// a tool that calls stub code catches it itself).
struct ProcessExit {
    u32 code;
};

// UTF-8 <-> UTF-16 helpers for tests and tools.
std::string Utf8(const std::u16string& text);
std::u16string Utf16(const std::string& text);

// Live state during a run, for code that needs to ask (tools): true while inside Run().
bool InRun();

// Platform calls made outside Run() (tools, test set-up) go to a default context: no counting, no
// faults, handles and blocks live until closed. Its sandbox is a fresh private one until one is
// set here (the sandbox must outlive its use); its environment is the default one until set.
void SetDefaultSandbox(Sandbox* sandbox);
void SetDefaultEnvironment(const Environment& env);

// Names as Windows compares them: each UTF-16 unit through Windows' upcase table for the whole BMP
// (generated from Unicode's data by cmake/upcase_table.py: a unit maps to its simple uppercase when
// that pair goes both ways, so "ґ" is "Ґ" but "ς" is not "Σ"; surrogates stay as they are).
char16_t FoldUnit(char16_t unit);
std::u16string FoldCase(const std::u16string& text);

// What Win32 path normalisation leaves of one component of a path without the "\\?\" prefix
// (measured under Wine, as Windows does it): the last component loses every trailing dot and
// space; any other loses one trailing dot and nothing else. So "x.\f" reaches the folder "x", while
// "x \f", "x..\f", "x .\f" and "x. \f" name folders that the same names, created as the last
// component, never became ("x"). "." and ".." are resolved before this, by the caller.
std::u16string TrimWin32Component(const std::u16string& component, bool last);

}  // namespace platform::host
