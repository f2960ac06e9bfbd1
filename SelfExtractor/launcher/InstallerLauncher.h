// The last stage of a normal run: resolve the installer (.launch or the default name), run it with
// the stub's parameter tail, wait, delete the staging directory, exit with the installer's code.
#pragma once

#include "launcher/RunState.h"

namespace stub {

extern const WChar kDefaultInstallerName[];  // "Orvak ZEB Installer.exe"

// The part of a command line after the program name (leading spaces kept): the whole line when it
// starts with "-", else the text after the closing quote (quoted name) or the first space.
const WChar* ParameterTail(const WChar* commandLine);

[[noreturn]] void InstallerLauncher(RunState& state);

}  // namespace stub
