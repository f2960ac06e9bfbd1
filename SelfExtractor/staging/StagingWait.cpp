#include "staging/StagingWait.h"

#include "run/Text.h"

namespace stub {

using namespace platform;

namespace {

constexpr u32 kImageChars = 1024;     // a program's path
constexpr u32 kJobProcessIds = 128;   // listed at once; the rest come in the next round

// The processes one round waits for: open handles (SYNCHRONIZE) and their IDs.
struct WaitSet {
    Handle handles[MAXIMUM_WAIT_OBJECTS];
    u32 ids[MAXIMUM_WAIT_OBJECTS];
    u32 count;
};

bool Holds(const WaitSet& set, u32 id) {
    for (u32 i = 0; i < set.count; ++i)
        if (set.ids[i] == id) return true;
    return false;
}

void Keep(WaitSet& set, Handle process, u32 id) {
    set.handles[set.count] = process;
    set.ids[set.count] = id;
    ++set.count;
}

void Release(WaitSet& set) {
    for (u32 i = 0; i < set.count; ++i) CloseHandle(set.handles[i]);
    set.count = 0;
}

// The staging folder as the system names programs in it: its path now, with long names and
// without the "\\?\" prefix (a UNC path as "\\server\..."). 0 when it cannot be had.
u32 StagingName(const StagingState& staging, WChar* name) {
    u32 length = GetFinalPathNameByHandleW(staging.folder.handle, name, kImageChars, 0);
    if (length == 0 || length >= kImageChars) return 0;
    u32 skip = 0;
    if (length > 8 && name[0] == u'\\' && name[1] == u'\\' && name[2] == u'?' && name[3] == u'\\') {
        const bool unc = (name[4] | 0x20) == u'u' && (name[5] | 0x20) == u'n' &&
                         (name[6] | 0x20) == u'c' && name[7] == u'\\';
        skip = unc ? 6 : 4;  // "\\?\UNC\server" -> "\\server"
    }
    for (u32 i = skip; i <= length; ++i) name[i - skip] = name[i];
    length -= skip;
    if (skip == 6) name[0] = u'\\';
    return length;
}

bool Within(const WChar* image, u32 units, const WChar* folder, u32 length) {
    return units > length && image[length] == u'\\' &&
           CompareStringOrdinal(image, static_cast<i32>(length), folder, static_cast<i32>(length), 1) ==
               CSTR_EQUAL;
}

// Whether the process runs a program whose file lies inside the folder `folder` (`length` units,
// long names). The program's path is the one it was started by, which may hold short (8.3) names
// (a temp folder such as C:\Users\JOHNSM~1\...): a path with a '~' that does not match as it is
// is compared once more in its long form.
bool RunsFrom(Handle process, const WChar* folder, u32 length) {
    WChar image[kImageChars];
    u32 units = kImageChars;
    if (!QueryFullProcessImageNameW(process, 0, image, &units) || units >= kImageChars) return false;
    if (Within(image, units, folder, length)) return true;
    bool shortName = false;
    for (u32 i = 0; i < units; ++i) shortName = shortName || image[i] == u'~';
    if (!shortName) return false;
    WChar longImage[kImageChars];
    const u32 longUnits = GetLongPathNameW(image, longImage, kImageChars);
    return longUnits < kImageChars && Within(longImage, longUnits, folder, length);
}

}  // namespace

Handle JoinOwnJob() {
    const Handle job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    if (!AssignProcessToJobObject(job, GetCurrentProcess())) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

void StagingWait(const StagingState& staging, Handle job, u32 installerEnded) {
    WChar folder[kImageChars];
    const u32 length = StagingName(staging, folder);
    const u32 self = GetCurrentProcessId();
    WaitSet set;
    set.count = 0;
    for (;;) {
        // The job's processes: the installer's descendants, wherever their programs lie.
        if (job != nullptr) {
            // JOBOBJECT_BASIC_PROCESS_ID_LIST: two DWORDs, then the IDs from byte 8 on.
            uintptr_t list[2 + kJobProcessIds];
            if (QueryInformationJobObject(job, JobObjectBasicProcessIdList, list, sizeof list, nullptr)) {
                const auto* bytes = reinterpret_cast<const u8*>(list);
                u32 listed;
                __builtin_memcpy(&listed, bytes + 4, sizeof listed);
                const auto* ids = reinterpret_cast<const uintptr_t*>(bytes + 8);
                for (u32 i = 0; i < listed && i < kJobProcessIds && set.count < MAXIMUM_WAIT_OBJECTS; ++i) {
                    const u32 id = static_cast<u32>(ids[i]);
                    if (id == self || Holds(set, id)) continue;
                    const Handle process = OpenProcess(SYNCHRONIZE, 0, id);
                    if (process != nullptr) Keep(set, process, id);
                }
            }
        }
        // Every process that runs a program from the staging folder, whoever started it.
        const Handle snapshot = length != 0 ? CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)
                                            : INVALID_HANDLE_VALUE;
        if (snapshot != INVALID_HANDLE_VALUE) {
            ProcessEntry entry;
            entry.dwSize = sizeof entry;
            for (Bool more = Process32FirstW(snapshot, &entry); more && set.count < MAXIMUM_WAIT_OBJECTS;
                 more = Process32NextW(snapshot, &entry)) {
                const u32 id = entry.th32ProcessID;
                if (id == self || id == 0 || Holds(set, id)) continue;
                const Handle process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, 0, id);
                if (process == nullptr) continue;
                if (RunsFrom(process, folder, length)) {
                    Keep(set, process, id);
                } else {
                    CloseHandle(process);
                }
            }
            CloseHandle(snapshot);
        }
        if (set.count == 0) return;
        // Until one of them ends (then look again: it may have started others), or the cap.
        const u32 waited = GetTickCount() - installerEnded;
        const u32 result = waited < kStagingWaitMs
                               ? WaitForMultipleObjects(set.count, set.handles, 0, kStagingWaitMs - waited)
                               : WAIT_TIMEOUT;
        Release(set);
        // The cap, or nothing that can be waited for: the delete takes what it can.
        if (result == WAIT_TIMEOUT || result == WAIT_FAILED) return;
    }
}

}  // namespace stub
