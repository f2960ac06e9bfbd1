// The one check both extractors make before anything is created for an entry: the name must stay
// inside the staging directory and must not name a device.
#pragma once

#include "platform/platform.h"

namespace stub {

// `name` holds `count` UTF-16 units (a trailing NUL within them is ignored). Rejects a leading "/"
// or "\", any ":", a ".." component (either separator), an embedded NUL, and a reserved device
// name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without extension, trailing dots or spaces) as
// any component.
[[nodiscard]] bool EntryNameIsSafe(const platform::WChar* name, platform::u32 count);

}  // namespace stub
