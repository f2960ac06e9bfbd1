// Whether anybody can answer a window: never when the parameter tail holds a silent switch (the
// deployment asked for silence), or when the stub runs in a window station nobody sees (a
// service, session 0).
#pragma once

#include "run/InstallerOptions.h"

namespace stub {

// True when a whole word of `tail` (words are split at spaces and tabs; one pair of quotes
// around a word is dropped) is "/" or "-" and a silent switch, compared without regard to ASCII
// case. The switches are the record's when it gives a list, else /S /Q /quiet /qn /passive
// /VERYSILENT /SILENT /SUPPRESSMSGBOXES.
[[nodiscard]] bool SilentSwitchGiven(const WChar* tail, const InstallerOptions& options);

// True when the process's window station is visible (WSF_VISIBLE); false when it is not, or when
// that cannot be told.
[[nodiscard]] bool InteractiveWindowStation();

}  // namespace stub
