// The last stage of a normal run: resolve the installer (.launch or the default name), run it with
// the stub's parameter tail, wait, delete the staging directory, exit with the installer's code.
#pragma once

#include "run/RunState.h"

namespace stub {

extern const WChar kDefaultInstallerName[];  // "Orvak ZEB Installer.exe"

[[noreturn]] void InstallerLauncher(RunState& state);

}  // namespace stub
