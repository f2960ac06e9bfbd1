// Internals shared by the host backend's sources: path resolution and the per-run context.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/host.h"

namespace platform::host::detail {

// ---- the files under a sandbox ----------------------------------------------------------------

// What a store says of one entry (as lstat, or fstat on a descriptor).
struct Entry {
    enum class Kind { File, Folder, Link };
    Kind kind = Kind::File;
    bool readOnly = false;  // no write bit in the entry's own mode (never for a link)
    u64 size = 0;           // a file's bytes
    u64 id = 0;             // the inode: names the entry for as long as it exists
    u64 volume = 0;
    u32 links = 1;          // names of the entry (a file's hard links)
    // FILETIME values (100 ns units since 1601): created (Linux: the status change), last read,
    // last written.
    u64 created = 0, accessed = 0, written = 0;
};

// The files under a sandbox as the backend reaches them: POSIX-shaped calls on store paths
// ("<root>/C/a/b", components as they are stored, the last one taken literally, links in the
// middle followed) with errno results, 0 when done. The Windows rules (names, sharing, attributes,
// errors) stay in the backend's callers, the same for every store. DiskStore (HostDisk.cpp) passes
// the calls to Linux under a real folder; MemoryStore (HostMemory.cpp) keeps the tree in memory.
class Store {
public:
    explicit Store(std::string root) : root_(std::move(root)) {}
    virtual ~Store() = default;
    const std::string& Root() const { return root_; }

    virtual int Lstat(const std::string& path, Entry& entry) = 0;  // the entry, a link as itself
    virtual int Stat(const std::string& path, Entry& entry) = 0;   // a link's target
    // A folder's names, without "." and "..", in no particular order.
    virtual int Names(const std::string& folder, std::vector<std::string>& names) = 0;
    // The stored name in `folder` that Windows takes for `name`: the exact bytes, else the first
    // whose FoldCase matches. False when there is none.
    virtual bool FindName(const std::string& folder, const std::u16string& name, std::string& found);
    virtual int MakeFolder(const std::string& path) = 0;
    virtual int RemoveFolder(const std::string& path) = 0;
    virtual int Unlink(const std::string& path) = 0;  // a file or a link
    // Sets or clears the read-only attribute: no write bit at all, or the owner's back when none.
    virtual int SetReadOnly(const std::string& path, bool readOnly) = 0;
    virtual int Symlink(const std::string& target, const std::string& path) = 0;
    virtual int HardLink(const std::string& existing, const std::string& path) = 0;

