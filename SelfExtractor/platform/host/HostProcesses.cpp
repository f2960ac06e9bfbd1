// Other processes on the run's machine, jobs and time: the processes started programs leave
// running (ProcessOutcome::spawns) end on the run's own clock, which waits move on, so a test of a
// 30-minute wait takes no time.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/host/HostInternal.h"

namespace platform {

using namespace host;
using namespace host::detail;

namespace host::detail {

u32 AwaitClock(u32 endsAt, u32 milliseconds) {
    Context& context = Current();
    if (endsAt <= context.clockMs) return WAIT_OBJECT_0;
    if (milliseconds != INFINITE && endsAt - context.clockMs > milliseconds) {
        context.clockMs += milliseconds;
        return WAIT_TIMEOUT;
    }
    context.clockMs = endsAt;
    return WAIT_OBJECT_0;
}

u32 SimProcessEnd(u32 id) {
    for (const SimProcess& sim : Current().machine)
        if (sim.id == id) return sim.endsAt;
    return Current().clockMs;
}

}  // namespace host::detail

namespace {

const SimProcess* Alive(u32 id) {
    for (const SimProcess& sim : Current().machine)
        if (sim.id == id && sim.endsAt > Current().clockMs) return &sim;
    return nullptr;
}

// When the process ends on the run's clock; never for a started program still running.
u32 EndOf(const Object& process) {
    if (process.simId == 0) return process.outcome.stillRunning ? 0xFFFFFFFFu : Current().clockMs;
    return SimProcessEnd(process.simId);
}

}  // namespace

Handle CreateToolhelp32Snapshot(u32 flags, u32) {
    if (Enter(host::Call::CreateToolhelp32Snapshot)) return INVALID_HANDLE_VALUE;
    if (flags != TH32CS_SNAPPROCESS) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    Object snapshot(ObjectKind::Snapshot);
    auto add = [&](u32 id, const std::u16string& exe) {
        ProcessEntry entry;
        std::memset(&entry, 0, sizeof entry);
        entry.dwSize = sizeof entry;
        entry.th32ProcessID = id;
        const std::u16string name = exe.substr(exe.find_last_of(u'\\') == std::u16string::npos
                                                   ? 0 : exe.find_last_of(u'\\') + 1);
        std::copy(name.begin(), name.begin() + std::min<size_t>(name.size(), kMaxPathChars - 1),
                  entry.szExeFile);
        snapshot.entries.push_back(entry);
    };
    add(0, u"[System Process]");
    add(4, u"System");
    add(kOwnProcessId, Current().env.modulePath);
    for (const SimProcess& sim : Current().machine)
        if (sim.endsAt > Current().clockMs) add(sim.id, sim.image);
    return NewObject(std::move(snapshot));
}

namespace {

Bool NextEntry(Handle handle, ProcessEntry* entry, bool first) {
    Object* snapshot = FindObject(handle, ObjectKind::Snapshot);
    if (snapshot == nullptr) {
        ++Current().result.invalidHandleUses;
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (entry == nullptr || entry->dwSize != sizeof(ProcessEntry)) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (first) snapshot->nextEntry = 0;
    if (snapshot->nextEntry >= snapshot->entries.size()) {
        SetError(ERROR_NO_MORE_FILES);
        return 0;
    }
    *entry = snapshot->entries[snapshot->nextEntry++];
    return 1;
}

}  // namespace

Bool Process32FirstW(Handle snapshot, ProcessEntry* entry) {
    if (Enter(host::Call::Process32FirstW)) return 0;
    return NextEntry(snapshot, entry, true);
}

Bool Process32NextW(Handle snapshot, ProcessEntry* entry) {
    if (Enter(host::Call::Process32NextW)) return 0;
    return NextEntry(snapshot, entry, false);
}

Handle OpenProcess(u32, Bool, u32 processId) {
    if (Enter(host::Call::OpenProcess)) return nullptr;
    if (processId == 0 || processId == 4) {  // the idle process and the kernel's
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (Alive(processId) == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Object process(ObjectKind::Process);
    process.simId = processId;
    return NewObject(std::move(process));
}

u32 GetCurrentProcessId() { return kOwnProcessId; }

u32 WaitForMultipleObjects(u32 count, const Handle* handles, Bool all, u32 milliseconds) {
    if (Enter(host::Call::WaitForMultipleObjects)) return WAIT_FAILED;
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr || all) {
        SetError(ERROR_INVALID_PARAMETER);  // the stub waits for any one
        return WAIT_FAILED;
    }
    Context& context = Current();
    u32 first = 0xFFFFFFFFu, earliest = 0xFFFFFFFFu;
    for (u32 i = 0; i < count; ++i) {
        const Object* process = FindObject(handles[i], ObjectKind::Process);
        if (process == nullptr) {
            ++context.result.invalidHandleUses;
            SetError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        const u32 end = EndOf(*process);
        if (end < earliest) {
            earliest = end;
            first = i;
        }
    }
    if (earliest == 0xFFFFFFFFu && milliseconds == INFINITE)
        throw std::logic_error("WaitForMultipleObjects(INFINITE) on processes that never end");
    return AwaitClock(earliest, milliseconds) == WAIT_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0 + first;
}

u32 GetTickCount() {
    Enter(host::Call::GetTickCount, {}, {}, false, false);
    return Current().clockMs;
}

Handle CreateJobObjectW(SECURITY_ATTRIBUTES*, const WChar* name) {
    if (Enter(host::Call::CreateJobObjectW)) return nullptr;
    if (name != nullptr) {
        SetError(ERROR_INVALID_PARAMETER);  // the stub's job has no name
        return nullptr;
    }
    return NewObject(Object(ObjectKind::Job));
}

Bool AssignProcessToJobObject(Handle job, Handle process) {
    if (Enter(host::Call::AssignProcessToJobObject)) return 0;
    if (FindObject(job, ObjectKind::Job) == nullptr || process != GetCurrentProcess()) {
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    Current().inJob = true;
    Current().result.joinedJob = true;
    return 1;
}

Bool QueryInformationJobObject(Handle job, u32 infoClass, void* info, u32 bytes, u32* returned) {
    if (Enter(host::Call::QueryInformationJobObject)) return 0;
    if (FindObject(job, ObjectKind::Job) == nullptr) {
        ++Current().result.invalidHandleUses;
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (infoClass != JobObjectBasicProcessIdList || info == nullptr || bytes < 8) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::vector<uintptr_t> ids{kOwnProcessId};
    for (const SimProcess& sim : Current().machine)
        if (sim.inJob && sim.endsAt > Current().clockMs) ids.push_back(sim.id);
    const u32 fit = (bytes - 8) / sizeof(uintptr_t);
    const u32 assigned = static_cast<u32>(ids.size());
    const u32 listed = std::min(fit, assigned);
    auto* out = static_cast<u8*>(info);
    std::memcpy(out, &assigned, 4);
    std::memcpy(out + 4, &listed, 4);
    std::memcpy(out + 8, ids.data(), listed * sizeof(uintptr_t));
    if (returned != nullptr) *returned = 8 + listed * static_cast<u32>(sizeof(uintptr_t));
    if (listed < assigned) {
        SetError(ERROR_MORE_DATA);
        return 0;
    }
    return 1;
}

Bool QueryFullProcessImageNameW(Handle process, u32 flags, WChar* buffer, u32* size) {
    if (Enter(host::Call::QueryFullProcessImageNameW)) return 0;
    const Object* object = FindObject(process, ObjectKind::Process);
    const SimProcess* sim = object != nullptr ? Alive(object->simId) : nullptr;
    if (sim == nullptr || flags != 0 || size == nullptr || buffer == nullptr) {
        SetError(sim == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (sim->image.size() + 1 > *size) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(sim->image.begin(), sim->image.end(), buffer);
    buffer[sim->image.size()] = 0;
    *size = static_cast<u32>(sim->image.size());
    return 1;
}

u32 GetFinalPathNameByHandleW(Handle file, WChar* buffer, u32 capacity, u32 flags) {
    if (Enter(host::Call::GetFinalPathNameByHandleW)) return 0;
    const Object* object = FindObject(file, ObjectKind::File);
    if (object == nullptr || flags != 0) {
        SetError(object == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string path =
        u"\\\\?\\" + Current().sandbox->WindowsPath(object->store->PathOf(object->fd));
    if (path.size() + 1 > capacity) return static_cast<u32>(path.size() + 1);
    std::copy(path.begin(), path.end(), buffer);
    buffer[path.size()] = 0;
    return static_cast<u32>(path.size());
}

i32 CompareStringOrdinal(const WChar* a, i32 aLength, const WChar* b, i32 bLength, Bool ignoreCase) {
    if (Enter(host::Call::CompareStringOrdinal, {}, {}, false, false)) return 0;
    std::u16string x = aLength < 0 ? FromZ(a) : std::u16string(a, static_cast<size_t>(aLength));
    std::u16string y = bLength < 0 ? FromZ(b) : std::u16string(b, static_cast<size_t>(bLength));
    if (ignoreCase) {
        x = FoldCase(x);
        y = FoldCase(y);
    }
    return x < y ? 1 : x == y ? CSTR_EQUAL : 3;
}

}  // namespace platform
