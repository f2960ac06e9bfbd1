#include "payload/FreeSpace.h"

#include "run/RunLog.h"

namespace stub {

using namespace platform;

bool PayloadFits(RunState& state, u64 bytes, u32 files) {
    // The staging path with its backslash: what stagingRoot holds before the first entry's name.
    const StagingState& staging = state.staging;
    WChar folder[kStagingRootChars];
    for (u32 i = 0; i < staging.entryTail; ++i) folder[i] = staging.stagingRoot[i];
    folder[staging.entryTail] = 0;

    u32 sectors = 0;
    u32 sectorBytes = 0;
    u64 cluster = 4096;
    if (GetDiskFreeSpaceW(folder, &sectors, &sectorBytes, nullptr, nullptr) && sectors != 0 && sectorBytes != 0) {
        cluster = static_cast<u64>(sectors) * sectorBytes;
    }
    u64 needed = bytes + files * cluster;
    if (needed < bytes) needed = ~0ull;  // beyond any disk
    Log("to unpack: %u files, %U bytes; %U with a %U-byte cluster each", files, bytes, needed, cluster);

    u64 free = 0;
    if (!GetDiskFreeSpaceExW(folder, &free, nullptr, nullptr)) {
        Log("free space: unknown, %e", GetLastError());
        return true;
    }
    if (needed <= free) {
        Log("free space: %U bytes", free);
        return true;
    }
    Log("needs %U bytes, %U bytes free", needed, free);
    state.spaceNeeded = needed;
    state.spaceFree = free;
    return false;
}

}  // namespace stub
