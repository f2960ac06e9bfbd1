// The installer options as the run uses them: what the release engineer chose at pack time
// (launcher/OptionsReader.h reads them from the installer's resources), or the defaults.
#pragma once

#include "platform/platform.h"

namespace stub {

using platform::u32;
using platform::WChar;

enum class WaitMode : u32 { Installer = 0, Staging = 1, Tree = 2 };

constexpr u32 kFailureMessageChars = 1024;
constexpr u32 kSilentSwitchMax = 32;
constexpr u32 kSilentSwitchChars = 32;

struct InstallerOptions {
    WaitMode wait;                                    // default Staging
    bool progress;                                    // default false
    bool log;                                         // a log file in the temp folder; default false
    bool switchListGiven;                             // the switches below replace the defaults
    u32 failureMessageLength;                         // units; 0: no message box
    u32 switchCount;                                  // 0 unless switchListGiven
    WChar failureMessage[kFailureMessageChars + 1];   // NUL-terminated
    u32 switchLengths[kSilentSwitchMax];
    WChar switches[kSilentSwitchMax][kSilentSwitchChars + 1];  // NUL-terminated, without '/' or '-'
};

}  // namespace stub