    // Descriptors. `flags`: O_RDONLY, O_WRONLY or O_RDWR with O_CREAT, O_EXCL, O_TRUNC; or
    // O_RDONLY | O_DIRECTORY (a folder, through a link too); or O_PATH | O_NOFOLLOW (a link
    // itself). ENOSPC when the volume is full.
    virtual int Open(const std::string& path, int flags, int& fd) = 0;
    // As much as there is up to `bytes` from `at`; `done` short only at the end of the file.
    virtual int Read(int fd, u64 at, void* buffer, u32 bytes, u32& done) = 0;
    // All of it, or an error with `done` telling how much was written.
    virtual int Write(int fd, u64 at, const void* buffer, u32 bytes, u32& done) = 0;
    virtual int Fstat(int fd, Entry& entry) = 0;
    // The path the descriptor's entry has now; " (deleted)" follows it once it has no name.
    virtual std::string PathOf(int fd) = 0;
    virtual void Close(int fd) = 0;
    // Descriptors open now (the disk's: every one of the process).
    virtual size_t OpenCount() = 0;

private:
    std::string root_;
};

std::unique_ptr<Store> NewDiskStore(const std::string& root);
// `capacity`: the bytes of file data the volume holds (beyond it writes fail with ENOSPC).
std::unique_ptr<Store> NewMemoryStore(const std::string& root, u64 capacity);
// The FILETIME of a Linux time.
u64 FileTimeOf(int64_t seconds, int64_t nanoseconds);

// ---- paths ----------------------------------------------------------------------------------

// A Windows path resolved onto the sandbox.
struct Resolved {
    u32 error = ERROR_SUCCESS;  // non-zero: the path is malformed (nothing else is set)
    std::string linuxPath;      // the entry's store path (existing names in their stored case)
    std::string parentLinux;    // its folder's store path
    std::u16string name;        // the last component as given (trailing dots and spaces dropped)
    std::u16string key;         // drive + components, folded: identity for comparisons
    bool isRoot = false;        // the path is a drive root
    bool parentExists = false;  // every folder on the way exists (and is a folder)
    bool exists = false;
    bool isDirectory = false;   // a folder, or a link to one
    bool isLink = false;        // a symbolic link (never followed in the last component)
};

// Resolves `path` against `cwd` in the sandbox's store. With `wildcardLast`, '*' and '?' are
// allowed in the last component (and that component is then not looked up).
Resolved Resolve(Store& store, const std::u16string& cwd, const std::u16string& path,
                 bool wildcardLast = false);
// The lexical key of a Windows path (for matching registered programs); empty when malformed.
std::u16string PathKey(const std::u16string& cwd, const std::u16string& path);
// Creates every folder of a Windows path that is missing. False when it cannot.
bool MakeFolders(Store& store, const std::u16string& cwd, const std::u16string& path);
// The full Windows path of `path` ("C:\a\b"), resolved lexically against `cwd` as
// GetFullPathNameW does; a "\\?\" path comes back as it is. Empty when malformed.
std::u16string FullPath(const std::u16string& cwd, const std::u16string& path);
// The SDDL text of a descriptor the run's converter made (HostSecurity.cpp); false, with the last
// error set, when the attributes or the descriptor are not acceptable.
bool DescriptorText(const SECURITY_ATTRIBUTES* security, std::u16string& sddl);
// The run's own process ID.
constexpr u32 kOwnProcessId = 0x1000;
// DOS wildcard match ('*', '?'), case-insensitive.
bool WildcardMatch(const std::u16string& pattern, const std::u16string& name);
std::u16string FromZ(const WChar* text);  // empty for null

// ---- the run context --------------------------------------------------------------------------

enum class ObjectKind { File, Find, Process, Thread, Event, Token, Snapshot, Job };

// A process on the run's machine that a started program left running.
struct SimProcess {
    u32 id = 0;
    std::u16string image;
    u32 endsAt = 0;      // on the run's clock
    bool inJob = false;  // a descendant of a run that put itself into a job
};

// One record of a folder's listing by handle (FILE_ID_BOTH_DIR_INFO's fields the stub reads).
struct DirRecord {
    std::u16string name;
    u32 attributes = 0;
    u64 fileId = 0;
    u64 wideId[2] = {0, 0};  // the 128-bit ID, lower half first
};

struct Object {
    explicit Object(ObjectKind objectKind) : kind(objectKind) {}
    ObjectKind kind;
    int fd = -1;               // File: a descriptor of `store`
    Store* store = nullptr;    // File
    u64 position = 0;          // File
    u32 access = 0;            // File
    u32 share = 0;             // File
    std::string linuxPath;     // File: the store path it was opened by
    ProcessOutcome outcome;    // Process
    bool signaled = false;     // Event (auto-reset)
    std::vector<FindData> listing;  // Find: the entries still to come, in order
    size_t nextEntry = 0;           // Find
    bool directory = false;         // File: a folder, opened with FILE_FLAG_BACKUP_SEMANTICS
    bool link = false;              // File: a link opened as itself (FILE_FLAG_OPEN_REPARSE_POINT)
    std::vector<DirRecord> records; // File (folder): the listing by handle, taken at its first call
    size_t nextRecord = 0;
    bool listed = false;
    u32 simId = 0;                  // Process: one of the run's SimProcesses (0: a started program)
    std::vector<ProcessEntry> entries;  // Snapshot
    u32 threadId = 0;               // Thread: its record in the run's Scheduler
};

// ---- threads (HostThreads.cpp) ------------------------------------------------------------------

// A real thread that runs a run's thread, kept for a later run once its work is done.
struct PooledThread;

struct HostThread {
    PooledThread* thread = nullptr;  // null for the run's own thread
    bool ended = false;
    uintptr_t waitingOn = 0;  // the object the thread waits for, 0: none
    u32 lastError = ERROR_SUCCESS;
};

// The threads of one run, of which one at a time holds the turn.
struct Scheduler {
    std::mutex mutex;
    std::condition_variable turn;
    u32 running = 0;                  // the thread that holds the turn
    std::vector<HostThread> threads;  // [0]: the run's own thread
    bool unwinding = false;           // the run ended: waiting threads unwind
    bool deadlock = false;            // a wait nothing can end: the run's thread throws
    bool exiting = false;             // a thread called ExitProcess
    u32 exitCode = 0;
    uint64_t random = 0;              // the interleaving's generator state
    Scheduler() { threads.reserve(64); }
};

// Where a platform call may pass the turn to another thread (called by Enter).
void SchedulePoint();
// Unwinds and joins the run's threads (the run ended).
struct Context;
void StopThreads(Context& context);

struct Context {
    Sandbox* sandbox = nullptr;
    Environment env;
    Faults faults;
    RunResult result;
    bool counting = false;     // false: the default context (no counting, no faults)
    Context* outer = nullptr;  // the run this one is nested in
    std::vector<uint64_t> kindCounts = std::vector<uint64_t>(static_cast<size_t>(Call::Count_), 0);
    std::map<uintptr_t, Object> objects;
    std::map<void*, size_t> processBlocks;
    std::map<void*, size_t> stubBlocks;
    std::map<void*, std::u16string> localBlocks;  // LocalFree's: SID texts and descriptors (SDDL)
    uint64_t liveHeapBytes = 0;
    std::vector<std::unique_ptr<char[]>> argvBlocks;
    std::map<std::u16string, Program> programsByKey;
    std::map<uintptr_t, std::u16string> modules;  // loaded libraries by module value (their path)
    std::map<std::string, uintptr_t> moduleByLinuxPath;
    bool systemOnlyDllSearch = false;  // SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)
    std::u16string commandLine;  // stable buffer for GetCommandLineW
    u32 lastError = ERROR_SUCCESS;
    u32 clockMs = 1000000;            // GetTickCount; waits move it on
    std::vector<SimProcess> machine;  // processes started programs left running
    u32 nextProcessId = 0x2000;
    bool inJob = false;               // AssignProcessToJobObject(job, GetCurrentProcess())
    std::mt19937 random{std::random_device{}()};
    std::unique_ptr<Scheduler> scheduler;  // made by the first CreateThread

