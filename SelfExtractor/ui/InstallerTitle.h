// The title the stub's windows carry: the installer's own name, as its version information gives
// it (pack --version-info), so that people know which installer speaks.
#pragma once

#include "run/RunState.h"

namespace stub {

// Writes into the 260-unit `title` the FileDescription, else the ProductName, of the first string
// table of the image's version information (RT_VERSION #1), else the file name of `modulePath`.
void InstallerTitle(const WChar* modulePath, WChar* title);

// The value of string `key` in the first string table of the version information in `data`
// (`size` bytes), copied NUL-terminated into `out` (`capacity` units, cut to fit); false when
// there is none or it is empty. Pure: no platform call.
bool VersionString(const platform::u8* data, u32 size, const char* key, WChar* out, u32 capacity);

}  // namespace stub
