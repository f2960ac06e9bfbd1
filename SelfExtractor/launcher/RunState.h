// The run state: everything one run of the stub keeps, in fixed buffers owned by the entry
// function for the life of the process, handed to every stage by reference.
#pragma once

#include "launcher/PrivateFolder.h"
#include "launcher/InstallerOptions.h"
#include "payload/ArchiveSignatures.h"
#include "payload/ExtractionProgress.h"
#include "payload/ReadCursor.h"
#include "platform/platform.h"

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

// Working storage of the ZIP walk, reused for every entry.
struct ZipScratch {
    ReadCursor records;           // the archive, read through one buffer from the first record on
    u32 recordIndex;              // records read so far
    ArchiveSignatures signatures; // what a local file header starts with
    platform::u8 header[30];
    char nameBytes[kMaxPathChars];
    WChar wideName[kMaxPathChars + 1];
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
    ZipScratch zip;
};

}  // namespace stub