    ~Context();
    void ReleaseAll();
};

Context& Current();
// A wait until `endsAt` on the run's clock, at most `milliseconds`: moves the clock on and gives
// WAIT_OBJECT_0, or WAIT_TIMEOUT. When a SimProcess ends (the clock now when it is gone).
u32 AwaitClock(u32 endsAt, u32 milliseconds);
u32 SimProcessEnd(u32 id);
// Open files of every live context: the current run, the runs it is nested in (started programs
// are other processes: their files stay locked) and the default context.
std::vector<const Object*> OpenFiles();
// Linux paths of the module files of every live run (a running program's file is locked).
std::vector<std::string> RunningModules();
// Counts the call and records it; true when fault injection fails it (the last error is then set).
// Calls that cannot fail on Windows pass failable = false: they are counted, never failed.
bool Enter(Call call, const std::u16string& path = {}, const std::u16string& path2 = {},
           bool allocation = false, bool failable = true);
void SetError(u32 error);
// `path` with a leading short alias (Environment::shortNames) replaced by the folder it stands for.
std::u16string LongForm(const Environment& env, const std::u16string& path);
// Resolve for a path given to a platform call: against the current run's sandbox and folder,
// refusing paths of kMaxPathChars units or more.
Resolved ResolveHere(const std::u16string& path, bool wildcardLast = false);
Handle NewObject(Object object);
Object* FindObject(Handle handle, ObjectKind kind);
void CloseObject(Object& object);

}  // namespace platform::host::detail
