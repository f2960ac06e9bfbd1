// How a run ends when the stub itself fails, and how a stopped 7z extraction is recorded.
//
// Every failure ends the process with kFailureExitCode; the reason travels with it to the run's
// log (in words, with the Windows error of the call that failed), to the failure message (its
// cause line), and to the platform layer, which drops it on Windows and keeps it on the host,
// where sfxtool turns it into the exact explanation of what the stub will do with an installer.
// `detail` is the archive entry the reason concerns (its index in archive order for 7z, its
// record number for ZIP) or another number the reason names.
#pragma once

#include "run/RunLog.h"
#include "run/RunState.h"

namespace stub {

enum class Reason : u32 {
    // Run sequence.
    ModulePath = 1,          // the module path cannot be read whole
    DllPatternTooLong,       // the module folder is too long for the DLL test's pattern
    StagingDirectory,        // the staging folder cannot be created
    SelfOpen,                // the stub's own file cannot be opened
    SelfRead,                // reading or seeking the stub's own file failed
    NoArchive,               // no archive the locator can find
    OptionsMalformed,        // the installer options record is malformed or cannot be loaded
    // ZIP records (detail: the record number, from 0).
    ZipTruncated,            // a record or its data ends before its declared end
    ZipFlags,                // encrypted, data descriptor, patched data, strong encryption, masked header
    ZipMethod,               // a method other than stored and deflate
    ZipSizeUnknown,          // a size of 0xFFFFFFFF (ZIP64)
    ZipStoredSizes,          // a stored entry whose two sizes differ
    ZipData,                 // deflate data that is corrupt or does not end within the entry
    ZipSize,                 // data that does not give exactly the declared size
    ZipCrc,                  // data whose CRC-32 differs from the header's
    Memory,                  // a working buffer cannot be allocated
    // Entry names and files, both formats (detail: the entry).
    NameTooLong,             // the path-length rule
    NameInvalid,             // empty, not UTF-8, or holding a NUL
    NameUnsafe,              // absolute, a drive or stream, "..", a device name
    EntryFolder,             // a parent folder cannot be created
    EntryCreate,             // the output file cannot be created or exists already
    EntryWrite,              // writing the output file failed
    // Launch.
    LaunchFile,              // .launch cannot be read, is empty, or its first line does not fit
    LaunchUnsafe,            // .launch names something outside the staging folder
    LaunchMissing,           // .launch names nothing that exists
    LaunchFolder,            // .launch names a folder
    InstallerMissing,        // no .launch and no default installer
    InstallerFolder,         // the default installer name is a folder
    InstallerStart,          // the shell cannot start the installer, or gives no process
    InstallerWait,           // waiting for the installer failed
    // Relaunch.
    RelaunchFolder,          // the private folder cannot be made
    RelaunchCopy,            // the stub cannot be copied into it
    RelaunchStart,           // the shell cannot start the copy
    // 7z extraction stopped; the run goes on to the launch (detail: the entry, or 0xFFFFFFFF).
    SevenZipOpen,            // the archive does not open (its header)
    SevenZipUnsupported,     // a folder of a method or shape the stub does not decode
    SevenZipMemory,          // the decoder's window or buffers cannot be allocated
    SevenZipData,            // corrupt data
    SevenZipCrc,             // a file's or folder's CRC differs
    SevenZipRead,            // the packed data cannot be read (the file ends early)
    SevenZipWrite,           // an output file cannot be written or closed
    // Run sequence, before anything is unpacked.
    DiskSpace,               // the payload does not fit the staging folder's free space
};

constexpr u32 kNoEntry = 0xFFFFFFFFu;
constexpr u32 kLastError = 0xFFFFFFFFu;  // FailRun: the calling thread's last error, if any

// The reasons that follow a Windows call that failed, whose last error then says why; the others
// (the archive's own faults) have none.
constexpr platform::u64 kReasonsWithError =
    (1ull << static_cast<u32>(Reason::ModulePath)) | (1ull << static_cast<u32>(Reason::StagingDirectory)) |
    (1ull << static_cast<u32>(Reason::SelfOpen)) | (1ull << static_cast<u32>(Reason::SelfRead)) |
    (1ull << static_cast<u32>(Reason::EntryFolder)) | (1ull << static_cast<u32>(Reason::EntryCreate)) |
    (1ull << static_cast<u32>(Reason::EntryWrite)) | (1ull << static_cast<u32>(Reason::LaunchFile)) |
    (1ull << static_cast<u32>(Reason::LaunchMissing)) | (1ull << static_cast<u32>(Reason::InstallerMissing)) |
    (1ull << static_cast<u32>(Reason::InstallerStart)) | (1ull << static_cast<u32>(Reason::InstallerWait)) |
    (1ull << static_cast<u32>(Reason::RelaunchFolder)) | (1ull << static_cast<u32>(Reason::RelaunchCopy)) |
    (1ull << static_cast<u32>(Reason::RelaunchStart)) | (1ull << static_cast<u32>(Reason::SevenZipRead)) |
    (1ull << static_cast<u32>(Reason::SevenZipWrite));
static_assert(static_cast<u32>(Reason::DiskSpace) < 64, "the reasons fit the mask");

// Ends the run with kFailureExitCode, recording why: in the run's log, in the failure message the
// installer's options give (shown when anybody can answer it, with a line on the cause where the
// stub can tell it) and for the host. `error` is the Windows error of the call that failed (0:
// none); kLastError takes the calling thread's last error for the reasons that have one, and must
// then be the first thing after the call that failed. (ui/FailureMessage.cpp)
[[noreturn]] void FailRun(Reason reason, u32 detail = kNoEntry, u32 error = kLastError);

// Records why a 7z extraction stopped (the first reason, with its error, explains a failure that
// follows); the run goes on.
void NoteStop(Reason reason, u32 detail, u32 error);

}  // namespace stub
