// The run state: everything one run of the stub keeps, in fixed buffers owned by the entry
// function for the life of the process, handed to every stage by reference.
#pragma once

#include "platform/platform.h"
#include "run/ExtractionProgress.h"
#include "run/InstallerOptions.h"

namespace stub {

using platform::u32;
using platform::WChar;
using platform::kMaxPathChars;

constexpr u32 kFailureExitCode = 5;

// Capacities in UTF-16 units.
constexpr u32 kModulePathChars = 261;   // selfPath, tempFolder
constexpr u32 kStagingRootChars = 262;  // stagingRoot: staging path, backslash, entry name, NUL

// Result of the payload locator.
enum class PayloadKind : u32 { None = 0, Zip = 1, SevenZip = 2 };

// A folder the stub made, held open from its creation until the tree delete takes it: the handle
// lists the folder (a right that takes part in sharing: a handle with attribute rights alone holds
// nothing back) and shares reading and writing (the installer may list the folder or make it its
// current folder) but not delete, so nobody can rename or replace the folder while it is held.
// Its file ID and volume say which folder it is, so the delete can tell it from a swap.
struct HeldFolder {
    platform::Handle handle;  // INVALID_HANDLE_VALUE when none
    u32 volume;
    u32 wideIds;              // 1: the file system's 64-bit file IDs are not unique (ReFS): the
                              // folder and everything in it are told apart by 128-bit IDs
    platform::u64 id[2];      // the file ID: 64 bits in id[0], or 128 (id[0] the lower half)
};

// The staging directory: the fresh folder under the user's temp folder that receives the archive.
struct StagingState {
    WChar tempFolder[kModulePathChars];   // GetTempPathW result, trailing backslash kept
    WChar stagingPath[kMaxPathChars];     // no trailing backslash; a second NUL after the first
    u32 stagingLength;                    // units before the first NUL
    WChar stagingRoot[kStagingRootChars]; // stagingPath, "\" at stagingLength, then the entry tail
    u32 entryTail;                        // index of the entry tail in stagingRoot
    u32 knownFolders;                     // the tail's first units that name folders known to
                                          // exist (the last entry's parents), 0 for none
    HeldFolder folder;                    // the staging directory, held from its creation on
};

struct RunState {
    InstallerOptions options;               // the pack-time options (defaults without a record)
    const WChar* commandLine;               // as GetCommandLineW returned it; never copied
    WChar relaunchSelfPath[kMaxPathChars];  // module path for the relaunch test and the copy
    WChar selfFolder[kMaxPathChars];        // folder of relaunchSelfPath, no trailing backslash
    u32 relaunchSelfPathLength;             // GetModuleFileNameW's result for relaunchSelfPath
    WChar selfPath[kModulePathChars];       // module path for normal mode
    StagingState staging;
    platform::Handle selfFile;              // read handle on the stub's own file
    PayloadKind payloadKind;
    u32 exitCode;
    ExtractionProgress progress;            // the extraction's progress and cancel (shared)
    platform::u64 spaceNeeded;              // the payload's bytes and clusters, when they did not fit
    platform::u64 spaceFree;                // the staging folder's free bytes then
};

}  // namespace stub
