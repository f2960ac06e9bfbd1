// UTF-16 text in fixed buffers: the copy and append helpers every stage uses.
//
// Truncating forms always terminate and silently keep what fits (at most capacity - 1 units).
// Strict forms never cut: they return false, leaving the buffer terminated but unspecified, when
// the result would not fit; callers turn that into the failure exit code.
#pragma once

#include "platform/platform.h"

namespace stub {

using platform::u32;
using platform::WChar;

u32 TextLength(const WChar* text);
bool TextEqual(const WChar* a, const WChar* b);

void TruncatingCopy(WChar* out, u32 capacity, const WChar* text);
void TruncatingAppend(WChar* out, u32 capacity, const WChar* text);

constexpr u32 kStrictCapacity = platform::kMaxPathChars;
[[nodiscard]] bool StrictCopy(WChar* out, const WChar* text);    // capacity kStrictCapacity
[[nodiscard]] bool StrictAppend(WChar* out, const WChar* text);  // capacity kStrictCapacity

// Copies `path` into the 260-unit `out` (strict) and cuts it at its last backslash; without a
// backslash the copy stays whole. False when the path does not fit.
[[nodiscard]] bool FolderOfPath(const WChar* path, WChar* out);

}  // namespace stub
