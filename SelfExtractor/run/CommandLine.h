// The stub's command line: the parameter tail that the installer (and a relaunch's private copy)
// gets unchanged.
#pragma once

#include "platform/platform.h"

namespace stub {

using platform::WChar;

// The part of a command line after the program name (leading spaces kept): the whole line when it
// starts with "-", else the text after the closing quote (quoted name) or the first space.
const WChar* ParameterTail(const WChar* commandLine);

}  // namespace stub
