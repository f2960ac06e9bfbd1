// The installer options: what the release engineer chose at pack time, read from one small record
// in the stub's own resources (RT_RCDATA, id 1, any language) written by `sfxtool pack`.
//
// The record, version 1: little-endian u16 fields at byte offsets, read bytewise (the resource
// data need not be aligned):
//   0  version                 1
//   2  wait                    0 installer, 1 staging, 2 tree (WaitMode)
//   4  flags                   bit 0: progress window; bit 1: a silent-switch list follows and
//                              replaces the default list; bit 2: a log file in the temp folder
//                              (run/RunLog.h); every other bit 0
//   6  failure-message length  UTF-16 units, 0 to 1024 (0: no message)
//   8  silent-switch count     0 to 32; at least 1 with flag bit 1, 0 without it
//  10  reserved                0
//  12  the failure message, its units (no NUL among them)
//      then per switch: a u16 length (1 to 32 units) and the word's units: the switch without its
//      leading '/' or '-' ("S", "quiet"), holding no space, tab, NUL, '/' or '"', not starting
//      with '-'
// The record ends exactly where the resource ends. Anything else is malformed, and the run ends
// with exit code 5 before it unpacks anything. Without a record the stub keeps its defaults.
#pragma once

#include "run/InstallerOptions.h"

namespace stub {

constexpr platform::u16 kOptionsResourceId = 1;
constexpr u32 kOptionsVersion = 1;
constexpr u32 kOptionsHeaderBytes = 12;
constexpr u32 kOptionsProgress = 0x1;      // flag: show the progress window
constexpr u32 kOptionsSwitchList = 0x2;    // flag: the record's switches replace the default list
constexpr u32 kOptionsLog = 0x4;           // flag: write the run's log beside the staging folder

// Parses a record of `size` bytes. True with `out` filled; false for a malformed record, with
// `out` holding the defaults. Pure: no platform call.
bool ParseInstallerOptions(const platform::u8* data, u32 size, InstallerOptions& out);

enum class OptionsRecord { Absent, Valid, Malformed };

// Finds the record in the stub's own image (FindResourceW, LoadResource, LockResource,
// SizeofResource) and parses it. Absent: `out` holds the defaults. A record that cannot be
// loaded counts as Malformed (`out` holds the defaults then too).
OptionsRecord ReadInstallerOptions(InstallerOptions& out);

}  // namespace stub
